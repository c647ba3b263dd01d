#pragma once

#include "backend/page_data.h"

#include <cstdint>

// The printer calls the job driver makes per page; the link provides them.
int init_t58();
int32_t t58_Print(int32_t copies, PageData* pd);
void close_t58();
