#pragma once

#include <cstdint>

// Writes the page as a 1-bit BMP at path and as raw bytes beside it; a file that
// cannot be opened is skipped.
void saveImage(const uint8_t* data, uint32_t len, int32_t w, int32_t h, const char* path);
