#pragma once

#include <cstdint>

// The fields of a raster page's header that say whether the core can take the page.
struct PageShape {
    uint32_t width = 0;        // dots
    uint32_t height = 0;       // lines
    uint32_t bytesPerLine = 0; // as the raster's rows come
    uint32_t bitsPerPixel = 1;
    // The caller's own verdict on the pixel format (bit depth, colour space, order).
    bool formatSupported = true;
};

// How a page's rows must hold its width: at least its bytes, or exactly (no padding).
enum class RowFit { Covers, Exact };

// What a caller takes. The core itself takes any 1-bit page of rows that cover its width
// up to kMaxPageBytes; a caller may ask for less.
struct PageLimits {
    bool refuseEmpty = false; // a page of no width or no height
    RowFit rows = RowFit::Covers;
    uint32_t maxWidth = UINT32_MAX;
    uint32_t maxHeight = UINT32_MAX;
    uint32_t maxBytesPerLine = UINT32_MAX;
    uint64_t maxPageBytes; // of the 1-bit page the core gets
};

enum class PageFault { None, Empty, Format, RowsTooShort, RowsPadded, TooLarge };

// No label is 64 MiB of dots: a larger page is refused before any memory is taken for it.
inline constexpr uint64_t kMaxPageBytes = 64u * 1024 * 1024;
inline constexpr PageLimits kCoreLimits{false,      RowFit::Covers, UINT32_MAX,
                                        UINT32_MAX, UINT32_MAX,     kMaxPageBytes};

// The first rule the page breaks, in this order: empty, format, rows, size.
PageFault checkPage(const PageShape& page, const PageLimits& limits = kCoreLimits);

// The bytes of the 1-bit page the core gets: 1-bit rows as they come (padding and all),
// deeper rows packed to one bit per dot.
uint64_t onePageBytes(const PageShape& page);
