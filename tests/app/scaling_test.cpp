// The one scaling rule and the scaler behind it: which pages are kept as they came, how a
// page of another size is turned and fitted, and that thin lines and gaps survive a scale.

#include "printer-app/scaling.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

using namespace tarvik_app;

namespace {

using Dots = std::function<bool(uint32_t x, uint32_t y)>;

// The scaled page, one bool per label dot (black), from a page of w x h black-or-white dots.
std::vector<std::vector<bool>> scale(const ScalePlan& plan, uint32_t w, uint32_t h,
                                     const Dots& black) {
    PageScaler scaler;
    EXPECT_TRUE(scaler.start(plan, w, h));
    std::vector<uint8_t> line(w);
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            line[x] = black(x, y) ? 255 : 0;
        }
        scaler.addLine(y, line.data());
    }
    scaler.finish();
    std::vector<std::vector<bool>> out(plan.height, std::vector<bool>(plan.width));
    for (uint32_t y = 0; y < plan.height; ++y) {
        for (uint32_t x = 0; x < plan.width; ++x) {
            out[y][x] = scaler.line(y)[x] >= 128;
        }
    }
    return out;
}

ScalePlan plainScale(double factor, uint32_t w, uint32_t h) {
    ScalePlan plan;
    plan.keep = false;
    plan.width = w;
    plan.height = h;
    plan.xscale = plan.yscale = factor;
    return plan;
}

} // namespace

TEST(Scaling, LabelSizedAndHeadWidePagesAndNoneAreKeptAnythingElseFitsTheLabel) {
    // The 50 x 30 mm label on the 203 dpi head: 399 x 239 dots.
    EXPECT_TRUE(planPage(Scaling::Fill, {399, 239, 203, 203}, 399, 239, 203).keep);
    EXPECT_TRUE(planPage(Scaling::Auto, {400, 240, 203, 203}, 399, 239, 203).keep);
    EXPECT_TRUE(planPage(Scaling::Fit, {384, 239, 203, 203}, 399, 239, 203).keep);
    const ScalePlan none = planPage(Scaling::None, {812, 1218, 203, 203}, 399, 239, 203);
    EXPECT_TRUE(none.keep);
    EXPECT_TRUE(none.cut);
    // A 4 x 6 in portrait page is turned onto the landscape label and fitted: its 4 in
    // become the label's 30 mm.
    for (Scaling s : {Scaling::Auto, Scaling::AutoFit, Scaling::Fit}) {
        const ScalePlan fit = planPage(s, {812, 1218, 203, 203}, 399, 239, 203);
        EXPECT_FALSE(fit.keep);
        EXPECT_TRUE(fit.fit.turn);
        EXPECT_EQ(fit.fit.used, Scaling::Fit);
        EXPECT_NEAR(fit.xscale, 239.0 / 812, 1e-3);
        EXPECT_EQ(fit.xoffset, 0);
        EXPECT_GT(fit.yoffset, 0); // centred along the label's length
    }
    const ScalePlan fill = planPage(Scaling::Fill, {812, 1218, 203, 203}, 399, 239, 203);
    EXPECT_NEAR(fill.yscale, 399.0 / 1218, 1e-3);
    EXPECT_LT(fill.xoffset, 0); // cut along the label's width
    // A label-sized page of a finer resolution is brought to the head's.
    const ScalePlan fine = planPage(Scaling::Auto, {1181, 709, 600, 600}, 399, 239, 203);
    EXPECT_FALSE(fine.keep);
    EXPECT_FALSE(fine.fit.turn);
    EXPECT_NEAR(fine.xscale, 203.0 / 600, 2e-3);
}

TEST(Scaling, TheTurnIsAQuarterAnticlockwise) {
    // A tall page with one black dot block at its top-left corner.
    ScalePlan plan = plainScale(1.0, 20, 10);
    plan.fit.turn = true;
    const auto out = scale(plan, 10, 20, [](uint32_t x, uint32_t y) { return x < 3 && y < 3; });
    // Turned anticlockwise, the page's top-left corner is the label's bottom-left.
    EXPECT_TRUE(out[9][0]);
    EXPECT_FALSE(out[0][0]);
    EXPECT_FALSE(out[9][19]);
}

TEST(Scaling, OneDotLinesOfAGridStayWhereTheScaleLeavesThemADot) {
    // 1-dot lines every 8 dots both ways; by a half and a third every line keeps a dot in
    // every row (or column) it crosses, and the squares between them stay mostly white.
    for (double factor : {0.5, 1.0 / 3}) {
        SCOPED_TRACE(factor);
        constexpr uint32_t kSide = 240;
        const auto label = static_cast<uint32_t>(kSide * factor);
        const auto out = scale(plainScale(factor, label, label), kSide, kSide,
                               [](uint32_t x, uint32_t y) { return x % 8 == 3 || y % 8 == 3; });
        size_t black = 0;
        for (uint32_t line = 3; line < kSide; line += 8) {
            // The line's label column, and its row for the horizontal line at the same place.
            const auto at = static_cast<uint32_t>(line * factor);
            for (uint32_t y = 0; y < label; ++y) {
                EXPECT_TRUE(out[y][at] || out[y][std::min(at + 1, label - 1)])
                    << "the line at " << line << " has a gap at " << y;
                EXPECT_TRUE(out[at][y] || out[std::min(at + 1, label - 1)][y]);
            }
        }
        for (const auto& row : out) {
            for (bool dot : row) {
                black += dot ? 1 : 0;
            }
        }
        // Lines of a dot each way on a pitch of 8 x factor dots.
        const double pitch = 8 * factor;
        EXPECT_LT(double(black) / (double(label) * label), 2.2 / pitch);
    }
}

TEST(Scaling, BarsAndGapsOfABarcodeKeepTheirOrder) {
    // Bars and gaps of 1 to 4 modules of 3 dots, scaled by a half: each comes out 1 to 6
    // dots wide, none merged with its neighbour.
    const std::vector<uint32_t> modules = {2, 1, 1, 2, 3, 1, 1, 4, 2, 2, 1, 3, 4, 1, 1, 1, 2, 3};
    std::vector<bool> bars;
    for (size_t i = 0; i < modules.size(); ++i) {
        bars.insert(bars.end(), modules[i] * 3, i % 2 == 0);
    }
    const auto w = static_cast<uint32_t>(bars.size());
    const auto out =
        scale(plainScale(0.5, w / 2, 10), w, 20, [&bars](uint32_t x, uint32_t) { return bars[x]; });
    std::vector<uint32_t> runs;
    for (uint32_t x = 0; x < w / 2; ++x) {
        if (x == 0 || out[5][x] != out[5][x - 1]) {
            runs.push_back(0);
        }
        ++runs.back();
    }
    ASSERT_EQ(runs.size(), modules.size());
    for (size_t i = 0; i < runs.size(); ++i) {
        EXPECT_NEAR(double(runs[i]), modules[i] * 1.5, 1.0) << "bar or gap " << i;
    }
}
