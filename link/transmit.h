#pragma once

#include "image/page_data.h"
#include "link/t58_link.h"

#include <cstdint>

uint16_t bswap_16(uint16_t v);
// Sends every copy of the page; 0, 1, 2, 3 or -3, or -1 when the page was refused.
int32_t t58_Print(T58Link& link, int32_t copies, PageData* pd);
