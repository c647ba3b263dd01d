#pragma once

#include "image/page_data.h"
#include "link/results.h"
#include "link/t58_link.h"

#include <cstdint>

uint16_t bswap_16(uint16_t v);
// Sends every copy of the page.
PrintResult t58_Print(T58Link& link, int32_t copies, PageData* pd);
