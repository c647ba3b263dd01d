#pragma once

#include <cstdint>

// The job's one page record: job fields set once from the options, geometry fields
// rewritten by every stage of the image preparation.
struct PageData {
    int32_t w;
    int32_t h;
    int32_t copies;
    int32_t rowBytes;
    uint8_t blackness;
    int8_t rotation;
    uint8_t cutterSet;
    int32_t templateCM;
    int32_t templateMM;
    int32_t xOffsetDir;
    int32_t yOffsetDir;
    int8_t xOffsetValue;
    int8_t yOffsetValue;
    uint8_t* data;
};

constexpr int32_t kNoTemplate = 999;
