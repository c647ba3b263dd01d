#include "printer-app/test_label.h"

#include "printer-app/settings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace tarvik_app {

namespace {

struct Geometry {
    int32_t dpi;
    int32_t frame;    // frame thickness
    int32_t tick;     // tick thickness
    int32_t shortLen; // every mm
    int32_t midLen;   // every 5 mm
    int32_t longLen;  // every 10 mm, with its number
    int32_t numberAt; // the numbers' distance from the frame, past the 1 mm ticks
    int32_t numberScale;
    int32_t textScale;
    int32_t gap;

    int32_t dots(double mm) const { return static_cast<int32_t>(std::lround(mm * dpi / 25.4)); }
};

Geometry geometryOf(int32_t dpi) {
    Geometry g{};
    g.dpi = std::max(dpi, 1);
    g.frame = std::max(1, g.dots(0.25));
    g.tick = std::max(1, g.dots(0.12));
    g.shortLen = g.dots(1.0);
    g.midLen = g.dots(1.5);
    g.longLen = g.dots(2.5);
    g.numberAt = g.dots(1.25);
    g.numberScale = std::max(1, (g.dpi + 100) / 200);
    g.textScale = std::max(1, g.dpi / 100);
    g.gap = g.dots(0.75);
    return g;
}

// Hundredths of mm as PAPPL makes a page's dots of them.
int32_t dotsOfHmm(int32_t hmm, int32_t dpi) {
    return static_cast<int32_t>(int64_t{std::max(hmm, 0)} * dpi / 2540);
}

std::string mmText(int32_t hmm, bool sign) {
    char text[32];
    std::snprintf(text, sizeof text, sign ? "%+.2f" : "%.2f", hmm / 100.0);
    std::string s = text;
    while (s.back() == '0') {
        s.pop_back();
    }
    if (s.back() == '.') {
        s.pop_back();
    }
    return s == "+0" ? "0" : s;
}

int32_t tickLength(const Geometry& g, int32_t mm) {
    return mm % 10 == 0 ? g.longLen : mm % 5 == 0 ? g.midLen : g.shortLen;
}

void drawTopRuler(DotPage& page, const Geometry& g) {
    for (int32_t mm = 1;; ++mm) {
        const int32_t x = g.dots(mm);
        if (x >= page.width() - g.frame) {
            break;
        }
        page.fill(x, 0, g.tick, g.frame + tickLength(g, mm));
        const std::string number = std::to_string(mm);
        const int32_t nx = x + g.tick + 1;
        if (mm % 10 == 0 &&
            nx + DotPage::textWidth(number, g.numberScale) < page.width() - g.frame) {
            page.text(nx, g.frame + g.numberAt, number, g.numberScale);
        }
    }
}

void drawLeftRuler(DotPage& page, const Geometry& g) {
    for (int32_t mm = 1;; ++mm) {
        const int32_t y = g.dots(mm);
        if (y >= page.height() - g.frame) {
            break;
        }
        page.fill(0, y, g.frame + tickLength(g, mm), g.tick);
        const int32_t ny = y + g.tick + 1;
        if (mm % 10 == 0 && ny + DotPage::textHeight(g.numberScale) < page.height() - g.frame) {
            page.text(g.frame + g.numberAt, ny, std::to_string(mm), g.numberScale);
        }
    }
}

std::vector<std::string> linesOf(const TestLabelInfo& info) {
    std::vector<std::string> lines;
    lines.push_back(info.name);
    lines.push_back("SN " + (info.serial.empty() ? std::string("-") : info.serial));
    lines.push_back("HEAD " + std::to_string(info.dpi) + " DPI, " + std::to_string(info.headDots) +
                    " DOTS");
    lines.push_back("DARKNESS " + std::to_string(info.darknessPercent) + "% (" +
                    std::to_string(info.darknessLevel) + " OF " +
                    std::to_string(kDarknessLevels - 1) + ")");
    lines.push_back("LABEL " + mmText(info.widthHmm, false) + " X " +
                    mmText(info.lengthHmm, false) + " MM");
    lines.push_back("OFFSET X " + mmText(info.leftOffsetHmm, true) + " Y " +
                    mmText(info.topOffsetHmm, true) + " MM");
    return lines;
}

struct Area {
    int32_t x0, y0, x1, y1;
    int32_t width() const { return x1 - x0; }
    int32_t height() const { return y1 - y0; }
};

// The largest scale up to the text scale at which every line fits the area.
int32_t fittingScale(const std::vector<std::string>& lines, const Area& area, const Geometry& g) {
    for (int32_t s = g.textScale; s > 1; --s) {
        int32_t widest = 0;
        for (const std::string& line : lines) {
            widest = std::max(widest, DotPage::textWidth(line, s));
        }
        const int32_t tall = static_cast<int32_t>(lines.size()) * 9 * s - 2 * s;
        if (widest <= area.width() && tall <= area.height()) {
            return s;
        }
    }
    return 1;
}

// The lines from the area's top; returns the first row below them.
int32_t drawLines(DotPage& page, const std::vector<std::string>& lines, const Area& area,
                  int32_t scale) {
    int32_t y = area.y0;
    const size_t fits = static_cast<size_t>(std::max(0, (area.width() + scale) / (6 * scale)));
    for (const std::string& line : lines) {
        if (y + DotPage::textHeight(scale) > area.y1) {
            break;
        }
        page.text(area.x0, y, std::string_view(line).substr(0, fits), scale);
        y += 9 * scale;
    }
    return y;
}

// The serial as a barcode below the text, with quiet zones of 10 modules, where it fits.
void drawBarcode(DotPage& page, const std::string& serial, const Area& area, int32_t top,
                 const Geometry& g) {
    const int32_t height = std::min(g.dots(8), area.y1 - top);
    if (serial.empty() || height < g.dots(3)) {
        return;
    }
    for (int32_t module = g.textScale; module >= 1; --module) {
        const int32_t x = area.x0 + 10 * module;
        const int32_t width = DotPage::code128Width(serial, module);
        if (x + width + 10 * module <= page.width() - g.frame) {
            page.code128(x, top, serial, module, height);
            return;
        }
    }
}

} // namespace

DotPage renderTestLabel(const TestLabelInfo& info) {
    const Geometry g = geometryOf(info.dpi);
    const int32_t width = std::min(dotsOfHmm(info.widthHmm, g.dpi), std::max(info.headDots, 1));
    DotPage page(width, dotsOfHmm(info.lengthHmm, g.dpi));
    page.frame(g.frame);
    drawTopRuler(page, g);
    drawLeftRuler(page, g);
    const std::string widest = std::to_string(std::max(page.height() * 254 / (g.dpi * 10), 1));
    const int32_t left =
        g.frame + std::max(g.longLen, g.numberAt + DotPage::textWidth(widest, g.numberScale));
    // Twice the gap beside the left ruler's numbers, which would run into the text.
    const Area area{left + 2 * g.gap, g.frame + g.longLen + g.gap, page.width() - g.frame - g.gap,
                    page.height() - g.frame - g.gap};
    const std::vector<std::string> lines = linesOf(info);
    const int32_t scale = fittingScale(lines, area, g);
    const int32_t below = drawLines(page, lines, area, scale);
    drawBarcode(page, info.serial, area, below + scale, g);
    return page;
}

} // namespace tarvik_app
