#pragma once

#include "backend/page_data.h"

#include <cstdint>

constexpr int32_t kSendBuffSize = 4096;
constexpr int32_t kWrkmemSize = 131072;

extern uint8_t sendBuff[kSendBuffSize];
extern uint8_t* pHeader;
extern uint8_t* pData1b;

uint16_t bswap_16(uint16_t v);
int32_t t58_Print(int32_t copies, PageData* pd);
