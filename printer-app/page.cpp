#include "printer-app/page.h"

#include "image/page_rules.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tarvik_app {

namespace {

// A grey or colour line is read into a buffer of this size at most.
constexpr uint32_t kMaxInputLineBytes = 256 * 1024;
// The block header counts a page's lines in 16 bits.
constexpr uint32_t kMaxPageLines = 65535;
constexpr PageLimits kAppLimits{true,          RowFit::Covers,     kMaxPageDots,
                                kMaxPageLines, kMaxInputLineBytes, kMaxAppPageBytes};

// A client may put any number in an enum field of the header: it is read as a number, since
// an enum holding a value outside its list is undefined.
template <class Enum> uint32_t rawValue(const Enum& field) {
    static_assert(sizeof(Enum) == sizeof(uint32_t));
    uint32_t value = 0;
    std::memcpy(&value, &field, sizeof value);
    return value;
}

bool isRgbSpace(uint32_t space) {
    return space == CUPS_CSPACE_RGB || space == CUPS_CSPACE_SRGB || space == CUPS_CSPACE_ADOBERGB;
}

bool isGreySpace(uint32_t space) {
    return space == CUPS_CSPACE_W || space == CUPS_CSPACE_SW;
}

} // namespace

const char* pageCheckText(PageCheck check) {
    switch (check) {
    case PageCheck::Ok:
        return "The page is a label this printer can print.";
    case PageCheck::Empty:
        return "The page has no width or no height.";
    case PageCheck::Unsupported:
        return "The page is not 1-bit or 8-bit grey or 24-bit colour raster in one plane.";
    case PageCheck::TooLarge:
        return "The page is larger than any label this printer takes.";
    case PageCheck::NoMemory:
        return "Not enough memory for the page.";
    }
    return "The page could not be read.";
}

bool PageBuilder::takeKind(const cups_page_header2_t& h) {
    const bool chunky = rawValue(h.cupsColorOrder) == CUPS_ORDER_CHUNKED;
    const uint32_t space = rawValue(h.cupsColorSpace);
    // A set bit is a black dot whatever the colour space says, as in PAPPL's raster path
    // and the backend: clients that send 1-bit luminance pages (Ghostscript's URF) mean it.
    if (chunky && h.cupsBitsPerPixel == 1 && h.cupsBitsPerColor == 1) {
        kind_ = Kind::Black1;
    } else if (chunky && h.cupsBitsPerPixel == 8 && h.cupsBitsPerColor == 8 &&
               (space == CUPS_CSPACE_K || isGreySpace(space))) {
        kind_ = space == CUPS_CSPACE_K ? Kind::Black8 : Kind::White8;
    } else if (chunky && h.cupsBitsPerPixel == 24 && h.cupsBitsPerColor == 8 && isRgbSpace(space)) {
        kind_ = Kind::Rgb24;
    } else {
        return false;
    }
    return true;
}

PageCheck PageBuilder::start(const cups_page_header2_t& h, const DitherMatrix* dither,
                             const ScalePlan* plan) {
    width_ = height_ = rowBytes_ = inputBytes_ = 0;
    scaled_ = false;
    page_.clear();
    const bool emptyPage = h.cupsWidth == 0 || h.cupsHeight == 0;
    const PageShape shape{h.cupsWidth, h.cupsHeight, h.cupsBytesPerLine, h.cupsBitsPerPixel,
                          !emptyPage && takeKind(h)};
    switch (checkPage(shape, kAppLimits)) {
    case PageFault::None:
        break;
    case PageFault::Empty:
        return PageCheck::Empty;
    case PageFault::TooLarge:
        return PageCheck::TooLarge;
    default:
        return PageCheck::Unsupported;
    }
    dither_ = dither;
    if (plan != nullptr && !plan->keep) {
        return startScaled(*plan, h) ? PageCheck::Ok : PageCheck::NoMemory;
    }
    // 1-bit rows go to the core as they came, padding and all, as the backend sends them.
    const uint64_t rowBytes = h.cupsBitsPerPixel == 1 ? h.cupsBytesPerLine : (h.cupsWidth + 7) / 8;
    try {
        page_.assign(static_cast<size_t>(rowBytes * h.cupsHeight), 0);
    } catch (...) {
        return PageCheck::NoMemory;
    }
    width_ = h.cupsWidth;
    height_ = h.cupsHeight;
    rowBytes_ = static_cast<uint32_t>(rowBytes);
    inputBytes_ = h.cupsBytesPerLine;
    return PageCheck::Ok;
}

