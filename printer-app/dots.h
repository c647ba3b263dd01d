#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A 1-bit page the app draws itself (the test page): lines, text in a 5 x 7 dot font and
// Code 128 barcodes. Set bits are black dots, MSB first, as the job path takes them.
namespace tarvik_app {

class DotPage {
  public:
    DotPage(int32_t width, int32_t height);

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    int32_t rowBytes() const { return rowBytes_; }
    const uint8_t* row(int32_t y) const { return dots_.data() + size_t(y) * size_t(rowBytes_); }
    bool dot(int32_t x, int32_t y) const;

    // Dots outside the page are dropped.
    void fill(int32_t x, int32_t y, int32_t w, int32_t h);
    void frame(int32_t thickness);
    // Text in the 5 x 7 font, each dot scale x scale; lower case prints as upper case, a
    // character the font lacks as '?'. Returns the width drawn.
    int32_t text(int32_t x, int32_t y, std::string_view s, int32_t scale);
    static int32_t textWidth(std::string_view s, int32_t scale);
    static int32_t textHeight(int32_t scale) { return 7 * scale; }
    // Code 128 (set B) of s with its check symbol, bars module dots wide; no quiet zone.
    void code128(int32_t x, int32_t y, std::string_view s, int32_t module, int32_t height);
    static int32_t code128Width(std::string_view s, int32_t module);

  private:
    int32_t width_;
    int32_t height_;
    int32_t rowBytes_;
    std::vector<uint8_t> dots_;
};

// The bar and space widths of s in Code 128 set B: start B, the characters (outside
// 32..126 as '?'), the check symbol, stop.
std::vector<uint8_t> code128Widths(std::string_view s);

} // namespace tarvik_app
