#pragma once

#include "printer-app/dots.h"

#include <cstdint>
#include <string>

// The printer's test label: who it is, its settings, a frame at the edges the head prints
// and a millimetre ruler along the top and the left edge.
namespace tarvik_app {

struct TestLabelInfo {
    std::string name;
    std::string serial;
    int32_t dpi = 203;
    int32_t headDots = 384;
    int32_t darknessPercent = 0; // 0..100
    int32_t darknessLevel = 0;   // 0..31, the printer's own scale
    int32_t widthHmm = 0;        // the label, hundredths of mm
    int32_t lengthHmm = 0;
    int32_t leftOffsetHmm = 0;
    int32_t topOffsetHmm = 0;
};

// The label's dots: as long as the label, as wide as the label or the head if that is
// narrower (the part of the label the head reaches).
DotPage renderTestLabel(const TestLabelInfo& info);

} // namespace tarvik_app
