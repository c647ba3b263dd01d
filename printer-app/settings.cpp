#include "printer-app/settings.h"

#include <algorithm>
#include <cstdlib>

namespace tarvik_app {

namespace {

constexpr int32_t kHmmPerMm = 100;

int32_t roundedMm(int32_t hmm) {
    return static_cast<int32_t>((std::abs(int64_t{hmm}) + kHmmPerMm / 2) / kHmmPerMm);
}

} // namespace

uint8_t darknessByte(int32_t configured, int32_t printDarkness) {
    const int64_t level = std::clamp<int64_t>(int64_t{configured} + printDarkness, 0, 100);
    return static_cast<uint8_t>((level * (kDarknessLevels - 1) + 50) / 100);
}

// Rounded down, as PAPPL's web page lists the levels: the configured value is one of them.
int32_t darknessPercent(uint8_t byte) {
    const int32_t b = std::min<int32_t>(byte, kDarknessLevels - 1);
    return b * 100 / (kDarknessLevels - 1);
}

int32_t quarterTurnsOf(int32_t orientation) {
    switch (orientation) {
    case 4: // landscape: the content turned anticlockwise
        return 1;
    case 5: // reverse-landscape
        return 3;
    case 6: // reverse-portrait
        return 2;
    default:
        return 0;
    }
}

void applySettings(const LabelSettings& s, int32_t copies, PageData& pd) {
    pd.copies = copies;
    pd.blackness = darknessByte(s.darknessConfigured, s.printDarkness);
    pd.cutterSet = static_cast<uint8_t>(std::clamp(s.cutter, 0, kMaxCutter));
    pd.rotation = static_cast<int8_t>(std::clamp(s.quarterTurns, 0, 3));
    pd.xOffsetDir = s.leftOffset < 0 ? 1 : 0;
    pd.xOffsetValue = static_cast<int8_t>(std::min(roundedMm(s.leftOffset), kMaxLeftOffsetMm));
    pd.yOffsetDir = s.topOffset < 0 ? 1 : 0;
    pd.yOffsetValue = static_cast<int8_t>(std::min(roundedMm(s.topOffset), kMaxTopOffsetMm));
    const int32_t lengthMm = s.lengthHmm > 0 ? roundedMm(s.lengthHmm) : 0;
    pd.templateCM = lengthMm > 0 ? lengthMm / 10 : kNoTemplate;
    pd.templateMM = lengthMm > 0 ? lengthMm % 10 : 0;
}

} // namespace tarvik_app
