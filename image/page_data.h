#pragma once

#include <cstddef>
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

// Clears the dots past the page's width in every row. Rows may be padded past the width
// (rowBytes larger than the width needs): the padding bytes are cleared too, and the mask
// goes on the row's last byte of dots, which is then not the row's last byte.
void maskPastWidth(uint8_t* page, uint32_t width, uint32_t rows, size_t rowBytes);
