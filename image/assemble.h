#pragma once

#include "backend/page_data.h"

#include <cstddef>
#include <cstdint>

constexpr size_t kScratchBytes = 2097152;

extern uint8_t tmpData[kScratchBytes];
extern uint8_t pdData[kScratchBytes];
extern uint8_t* fnData;
extern uint8_t* dstData;

// Builds dstData, the head-width page. Returns 0, or -1 when the page was refused
// (it does not fit the scratch pages, or memory ran out): nothing is to be sent.
int procData(PageData* pd);

// Frees the page of the last procData; called before the next and at the end of the job.
void releaseDstData();