// Only the label's dots are kept; the page's lines pass through the scaler.
bool PageBuilder::startScaled(const ScalePlan& plan, const cups_page_header2_t& h) {
    if (!scaler_.start(plan, h.cupsWidth, h.cupsHeight)) {
        return false;
    }
    try {
        rowBytes_ = (plan.width + 7) / 8;
        page_.assign(size_t{rowBytes_} * plan.height, 0);
        darkness_.assign(h.cupsWidth, 0);
    } catch (...) {
        return false;
    }
    scaled_ = true;
    width_ = plan.width;
    height_ = plan.height;
    sourceWidth_ = h.cupsWidth;
    sourceHeight_ = h.cupsHeight;
    inputBytes_ = h.cupsBytesPerLine;
    return true;
}

uint8_t PageBuilder::grey(const uint8_t* p) const {
    switch (kind_) {
    case Kind::Black8:
        return static_cast<uint8_t>(255 - p[0]);
    case Kind::Rgb24:
        return static_cast<uint8_t>((p[0] * 31 + p[1] * 61 + p[2] * 8) / 100);
    default:
        return p[0];
    }
}

void PageBuilder::ditherLine(uint8_t* out, const uint8_t* in, size_t size, uint32_t y) const {
    const uint32_t step = kind_ == Kind::Rgb24 ? 3 : 1;
    const size_t pixels = std::min<size_t>(width_, size / step);
    for (size_t x = 0; x < pixels; ++x) {
        const uint8_t level = grey(in + x * step);
        const uint8_t limit = dither_ != nullptr ? (*dither_)[y & 15][x & 15] : 127;
        if (level <= limit) {
            out[x / 8] = static_cast<uint8_t>(out[x / 8] | (0x80 >> (x % 8)));
        }
    }
}

void PageBuilder::scaleLine(uint32_t y, const uint8_t* in, size_t size) {
    std::fill(darkness_.begin(), darkness_.end(), 0);
    if (kind_ == Kind::Black1) {
        const size_t dots = std::min<size_t>(sourceWidth_, size * 8);
        for (size_t x = 0; x < dots; ++x) {
            darkness_[x] = (in[x / 8] & (0x80 >> (x % 8))) != 0 ? 255 : 0;
        }
    } else {
        const uint32_t step = kind_ == Kind::Rgb24 ? 3 : 1;
        const size_t dots = std::min<size_t>(sourceWidth_, size / step);
        for (size_t x = 0; x < dots; ++x) {
            darkness_[x] = static_cast<uint8_t>(255 - grey(in + x * step));
        }
    }
    scaler_.addLine(y, darkness_.data());
}

void PageBuilder::finish() {
    if (!scaled_) {
        return;
    }
    scaler_.finish();
    const bool blackAndWhite = scaler_.blackAndWhite();
    for (uint32_t y = 0; y < height_; ++y) {
        const uint8_t* in = scaler_.line(y);
        uint8_t* out = page_.data() + size_t{y} * rowBytes_;
        for (uint32_t x = 0; x < width_; ++x) {
            const uint8_t level = static_cast<uint8_t>(255 - in[x]);
            const uint8_t limit =
                blackAndWhite || dither_ == nullptr ? 127 : (*dither_)[y & 15][x & 15];
            if (level <= limit) {
                out[x / 8] = static_cast<uint8_t>(out[x / 8] | (0x80 >> (x % 8)));
            }
        }
    }
}

void PageBuilder::line(uint32_t y, const uint8_t* data, size_t size) {
    if (data == nullptr) {
        return;
    }
    if (scaled_) {
        if (y < sourceHeight_) {
            scaleLine(y, data, std::min<size_t>(size, inputBytes_));
        }
        return;
    }
    if (y >= height_) {
        return;
    }
    uint8_t* out = page_.data() + size_t{y} * rowBytes_;
    size = std::min<size_t>(size, inputBytes_);
    if (kind_ == Kind::Black1) {
        std::memcpy(out, data, std::min<size_t>(size, rowBytes_));
        return;
    }
    ditherLine(out, data, size, y);
}

} // namespace tarvik_app
