#include "image/rotate.h"
#include "tests/image/image_support.h"

#include <gtest/gtest.h>

#include <bit>
#include <vector>

using imagetest::dotAt;
using imagetest::logOf;
using imagetest::masked;
using imagetest::recordOf;
using imagetest::turnDots;
using tsupport::makePage;
using tsupport::randomPage;
using tsupport::RasterPage;

namespace {

// A page whose only dots are the four corners.
RasterPage cornerPage(uint32_t w, uint32_t h) {
    return makePage(w, h, [w, h](uint32_t x, uint32_t y) {
        return (x == 0 || x == w - 1) && (y == 0 || y == h - 1);
    });
}

struct Turned {
    PageData pd;
    int result;
    std::vector<uint8_t> image;
    std::string log;
};

// bitmapProc into a destination exactly as large as the turned page, so that a write
// past it is caught.
Turned turn(RasterPage& page, int8_t code) {
    Turned t{recordOf(page), 0, {}, {}};
    t.pd.rotation = code;
    const int64_t wide = code == 1 || code == 3 ? (page.height + 31) / 32 * 32 : page.width;
    const int64_t rows = code == 1 || code == 3 ? page.width : page.height;
    t.image.assign((wide + 7) / 8 * rows, 0);
    t.log = logOf([&](const CoreLog& log) {
        t.result = bitmapProc(&t.pd, page.pixels.data(), t.image.data(), log);
    });
    return t;
}

size_t dotCount(const std::vector<uint8_t>& bytes) {
    size_t n = 0;
    for (uint8_t b : bytes) {
        n += std::popcount(b);
    }
    return n;
}

} // namespace

TEST(Rotation, QuarterTurnCounterClockwiseOfLabel) {
    RasterPage page = cornerPage(576, 100);
    Turned t = turn(page, 1);
    EXPECT_EQ(t.result, 1);
    EXPECT_EQ(t.pd.w, 128);
    EXPECT_EQ(t.pd.h, 576);
    EXPECT_EQ(t.pd.rowBytes, 16);
    EXPECT_TRUE(dotAt(t.image.data(), 16, 0, 0));   // top-right dot
    EXPECT_TRUE(dotAt(t.image.data(), 16, 0, 575)); // top-left dot
    EXPECT_TRUE(dotAt(t.image.data(), 16, 99, 0));  // bottom-right dot
    EXPECT_EQ(dotCount(t.image), 4u);
    EXPECT_EQ(t.log, "tarvik_backend-bitmapProc begin: rotation=1,pd->w=576,pd->h=100\n"
                     "tarvik_backend-bitmapProc end: rotation=1,pd->w=128,pd->h=576\n");
}

TEST(Rotation, QuarterTurnClockwiseLeavesBlankColumnsOnTheLeft) {
    RasterPage page = cornerPage(576, 100);
    Turned t = turn(page, 3);
    EXPECT_EQ(t.result, 1);
    EXPECT_EQ(t.pd.w, 128);
    EXPECT_EQ(t.pd.h, 576);
    EXPECT_EQ(t.pd.rowBytes, 16);
    EXPECT_TRUE(dotAt(t.image.data(), 16, 127, 0)); // top-left dot
    EXPECT_TRUE(dotAt(t.image.data(), 16, 28, 0));  // bottom-left dot
    EXPECT_EQ(dotCount(t.image), 4u);
    RasterPage full = makePage(576, 100, [](uint32_t, uint32_t) { return true; });
    Turned all = turn(full, 3);
    for (int64_t r = 0; r < 576; ++r) {
        for (int64_t c = 0; c < 128; ++c) {
            ASSERT_EQ(dotAt(all.image.data(), 16, c, r), c >= 28) << c << "," << r;
        }
    }
}

TEST(Rotation, HalfTurnSwapsOppositeCorners) {
    RasterPage page = makePage(100, 37, [](uint32_t x, uint32_t y) { return x == 0 && y == 0; });
    Turned t = turn(page, 2);
    EXPECT_EQ(t.result, 1);
    EXPECT_EQ(t.pd.w, 100);
    EXPECT_EQ(t.pd.h, 37);
    EXPECT_EQ(t.pd.rowBytes, 13);
    EXPECT_TRUE(dotAt(t.image.data(), 13, 99, 36));
    EXPECT_EQ(dotCount(t.image), 1u);
}

TEST(Rotation, HeightOfWholeWordsAddsNoColumnsAndNoRowsGiveNoWidth) {
    RasterPage page = randomPage(40, 128, 7);
    EXPECT_EQ(turn(page, 1).pd.w, 128);
    EXPECT_EQ(turn(page, 3).pd.w, 128);
    RasterPage empty = randomPage(200, 0, 7);
    for (int8_t code : {1, 3}) {
        Turned t = turn(empty, code);
        EXPECT_EQ(t.result, 1);
        EXPECT_EQ(t.pd.w, 0);
        EXPECT_EQ(t.pd.h, 200);
        EXPECT_EQ(t.pd.rowBytes, 0);
    }
}

