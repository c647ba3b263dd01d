#pragma once

// The jobs of core_threads and the pages they print, shared with the test that checks
// what each printer got.
#include "image/page_data.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace threadpages {

struct Job {
    std::string serial;
    int rotation = 0;
    int darkness = 0;
    int xOffset = 0;
    int pages = 1;
};

constexpr uint32_t kWidth = 400;
constexpr uint32_t kHeight = 120;
constexpr uint32_t kRowBytes = (kWidth + 7) / 8;

inline bool parse(const std::string& text, Job* job) {
    char serial[64] = {};
    const int n = std::sscanf(text.c_str(), "%63[^:]:%d:%d:%d:%d", serial, &job->rotation,
                              &job->darkness, &job->xOffset, &job->pages);
    job->serial = serial;
    return n == 5;
}

inline std::string text(const Job& job) {
    return job.serial + ":" + std::to_string(job.rotation) + ":" + std::to_string(job.darkness) +
           ":" + std::to_string(job.xOffset) + ":" + std::to_string(job.pages);
}

// A page no other job or page prints: stripes whose pitch comes from the serial and page.
inline std::vector<uint8_t> pattern(const Job& job, int page) {
    uint32_t seed = static_cast<uint32_t>(page) * 131u;
    for (char c : job.serial) {
        seed = seed * 31u + static_cast<unsigned char>(c);
    }
    std::vector<uint8_t> pixels(size_t{kRowBytes} * kHeight);
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t x = 0; x < kRowBytes; ++x) {
            const uint32_t v = (x * 7u + y * (seed % 13u + 1u) + seed) % 17u;
            pixels[size_t{y} * kRowBytes + x] = v < 6 ? static_cast<uint8_t>(0xF0 >> (v % 4)) : 0;
        }
    }
    return pixels;
}

inline PageData record(const Job& job, std::vector<uint8_t>& pixels) {
    PageData pd{};
    pd.w = kWidth;
    pd.h = kHeight;
    pd.rowBytes = kRowBytes;
    pd.copies = 1;
    pd.blackness = static_cast<uint8_t>(job.darkness);
    pd.rotation = static_cast<int8_t>(job.rotation);
    pd.xOffsetValue = static_cast<int8_t>(job.xOffset);
    pd.templateCM = kNoTemplate;
    pd.data = pixels.data();
    return pd;
}

} // namespace threadpages
