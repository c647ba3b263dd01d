#pragma once

#include "diag/log.h"
#include "image/head.h"
#include "image/page_data.h"

#include <cstdint>

// Moves the page from src into dst (a scratch page); returns 1, 2 or 3, or -1 when the
// page does not fit the scratch page or the working copy cannot be allocated (then
// nothing of the page is to be printed). Its lines go to log.
int qzOffset(const HeadGeometry& head, PageData* pd, const uint8_t* src, uint8_t* dst,
             const CoreLog& log);

// The label template's length in lines at yDpi, truncated toward zero; meaningful only
// when templateCM is not kNoTemplate. Wide enough for any option values.
int64_t templateLinesOf(const PageData* pd, int32_t yDpi);
