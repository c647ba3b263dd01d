#include "printer-app/dots.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace tarvik_app {

namespace {

// Rows top to bottom, bit 4 the leftmost dot.
struct Glyph {
    char c;
    uint8_t rows[7];
};

constexpr Glyph kFont[] = {
    {' ', {0, 0, 0, 0, 0, 0, 0}},
    {'0', {0b01110, 0b10001, 0b10011, 0b10101, 0b11001, 0b10001, 0b01110}},
    {'1', {0b00100, 0b01100, 0b00100, 0b00100, 0b00100, 0b00100, 0b01110}},
    {'2', {0b01110, 0b10001, 0b00001, 0b00010, 0b00100, 0b01000, 0b11111}},
    {'3', {0b11111, 0b00010, 0b00100, 0b00010, 0b00001, 0b10001, 0b01110}},
    {'4', {0b00010, 0b00110, 0b01010, 0b10010, 0b11111, 0b00010, 0b00010}},
    {'5', {0b11111, 0b10000, 0b11110, 0b00001, 0b00001, 0b10001, 0b01110}},
    {'6', {0b00110, 0b01000, 0b10000, 0b11110, 0b10001, 0b10001, 0b01110}},
    {'7', {0b11111, 0b00001, 0b00010, 0b00100, 0b01000, 0b01000, 0b01000}},
    {'8', {0b01110, 0b10001, 0b10001, 0b01110, 0b10001, 0b10001, 0b01110}},
    {'9', {0b01110, 0b10001, 0b10001, 0b01111, 0b00001, 0b00010, 0b01100}},
    {'A', {0b01110, 0b10001, 0b10001, 0b11111, 0b10001, 0b10001, 0b10001}},
    {'B', {0b11110, 0b10001, 0b10001, 0b11110, 0b10001, 0b10001, 0b11110}},
    {'C', {0b01110, 0b10001, 0b10000, 0b10000, 0b10000, 0b10001, 0b01110}},
    {'D', {0b11100, 0b10010, 0b10001, 0b10001, 0b10001, 0b10010, 0b11100}},
    {'E', {0b11111, 0b10000, 0b10000, 0b11110, 0b10000, 0b10000, 0b11111}},
    {'F', {0b11111, 0b10000, 0b10000, 0b11110, 0b10000, 0b10000, 0b10000}},
    {'G', {0b01110, 0b10001, 0b10000, 0b10111, 0b10001, 0b10001, 0b01111}},
    {'H', {0b10001, 0b10001, 0b10001, 0b11111, 0b10001, 0b10001, 0b10001}},
    {'I', {0b01110, 0b00100, 0b00100, 0b00100, 0b00100, 0b00100, 0b01110}},
    {'J', {0b00111, 0b00010, 0b00010, 0b00010, 0b00010, 0b10010, 0b01100}},
    {'K', {0b10001, 0b10010, 0b10100, 0b11000, 0b10100, 0b10010, 0b10001}},
    {'L', {0b10000, 0b10000, 0b10000, 0b10000, 0b10000, 0b10000, 0b11111}},
    {'M', {0b10001, 0b11011, 0b10101, 0b10101, 0b10001, 0b10001, 0b10001}},
    {'N', {0b10001, 0b10001, 0b11001, 0b10101, 0b10011, 0b10001, 0b10001}},
    {'O', {0b01110, 0b10001, 0b10001, 0b10001, 0b10001, 0b10001, 0b01110}},
    {'P', {0b11110, 0b10001, 0b10001, 0b11110, 0b10000, 0b10000, 0b10000}},
    {'Q', {0b01110, 0b10001, 0b10001, 0b10001, 0b10101, 0b10010, 0b01101}},
    {'R', {0b11110, 0b10001, 0b10001, 0b11110, 0b10100, 0b10010, 0b10001}},
    {'S', {0b01111, 0b10000, 0b10000, 0b01110, 0b00001, 0b00001, 0b11110}},
    {'T', {0b11111, 0b00100, 0b00100, 0b00100, 0b00100, 0b00100, 0b00100}},
    {'U', {0b10001, 0b10001, 0b10001, 0b10001, 0b10001, 0b10001, 0b01110}},
    {'V', {0b10001, 0b10001, 0b10001, 0b10001, 0b01010, 0b01010, 0b00100}},
    {'W', {0b10001, 0b10001, 0b10001, 0b10101, 0b10101, 0b10101, 0b01010}},
    {'X', {0b10001, 0b10001, 0b01010, 0b00100, 0b01010, 0b10001, 0b10001}},
    {'Y', {0b10001, 0b10001, 0b10001, 0b01010, 0b00100, 0b00100, 0b00100}},
    {'Z', {0b11111, 0b00001, 0b00010, 0b00100, 0b01000, 0b10000, 0b11111}},
    {'.', {0, 0, 0, 0, 0, 0b01100, 0b01100}},
    {',', {0, 0, 0, 0, 0b01100, 0b00100, 0b01000}},
    {':', {0, 0b01100, 0b01100, 0, 0b01100, 0b01100, 0}},
    {'-', {0, 0, 0, 0b11111, 0, 0, 0}},
    {'+', {0, 0b00100, 0b00100, 0b11111, 0b00100, 0b00100, 0}},
    {'=', {0, 0, 0b11111, 0, 0b11111, 0, 0}},
    {'/', {0, 0b00001, 0b00010, 0b00100, 0b01000, 0b10000, 0}},
    {'%', {0b11000, 0b11001, 0b00010, 0b00100, 0b01000, 0b10011, 0b00011}},
    {'(', {0b00010, 0b00100, 0b01000, 0b01000, 0b01000, 0b00100, 0b00010}},
    {')', {0b01000, 0b00100, 0b00010, 0b00010, 0b00010, 0b00100, 0b01000}},
    {'#', {0b01010, 0b01010, 0b11111, 0b01010, 0b11111, 0b01010, 0b01010}},
    {'_', {0, 0, 0, 0, 0, 0, 0b11111}},
    {'?', {0b01110, 0b10001, 0b00001, 0b00010, 0b00100, 0, 0b00100}},
};

const Glyph& glyphOf(char c) {
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const Glyph& g : kFont) {
        if (g.c == upper) {
            return g;
        }
    }
    return kFont[std::size(kFont) - 1];
}

