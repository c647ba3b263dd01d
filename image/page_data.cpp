#include "image/page_data.h"

#include <array>
#include <cstring>

namespace {

constexpr std::array<uint8_t, 8> kLastByteMask = {0xFF, 0x80, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC, 0xFE};

} // namespace

void maskPastWidth(uint8_t* page, uint32_t width, uint32_t rows, size_t rowBytes) {
    const uint8_t mask = kLastByteMask[width % 8];
    const size_t dotBytes = (size_t{width} + 7) / 8;
    if (mask == 0xFF && dotBytes == rowBytes) {
        return;
    }
    for (uint32_t r = 0; r < rows; ++r) {
        uint8_t* row = page + size_t{r} * rowBytes;
        if (dotBytes > 0) {
            row[dotBytes - 1] &= mask;
        }
        std::memset(row + dotBytes, 0, rowBytes - dotBytes);
    }
}
