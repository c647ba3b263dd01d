#pragma once

#include <cstdint>

// Option values from the PPD's default choices; each starts at its value when absent.
extern int32_t rotationAngle;
extern int32_t blackness;
extern int32_t cutterSet;
extern int32_t horizontalOffset;
extern int32_t horizontalOffsetValue;
extern int32_t verticalOffset;
extern int32_t verticalOffsetValue;
extern int32_t isDebug;
extern int32_t stpTemplateCM;
extern int32_t stpTemplateMM;

void getCupsParm();

// Reads a decimal number as atoi does (blanks, sign, digits); saturates at 32 bits.
int32_t parseLeadingInt(const char* text);
