#include "image/page_rules.h"

namespace {

bool rowsFit(const PageShape& page, RowFit fit) {
    const uint64_t minLine = (uint64_t{page.width} * page.bitsPerPixel + 7) / 8;
    return fit == RowFit::Exact ? page.bytesPerLine == minLine : page.bytesPerLine >= minLine;
}

bool fitsLimits(const PageShape& page, const PageLimits& limits) {
    return page.width <= limits.maxWidth && page.height <= limits.maxHeight &&
           page.bytesPerLine <= limits.maxBytesPerLine && onePageBytes(page) <= limits.maxPageBytes;
}

} // namespace

uint64_t onePageBytes(const PageShape& page) {
    const uint64_t rowBytes =
        page.bitsPerPixel == 1 ? page.bytesPerLine : (uint64_t{page.width} + 7) / 8;
    return rowBytes * page.height;
}

PageFault checkPage(const PageShape& page, const PageLimits& limits) {
    if (limits.refuseEmpty && (page.width == 0 || page.height == 0)) {
        return PageFault::Empty;
    }
    if (!page.formatSupported) {
        return PageFault::Format;
    }
    if (!rowsFit(page, limits.rows)) {
        return limits.rows == RowFit::Exact ? PageFault::RowsPadded : PageFault::RowsTooShort;
    }
    return fitsLimits(page, limits) ? PageFault::None : PageFault::TooLarge;
}