TEST(Rotation, OtherCodesLeaveThePageAlone) {
    RasterPage page = randomPage(61, 9, 3);
    for (int8_t code : {0, 4, -1, 127, -128}) {
        PageData pd = recordOf(page);
        pd.rotation = code;
        std::vector<uint8_t> dst(page.pixels.size(), 0x5A);
        int result = -1;
        const std::string log = logOf([&](const CoreLog& log) {
            result = bitmapProc(&pd, page.pixels.data(), dst.data(), log);
        });
        EXPECT_EQ(result, 0);
        EXPECT_EQ(pd.w, 61);
        EXPECT_EQ(pd.h, 9);
        EXPECT_EQ(pd.rowBytes, 8);
        EXPECT_EQ(dst, std::vector<uint8_t>(page.pixels.size(), 0x5A));
        const std::string shape = ",pd->w=61,pd->h=9\n";
        EXPECT_EQ(log, "tarvik_backend-bitmapProc begin: rotation=" + std::to_string(code) + shape +
                           "tarvik_backend-bitmapProc end: rotation=" + std::to_string(code) +
                           shape);
    }
}

// The fast turns against the dot-by-dot rule on random pages of odd sizes, padding
// dots included, into destinations that already hold dots.
TEST(Rotation, MatchesTheDotRuleOnRandomPages) {
    const std::vector<std::pair<uint32_t, uint32_t>> sizes = {
        {1, 1}, {7, 3}, {8, 8}, {9, 17}, {61, 33}, {100, 10}, {333, 77}, {576, 100}, {384, 251}};
    uint32_t seed = 1;
    for (auto [w, h] : sizes) {
        RasterPage page = randomPage(w, h, seed++);
        for (int8_t code : {1, 2, 3}) {
            const bool quarter = code != 2;
            const auto dstW = static_cast<int32_t>(quarter ? (h + 31) / 32 * 32 : w);
            const auto dstH = static_cast<int32_t>(quarter ? w : h);
            RasterPage before = randomPage(dstW, dstH, seed++);
            std::vector<uint8_t> fast = before.pixels;
            std::vector<uint8_t> slow = before.pixels;
            qzRotateData(w, h, page.pixels.data(), dstW, dstH, fast.data(), code);
            turnDots(w, h, page.pixels.data(), dstW, dstH, slow.data(), code);
            ASSERT_EQ(fast, slow) << w << "x" << h << " code " << int{code};
        }
    }
}

// Destinations of other shapes than bitmapProc passes: dots outside them are dropped.
TEST(Rotation, MatchesTheDotRuleOnOtherDestinations) {
    RasterPage page = randomPage(75, 43, 11);
    const std::vector<std::pair<int32_t, int32_t>> shapes = {
        {64, 75}, {40, 50}, {43, 75}, {75, 43}, {70, 20}, {77, 80}, {13, 9}, {0, 5}, {5, 0}};
    for (auto [dstW, dstH] : shapes) {
        for (int8_t code : {1, 2, 3}) {
            std::vector<uint8_t> fast((dstW + 7) / 8 * size_t(dstH), 0);
            std::vector<uint8_t> slow = fast;
            qzRotateData(75, 43, page.pixels.data(), dstW, dstH, fast.data(), code);
            turnDots(75, 43, page.pixels.data(), dstW, dstH, slow.data(), code);
            ASSERT_EQ(fast, slow) << dstW << "x" << dstH << " code " << int{code};
        }
    }
}

// Opposite quarter turns give the page back, moved right by the blank columns that
// rounding its width up to 32 dots added, above the blank rows of rounding its height.
TEST(Rotation, HalfTurnTwiceAndOppositeQuarterTurnsRestoreThePage) {
    for (auto [w, h] : {std::pair{96u, 64u}, std::pair{101u, 64u}, std::pair{13u, 40u}}) {
        RasterPage page = randomPage(w, h, w + h);
        page.pixels = masked(page);
        Turned half = turn(page, 2);
        RasterPage once{w, h, page.bytesPerLine, half.image};
        EXPECT_EQ(turn(once, 2).image, page.pixels) << w;
        Turned left = turn(page, 1);
        EXPECT_EQ(dotCount(left.image), dotCount(page.pixels));
        RasterPage turned{uint32_t(left.pd.w), uint32_t(left.pd.h), uint32_t(left.pd.rowBytes),
                          left.image};
        const uint32_t pad = (w + 31) / 32 * 32 - w;
        const uint32_t rows = h; // clang 14 lambdas cannot capture a structured binding
        RasterPage expected =
            makePage(w + pad, (h + 31) / 32 * 32, [&page, pad, rows](uint32_t x, uint32_t y) {
                return x >= pad && y < rows &&
                       dotAt(page.pixels.data(), page.bytesPerLine, x - pad, y);
            });
        EXPECT_EQ(turn(turned, 3).image, expected.pixels) << w;
    }
}
