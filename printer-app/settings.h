#pragma once

#include "image/page_data.h"

#include <cstdint>

// The label settings of one page, from the printer's defaults and the job's attributes, in
// the terms PageData uses; every value is already within the printer's ranges.
namespace tarvik_app {

inline constexpr int32_t kDarknessLevels = 32;
inline constexpr int32_t kMaxCutter = 7;
inline constexpr int32_t kMaxLeftOffsetMm = 24;
inline constexpr int32_t kMaxTopOffsetMm = 40;

struct LabelSettings {
    int32_t darknessConfigured = 25; // printer-darkness-configured, 0..100
    int32_t printDarkness = 0;       // print-darkness, -100..100
    int32_t cutter = 0;              // 0..7
    int32_t quarterTurns = 0;        // 0 none, 1 anticlockwise, 2 half, 3 clockwise
    int32_t leftOffset = 0;          // media-left-offset, hundredths of mm, + to the right
    int32_t topOffset = 0;           // media-top-offset, hundredths of mm, + downwards
    int32_t lengthHmm = 0;           // media length in hundredths of mm; 0 for no template
};

// printer-darkness-configured plus print-darkness, clamped to 0..100, on the 0..31 scale.
uint8_t darknessByte(int32_t configured, int32_t printDarkness);
// The printer-darkness-configured value that gives a darkness byte.
int32_t darknessPercent(uint8_t byte);
// IPP orientation-requested (3..6) as quarter turns; anything else is no turn.
int32_t quarterTurnsOf(int32_t orientation);

// Fills the job fields of pd (not the geometry); copies as given.
void applySettings(const LabelSettings& settings, int32_t copies, PageData& pd);

} // namespace tarvik_app
