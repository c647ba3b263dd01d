#pragma once

#include <cstdint>

// The print head a page is prepared for, as the printer's head-type query reports it.
struct HeadGeometry {
    int32_t xDpi = 300;
    int32_t yDpi = 300;
    int32_t t58RowBytes = 72;
    int32_t t58SplitRows = 24;
};

inline constexpr HeadGeometry kHead203{203, 203, 48, 36};
inline constexpr HeadGeometry kHead300{300, 300, 72, 24};
