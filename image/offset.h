#pragma once

#include "backend/page_data.h"

#include <cstdint>

// Moves the page from src into dst (a scratch page); returns 1, 2 or 3.
int qzOffset(PageData* pd, const uint8_t* src, uint8_t* dst);
