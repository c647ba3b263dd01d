#pragma once

#include "diag/log.h"
#include "image/page_data.h"

#include <cstdint>

// Turns the page into dst (zero-filled, large enough); 1 when turned, 0 when not. Its lines
// go to log.
int bitmapProc(PageData* pd, const uint8_t* src, uint8_t* dst, const CoreLog& log);
void qzRotateData(int32_t srcW, int32_t srcH, const uint8_t* src, int32_t dstW, int32_t dstH,
                  uint8_t* dst, int8_t code);