// Bar, space, bar ... widths in modules of the symbols 0..106 (106: stop).
constexpr const char* kCode128[] = {
    "212222", "222122", "222221", "121223", "121322", "131222", "122213", "122312",  "132212",
    "221213", "221312", "231212", "112232", "122132", "122231", "113222", "123122",  "123221",
    "223211", "221132", "221231", "213212", "223112", "312131", "311222", "321122",  "321221",
    "312212", "322112", "322211", "212123", "212321", "232121", "111323", "131123",  "131321",
    "112313", "132113", "132311", "211313", "231113", "231311", "112133", "112331",  "132131",
    "113123", "113321", "133121", "313121", "211331", "231131", "213113", "213311",  "213131",
    "311123", "311321", "331121", "312113", "312311", "332111", "314111", "221411",  "431111",
    "111224", "111422", "121124", "121421", "141122", "141221", "112214", "112412",  "122114",
    "122411", "142112", "142211", "241211", "221114", "413111", "241112", "134111",  "111242",
    "121142", "121241", "114212", "124112", "124211", "411212", "421112", "421211",  "212141",
    "214121", "412121", "111143", "111341", "131141", "114113", "114311", "411113",  "411311",
    "113141", "114131", "311141", "411131", "211412", "211214", "211232", "2331112",
};
constexpr int kStartB = 104;
constexpr int kStop = 106;

void appendSymbol(std::vector<uint8_t>& widths, int symbol) {
    for (const char* w = kCode128[symbol]; *w != '\0'; ++w) {
        widths.push_back(static_cast<uint8_t>(*w - '0'));
    }
}

} // namespace

DotPage::DotPage(int32_t width, int32_t height)
    : width_(std::max(width, 0)), height_(std::max(height, 0)), rowBytes_((width_ + 7) / 8),
      dots_(size_t(rowBytes_) * size_t(height_)) {}

bool DotPage::dot(int32_t x, int32_t y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) {
        return false;
    }
    return (row(y)[x / 8] & (0x80 >> (x % 8))) != 0;
}

void DotPage::fill(int32_t x, int32_t y, int32_t w, int32_t h) {
    const int32_t x0 = std::max(x, 0);
    const int32_t y0 = std::max(y, 0);
    const int32_t x1 = std::min(int64_t{x} + w, int64_t{width_});
    const int32_t y1 = std::min(int64_t{y} + h, int64_t{height_});
    for (int32_t yy = y0; yy < y1; ++yy) {
        uint8_t* line = dots_.data() + size_t(yy) * size_t(rowBytes_);
        for (int32_t xx = x0; xx < x1; ++xx) {
            line[xx / 8] |= static_cast<uint8_t>(0x80 >> (xx % 8));
        }
    }
}

void DotPage::frame(int32_t t) {
    fill(0, 0, width_, t);
    fill(0, height_ - t, width_, t);
    fill(0, 0, t, height_);
    fill(width_ - t, 0, t, height_);
}

int32_t DotPage::textWidth(std::string_view s, int32_t scale) {
    return s.empty() ? 0 : static_cast<int32_t>(s.size() * 6 - 1) * scale;
}

int32_t DotPage::text(int32_t x, int32_t y, std::string_view s, int32_t scale) {
    int32_t cx = x;
    for (char c : s) {
        const Glyph& g = glyphOf(c);
        for (int32_t r = 0; r < 7; ++r) {
            for (int32_t b = 0; b < 5; ++b) {
                if (g.rows[r] & (0x10 >> b)) {
                    fill(cx + b * scale, y + r * scale, scale, scale);
                }
            }
        }
        cx += 6 * scale;
    }
    return textWidth(s, scale);
}

std::vector<uint8_t> code128Widths(std::string_view s) {
    std::vector<uint8_t> widths;
    appendSymbol(widths, kStartB);
    int64_t check = kStartB;
    int64_t position = 1;
    for (char c : s) {
        const int code = static_cast<unsigned char>(c);
        const int value = (code >= 32 && code <= 126 ? code : '?') - 32;
        appendSymbol(widths, value);
        check += value * position++;
    }
    appendSymbol(widths, static_cast<int>(check % 103));
    appendSymbol(widths, kStop);
    return widths;
}

int32_t DotPage::code128Width(std::string_view s, int32_t module) {
    // Start, check and stop symbols around 11 modules a character.
    return static_cast<int32_t>((s.size() + 2) * 11 + 13) * module;
}

void DotPage::code128(int32_t x, int32_t y, std::string_view s, int32_t module, int32_t height) {
    bool bar = true;
    int32_t cx = x;
    for (uint8_t w : code128Widths(s)) {
        if (bar) {
            fill(cx, y, w * module, height);
        }
        cx += w * module;
        bar = !bar;
    }
}

} // namespace tarvik_app
