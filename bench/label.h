#pragma once

// The label both benchmarks print: 58 x 40 mm at 300 dpi (576 x 472 dots), with a border,
// text-like blocks and a barcode-like band; different per page.
#include "tests/support/support.h"

#include <cstdint>

namespace benchlabel {

constexpr uint32_t kLabelW = 576;
constexpr uint32_t kLabelH = 472;

inline tsupport::RasterPage label(uint32_t n) {
    return tsupport::makePage(kLabelW, kLabelH, [n](uint32_t x, uint32_t y) {
        const bool border = x < 4 || y < 4 || x >= kLabelW - 4 || y >= kLabelH - 4;
        const bool text = y > 40 && y < 160 && (x / 6 + y / 10 + n) % 3 == 0 && x % 6 < 4;
        const bool bars = y > 250 && y < 420 && ((x * 7 + n) / 5) % 3 != 0;
        return border || text || bars;
    });
}

} // namespace benchlabel
