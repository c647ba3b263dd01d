#pragma once

// Frames as a backend sends them, built for the virtual T58's tests with the real LZO1X-1
// compressor.

#include <lzo/lzo1x.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace vt58test {

inline uint8_t checksum(std::span<const uint8_t> b) {
    uint8_t s = 0;
    for (uint8_t x : b)
        s = static_cast<uint8_t>(s - x);
    return s;
}

// Start byte, length, command, payload and checksum.
inline std::vector<uint8_t> frame(uint8_t cmd, const std::vector<uint8_t>& payload) {
    const size_t len = payload.size() + 5;
    std::vector<uint8_t> f(len);
    f[0] = 0x66;
    f[1] = static_cast<uint8_t>(len & 0xFF);
    f[2] = static_cast<uint8_t>(len >> 8);
    f[3] = cmd;
    for (size_t i = 0; i < payload.size(); ++i) {
        f[4 + i] = payload[i];
    }
    f[len - 1] = checksum(std::span<const uint8_t>(f).first(len - 1));
    return f;
}

inline std::vector<uint8_t> statusFrame() {
    return frame(0x10, {0x00});
}

struct BlockSpec {
    uint8_t darkness = 0xE0;
    uint8_t cutter = 0;
    int copies = 1;
    int copyNumber = 1;
    int pageLines = 0;
    int blockLines = 0;
    int toFollow = 0;
};

// A print-data frame of one block whose bytes are already in the printer's (swapped) order.
inline std::vector<uint8_t> printFrame(const BlockSpec& s, std::span<const uint8_t> block) {
    static std::vector<uint8_t> wrkmem(LZO1X_1_MEM_COMPRESS);
    static const int ready = lzo_init();
    (void)ready;
    std::vector<uint8_t> out(block.size() + block.size() / 16 + 64 + 3);
    lzo_uint outLen = 0;
    lzo1x_1_compress(block.data(), block.size(), out.data(), &outLen, wrkmem.data());
    out.resize(outLen);
    auto lo = [](int v) { return static_cast<uint8_t>(v & 0xFF); };
    auto hi = [](int v) { return static_cast<uint8_t>((v >> 8) & 0xFF); };
    std::vector<uint8_t> payload{s.darkness,
                                 s.cutter,
                                 lo(s.copies),
                                 hi(s.copies),
                                 lo(s.copyNumber),
                                 hi(s.copyNumber),
                                 1,
                                 lo(s.pageLines),
                                 hi(s.pageLines),
                                 lo(s.blockLines),
                                 hi(s.blockLines),
                                 lo(s.toFollow),
                                 0};
    payload.insert(payload.end(), out.begin(), out.end());
    return frame(0x1B, payload);
}

inline std::vector<uint8_t> swapped(std::span<const uint8_t> b) {
    std::vector<uint8_t> s(b.begin(), b.end());
    for (size_t k = 0; k + 1 < s.size(); k += 2)
        std::swap(s[k], s[k + 1]);
    return s;
}

// The frames of one copy of a page of rows x rowBytes bytes (top line first, unswapped).
inline std::vector<std::vector<uint8_t>> pageFrames(const std::vector<uint8_t>& page, int rowBytes,
                                                    int split, BlockSpec s) {
    std::vector<uint8_t> sw = swapped(page);
    int rows = static_cast<int>(page.size()) / rowBytes;
    int n = (rows + split - 1) / split;
    std::vector<std::vector<uint8_t>> frames;
    s.pageLines = rows;
    for (int j = 0; j < n; ++j) {
        s.blockLines = j < n - 1 ? split : rows - j * split;
        s.toFollow = (n - j - 1) & 0xFF;
        auto from = sw.begin() + static_cast<std::ptrdiff_t>(j) * split * rowBytes;
        frames.push_back(printFrame(
            s, std::span<const uint8_t>(&*from, static_cast<size_t>(s.blockLines * rowBytes))));
    }
    return frames;
}

// Random page bytes with some blank rows, from a fixed seed.
inline std::vector<uint8_t> randomPage(int rows, int rowBytes, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> p(static_cast<size_t>(rows) * rowBytes);
    for (size_t i = 0; i < p.size(); ++i)
        p[i] = (i / rowBytes) % 5 == 0 ? 0 : static_cast<uint8_t>(gen());
    return p;
}

inline std::string hex(std::span<const uint8_t> b) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t x : b) {
        s += digits[x >> 4];
        s += digits[x & 15];
    }
    return s;
}

} // namespace vt58test
