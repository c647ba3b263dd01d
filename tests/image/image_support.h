#pragma once

// Helpers of the image tests: head choice, page records over test pages, the log of a
// call, and the rotation rule dot by dot as the oracle.

#include "image/assemble.h"
#include "image/head.h"
#include "image/page_data.h"
#include "tests/support/support.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace imagetest {

// 300: the 72-byte head; 203: the 48-byte head.
void useHead(int dpi);
// The head useHead chose, and the page-preparation state of the tests' one printer.
const HeadGeometry& head();
PageWork& work();

// A record for the page with no rotation, template or offsets.
PageData recordOf(tsupport::RasterPage& page);

// What the call wrote to standard error.
std::string logOf(const std::function<void(const CoreLog& log)>& call);

bool dotAt(const uint8_t* image, int64_t rowBytes, int64_t x, int64_t y);

// The turned image by the dot-by-dot rule, rows of (dstW + 7) / 8 bytes, OR-ed into dst.
void turnDots(int32_t srcW, int32_t srcH, const uint8_t* src, int32_t dstW, int32_t dstH,
              uint8_t* dst, int8_t code);

// The page's bytes with the dots past its width cleared.
std::vector<uint8_t> masked(const tsupport::RasterPage& page);

// Row y of an image as a vector.
std::vector<uint8_t> rowOf(const uint8_t* image, int64_t rowBytes, int64_t y);

} // namespace imagetest
