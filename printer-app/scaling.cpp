#include "printer-app/scaling.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace tarvik_app {

namespace {

// Pages further from the label's aspect than this are fitted, not filled, under 'auto'.
constexpr double kFillAspect = 0.03;
// The scaled page's cells: a 1 m label on the 300 dpi head has 6.8 million.
constexpr uint64_t kMaxCells = uint64_t{1} << 24;
constexpr uint32_t kFull = 65535;

// 'auto' fills when the page is the label's shape, else fits; 'auto-fit' fits only a page
// larger than the label.
Scaling resolve(Scaling s, double pageW, double pageH, double labelW, double labelH) {
    if (s == Scaling::Auto) {
        const double ratio = (pageW / pageH) / (labelW / labelH);
        return std::abs(ratio - 1.0) <= kFillAspect ? Scaling::Fill : Scaling::Fit;
    }
    if (s == Scaling::AutoFit) {
        return pageW > labelW * 1.001 || pageH > labelH * 1.001 ? Scaling::Fit : Scaling::None;
    }
    return s;
}

// Where a scaled extent starts on the label's: centred, as the PDF renderer places a page.
int32_t centred(double scaled, uint32_t label) {
    const auto full = static_cast<int64_t>(std::max(1.0, std::ceil(scaled - 1e-6)));
    return static_cast<int32_t>(full <= label ? (label - full) / 2 : -((full - label) / 2));
}

bool near(uint32_t a, uint32_t b) {
    return (a > b ? a - b : b - a) <= 1;
}

} // namespace

const char* scalingName(Scaling s) {
    switch (s) {
    case Scaling::AutoFit:
        return "auto-fit";
    case Scaling::Fit:
        return "fit";
    case Scaling::Fill:
        return "fill";
    case Scaling::None:
        return "none";
    case Scaling::Auto:
        break;
    }
    return "auto";
}

bool parseScaling(std::string_view text, Scaling* out) {
    for (Scaling s :
         {Scaling::Auto, Scaling::AutoFit, Scaling::Fit, Scaling::Fill, Scaling::None}) {
        if (text == scalingName(s)) {
            *out = s;
            return true;
        }
    }
    return false;
}

Fit chooseFit(Scaling asked, double w, double h, double labelW, double labelH) {
    Fit f;
    // A page across the label's shape is turned a quarter anticlockwise, as IPP's landscape.
    if ((w > h && labelW < labelH) || (w < h && labelW > labelH)) {
        f.turn = true;
        std::swap(w, h);
    }
    f.used = resolve(asked, w, h, labelW, labelH);
    if (f.used == Scaling::Fit) {
        f.scale = std::min(labelW / w, labelH / h);
    } else if (f.used == Scaling::Fill) {
        f.scale = std::max(labelW / w, labelH / h);
    }
    return f;
}

ScalePlan planPage(Scaling asked, const PageGeometry& page, uint32_t labelW, uint32_t labelH,
                   double headDpi) {
    ScalePlan plan;
    plan.asked = asked;
    plan.width = labelW;
    plan.height = labelH;
    const double xdpi = page.xdpi > 0 ? page.xdpi : headDpi;
    const double ydpi = page.ydpi > 0 ? page.ydpi : headDpi;
    const bool headDots = std::abs(xdpi - headDpi) < 0.5 && std::abs(ydpi - headDpi) < 0.5;
    // A page at the head's resolution that the label holds and that meets its width or its
    // length (a label-sized page, or one the head's width) prints as it came.
    const bool labelSized = headDots && page.width <= labelW + 1 && page.height <= labelH + 1 &&
                            (near(page.width, labelW) || near(page.height, labelH));
    if (labelSized || asked == Scaling::None || page.width == 0 || page.height == 0 ||
        labelW == 0 || labelH == 0 || headDpi <= 0) {
        // Rasters go dot for dot, images at their resolution: either may cross the label.
        plan.cut = page.width > labelW + 1 || page.height > labelH + 1 ||
                   page.width * headDpi / xdpi > labelW + 1 ||
                   page.height * headDpi / ydpi > labelH + 1;
        return plan;
    }
    plan.fit =
        chooseFit(asked, page.width / xdpi, page.height / ydpi, labelW / headDpi, labelH / headDpi);
    if (plan.fit.used == Scaling::None) {
        return plan;
    }
    plan.keep = false;
    plan.xscale = plan.fit.scale * headDpi / xdpi;
    plan.yscale = plan.fit.scale * headDpi / ydpi;
    const uint32_t cols = plan.fit.turn ? labelH : labelW;
    const uint32_t rows = plan.fit.turn ? labelW : labelH;
    plan.xoffset = centred(page.width * plan.xscale, cols);
    plan.yoffset = centred(page.height * plan.yscale, rows);
    return plan;
}

std::string describePlan(const ScalePlan& plan) {
    char text[160];
    if (plan.keep) {
        std::snprintf(text, sizeof text, "print-scaling %s: placed as it is%s",
                      scalingName(plan.asked), plan.cut ? ", cut at the label's edges" : "");
    } else {
        std::snprintf(text, sizeof text, "print-scaling %s: %s, scaled by %.3f%s",
                      scalingName(plan.asked), scalingName(plan.fit.used), plan.fit.scale,
                      plan.fit.turn ? ", turned a quarter anticlockwise" : "");
    }
    return text;
}

