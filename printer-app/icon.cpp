// The printer's icons: a label printer with a label coming out of its slot, drawn here at
// PAPPL's three sizes (48, 128 and 512 pixels) the first time a driver is set up.
#include "printer-app/app.h"

#include <png.h>

#include <array>
#include <cstdint>
#include <vector>

namespace tarvik_app {

namespace {

struct Rgb {
    uint8_t r, g, b;
};

// A rounded rectangle in units of the icon's side (0..1); radius 0 for square corners.
struct Shape {
    float x0, y0, x1, y1, radius;
    Rgb colour;

    bool covers(float x, float y) const {
        if (x < x0 || x > x1 || y < y0 || y > y1) {
            return false;
        }
        const float cx = x < x0 + radius ? x0 + radius : (x > x1 - radius ? x1 - radius : x);
        const float cy = y < y0 + radius ? y0 + radius : (y > y1 - radius ? y1 - radius : y);
        return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius;
    }
};

constexpr Rgb kBody{0x37, 0x47, 0x4f};
constexpr Rgb kLid{0x60, 0x7d, 0x8b};
constexpr Rgb kSlot{0x1c, 0x26, 0x2b};
constexpr Rgb kEdge{0x9e, 0x9e, 0x9e};
constexpr Rgb kPaper{0xff, 0xff, 0xff};
constexpr Rgb kInk{0x10, 0x10, 0x10};
constexpr Rgb kLight{0x4c, 0xaf, 0x50};

// Painted in order, the last on top.
constexpr Shape kShapes[] = {
    {0.06f, 0.28f, 0.94f, 0.80f, 0.08f, kBody},  {0.10f, 0.16f, 0.90f, 0.44f, 0.08f, kLid},
    {0.76f, 0.22f, 0.84f, 0.28f, 0.03f, kLight}, {0.20f, 0.50f, 0.80f, 0.56f, 0.0f, kSlot},
    {0.25f, 0.53f, 0.75f, 0.97f, 0.0f, kEdge},   {0.265f, 0.53f, 0.735f, 0.955f, 0.0f, kPaper},
    {0.31f, 0.60f, 0.56f, 0.63f, 0.0f, kInk},    {0.31f, 0.66f, 0.66f, 0.69f, 0.0f, kInk},
    {0.31f, 0.75f, 0.33f, 0.90f, 0.0f, kInk},    {0.35f, 0.75f, 0.39f, 0.90f, 0.0f, kInk},
    {0.41f, 0.75f, 0.42f, 0.90f, 0.0f, kInk},    {0.45f, 0.75f, 0.48f, 0.90f, 0.0f, kInk},
    {0.50f, 0.75f, 0.51f, 0.90f, 0.0f, kInk},    {0.53f, 0.75f, 0.57f, 0.90f, 0.0f, kInk},
    {0.59f, 0.75f, 0.60f, 0.90f, 0.0f, kInk},    {0.62f, 0.75f, 0.65f, 0.90f, 0.0f, kInk},
    {0.67f, 0.75f, 0.69f, 0.90f, 0.0f, kInk},
};

const Shape* topShape(float x, float y) {
    const Shape* top = nullptr;
    for (const Shape& s : kShapes) {
        if (s.covers(x, y)) {
            top = &s;
        }
    }
    return top;
}

// One pixel from samples x samples points: the mean colour of the shapes hit and the share
// of points hit as its opacity.
std::array<uint8_t, 4> pixel(int px, int py, int size, int samples) {
    uint32_t r = 0, g = 0, b = 0, hits = 0;
    for (int sy = 0; sy < samples; ++sy) {
        for (int sx = 0; sx < samples; ++sx) {
            const float x = (float(px) + (float(sx) + 0.5f) / float(samples)) / float(size);
            const float y = (float(py) + (float(sy) + 0.5f) / float(samples)) / float(size);
            if (const Shape* s = topShape(x, y)) {
                r += s->colour.r;
                g += s->colour.g;
                b += s->colour.b;
                ++hits;
            }
        }
    }
    if (hits == 0) {
        return {0, 0, 0, 0};
    }
    const uint32_t all = uint32_t(samples * samples);
    return {uint8_t(r / hits), uint8_t(g / hits), uint8_t(b / hits), uint8_t(255 * hits / all)};
}

std::vector<uint8_t> iconPng(int size) {
    const int samples = size <= 128 ? 4 : 2;
    std::vector<uint8_t> rgba(size_t(size) * size_t(size) * 4);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const auto p = pixel(x, y, size, samples);
            std::copy(p.begin(), p.end(), rgba.begin() + (ptrdiff_t(y) * size + x) * 4);
        }
    }
    return encodePng(uint32_t(size), uint32_t(size), PNG_FORMAT_RGBA, rgba);
}

struct Icons {
    std::vector<uint8_t> png[3];
    Icons() noexcept {
        constexpr int kSizes[3] = {48, 128, 512};
        try {
            for (int i = 0; i < 3; ++i) {
                png[i] = iconPng(kSizes[i]);
            }
        } catch (...) {
        }
    }
};

} // namespace

void setIcons(pappl_pr_driver_data_t* data) {
    // Made once and kept: PAPPL serves the icons from this memory.
    static const Icons icons;
    for (int i = 0; i < 3; ++i) {
        data->icons[i].data = icons.png[i].empty() ? nullptr : icons.png[i].data();
        data->icons[i].datalen = icons.png[i].size();
    }
}

} // namespace tarvik_app