void PageScaler::Axis::build(uint32_t pageDots, double scale, int32_t offset, uint32_t labelDots) {
    first.assign(pageDots, 0);
    count.assign(pageDots, 0);
    at.assign(pageDots, 0);
    weight.clear();
    for (uint32_t i = 0; i < pageDots; ++i) {
        const double a = offset + i * scale;
        const double b = a + scale;
        const auto from = static_cast<int64_t>(std::max(0.0, std::floor(a)));
        const auto to = static_cast<int64_t>(std::min<double>(labelDots, std::ceil(b)));
        at[i] = static_cast<uint32_t>(weight.size());
        first[i] = static_cast<uint32_t>(from);
        for (int64_t j = from; j < to; ++j) {
            const double w = std::min<double>(b, j + 1) - std::max<double>(a, j);
            if (w > 1e-9) {
                weight.push_back(static_cast<float>(w));
            }
        }
        count[i] = static_cast<uint32_t>(weight.size()) - at[i];
    }
}

bool PageScaler::start(const ScalePlan& plan, uint32_t pageWidth, uint32_t pageHeight) {
    turn_ = plan.fit.turn;
    width_ = plan.width;
    height_ = plan.height;
    cols_ = turn_ ? height_ : width_;
    rows_ = turn_ ? width_ : height_;
    blackAndWhite_ = true;
    if (uint64_t{cols_} * rows_ == 0 || uint64_t{cols_} * rows_ > kMaxCells || plan.xscale <= 0 ||
        plan.yscale <= 0) {
        return false;
    }
    try {
        x_.build(pageWidth, plan.xscale, plan.xoffset, cols_);
        y_.build(pageHeight, plan.yscale, plan.yoffset, rows_);
        lineSum_.assign(cols_, 0.0f);
        cover_.assign(size_t{cols_} * rows_, 0);
        out_.clear();
    } catch (...) {
        return false;
    }
    return true;
}

void PageScaler::addLine(uint32_t y, const uint8_t* darkness) {
    if (y >= y_.count.size() || y_.count[y] == 0) {
        return;
    }
    uint32_t lo = cols_;
    uint32_t hi = 0;
    for (size_t x = 0; x < x_.count.size(); ++x) {
        const uint8_t d = darkness[x];
        if (d == 0 || x_.count[x] == 0) {
            continue;
        }
        blackAndWhite_ = blackAndWhite_ && d == 255;
        const float v = d / 255.0f;
        const uint32_t first = x_.first[x];
        for (uint32_t k = 0; k < x_.count[x]; ++k) {
            lineSum_[first + k] += v * x_.weight[x_.at[x] + k];
        }
        lo = std::min(lo, first);
        hi = std::max(hi, first + x_.count[x]);
    }
    for (uint32_t k = 0; k < y_.count[y] && lo < hi; ++k) {
        const float wy = y_.weight[y_.at[y] + k] * kFull;
        uint16_t* row = cover_.data() + size_t{y_.first[y] + k} * cols_;
        for (uint32_t x = lo; x < hi; ++x) {
            const auto add = static_cast<uint32_t>(std::lround(lineSum_[x] * wy));
            row[x] = static_cast<uint16_t>(std::min(kFull, row[x] + add));
        }
    }
    std::fill(lineSum_.begin() + lo, lineSum_.begin() + std::max(lo, hi), 0.0f);
}

namespace {

// Along a row or a column, from two dots before to two after: whether the dot at t is where
// a thin line peaks. The dots beside it hold at most three quarters of its cover; of a line split
// over two dots, the fuller one (the first of two equal) takes it. Rows of noise along an edge are
// no peak.
bool peak(uint32_t aa, uint32_t a, uint32_t t, uint32_t b, uint32_t bb) {
    const bool lowBefore = 4 * a <= 3 * t;
    const bool lowAfter = 4 * b <= 3 * t;
    return (lowBefore && lowAfter) || (lowBefore && b <= t && 4 * bb <= 3 * b) ||
           (lowAfter && a < t && 4 * aa <= 3 * a);
}

} // namespace

// Half covered or more is black; below that, a dot where a thin line peaks is black too, so
// that a line the scale makes thinner than a dot keeps one.
void PageScaler::resolveBlackAndWhite() {
    std::vector<uint16_t> out(cover_.size());
    auto at = [&](int64_t c, int64_t r) -> uint32_t {
        return c < 0 || r < 0 || c >= cols_ || r >= rows_ ? 0 : cover_[size_t(r) * cols_ + c];
    };
    for (int64_t r = 0; r < rows_; ++r) {
        for (int64_t c = 0; c < cols_; ++c) {
            const uint32_t t = at(c, r);
            bool black = t * 2 >= kFull;
            if (!black && t > 0) {
                black = peak(at(c - 2, r), at(c - 1, r), t, at(c + 1, r), at(c + 2, r)) ||
                        peak(at(c, r - 2), at(c, r - 1), t, at(c, r + 1), at(c, r + 2));
            }
            out[size_t(r) * cols_ + c] = black ? kFull : 0;
        }
    }
    cover_ = std::move(out);
}

void PageScaler::turnInto(const std::vector<uint16_t>& cover) {
    out_.assign(size_t{width_} * height_, 0);
    for (uint32_t y = 0; y < height_; ++y) {
        for (uint32_t x = 0; x < width_; ++x) {
            // Turned anticlockwise, the page's right edge becomes the label's top.
            const size_t from = turn_ ? size_t{x} * cols_ + (cols_ - 1 - y) : size_t{y} * cols_ + x;
            out_[size_t{y} * width_ + x] =
                static_cast<uint8_t>((cover[from] * 255u + kFull / 2) / kFull);
        }
    }
}

void PageScaler::finish() {
    if (blackAndWhite_) {
        resolveBlackAndWhite();
    }
    turnInto(cover_);
    std::vector<uint16_t>().swap(cover_);
}

} // namespace tarvik_app
