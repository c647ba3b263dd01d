#include "image/rotate.h"

#include <array>
#include <cstdio>

namespace {

constexpr std::array<uint8_t, 256> kReversed = [] {
    std::array<uint8_t, 256> table{};
    for (int v = 0; v < 256; ++v) {
        int r = 0;
        for (int b = 0; b < 8; ++b) {
            if (v & (1 << b)) {
                r |= 0x80 >> b;
            }
        }
        table[v] = static_cast<uint8_t>(r);
    }
    return table;
}();

constexpr int64_t rowLength(int32_t dots) {
    return (int64_t{dots} + 7) / 8;
}

// The reference rule: every set dot is moved on its own; dots that land outside the
// destination are dropped.
void rotateDots(int32_t srcW, int32_t srcH, const uint8_t* src, int32_t dstW, int32_t dstH,
                uint8_t* dst, int8_t code) {
    const int64_t s = rowLength(srcW);
    const int64_t d = rowLength(dstW);
    for (int64_t y = 0; y < srcH; ++y) {
        for (int64_t j = 0; j < s; ++j) {
            const uint8_t byte = src[y * s + j];
            if (byte == 0) {
                continue;
            }
            for (int k = 0; k < 8; ++k) {
                if (!(byte & (0x80 >> k))) {
                    continue;
                }
                const int64_t x = 8 * j + k;
                int64_t c = y;
                int64_t r = dstH - 1 - x;
                if (code == 2) {
                    c = dstW - 1 - x;
                    r = dstH - 1 - y;
                } else if (code == 3) {
                    c = dstW - 1 - y;
                    r = x;
                }
                if (c < 0 || c >= dstW || r < 0 || r >= dstH) {
                    continue;
                }
                dst[r * d + c / 8] |= static_cast<uint8_t>(0x80 >> (c % 8));
            }
        }
    }
}

// Transposes an 8 x 8 bit matrix: row t in byte 7 - t of the word, column 0 the most
// significant bit of each byte.
constexpr uint64_t transpose8(uint64_t x) {
    x = (x & 0xAA55AA55AA55AA55ULL) | ((x & 0x00AA00AA00AA00AAULL) << 7) |
        ((x >> 7) & 0x00AA00AA00AA00AAULL);
    x = (x & 0xCCCC3333CCCC3333ULL) | ((x & 0x0000CCCC0000CCCCULL) << 14) |
        ((x >> 14) & 0x0000CCCC0000CCCCULL);
    x = (x & 0xF0F0F0F00F0F0F0FULL) | ((x & 0x00000000F0F0F0F0ULL) << 28) |
        ((x >> 28) & 0x00000000F0F0F0F0ULL);
    return x;
}

// Quarter turns in 8 x 8 blocks: eight source rows of one byte become eight destination
// rows of one byte. Gives the same dots as rotateDots; code 3 needs dstW a multiple of 8
// so that a block lands in one destination byte.
void quarterTurnBlocks(int32_t srcW, int32_t srcH, const uint8_t* src, int32_t dstW, int32_t dstH,
                       uint8_t* dst, int8_t code) {
    const int64_t s = rowLength(srcW);
    const int64_t d = rowLength(dstW);
    // Source rows at or past dstW would land outside the destination's columns.
    const int64_t rows = srcH < dstW ? srcH : dstW;
    for (int64_t y0 = 0; y0 < rows; y0 += 8) {
        const int64_t inBlock = rows - y0 < 8 ? rows - y0 : 8;
        const int64_t colByte = code == 1 ? y0 / 8 : d - 1 - y0 / 8;
        for (int64_t j = 0; j < s && 8 * j < dstH; ++j) {
            uint64_t block = 0;
            for (int64_t t = 0; t < inBlock; ++t) {
                block |= uint64_t{src[(y0 + t) * s + j]} << (56 - 8 * t);
            }
            if (block == 0) {
                continue;
            }
            block = transpose8(block);
            for (int64_t k = 0; k < 8 && 8 * j + k < dstH; ++k) {
                const auto column = static_cast<uint8_t>(block >> (56 - 8 * k));
                const int64_t x = 8 * j + k;
                if (code == 1) {
                    dst[(dstH - 1 - x) * d + colByte] |= column;
                } else {
                    dst[x * d + colByte] |= kReversed[column];
                }
            }
        }
    }
}

// Half turn row by row: the row read backwards with each byte's bits reversed, shifted
// by the padding dots of the last byte. Needs equal source and destination row lengths.
void halfTurnRows(int32_t srcW, int32_t srcH, const uint8_t* src, int32_t dstW, int32_t dstH,
                  uint8_t* dst) {
    const int64_t s = rowLength(srcW);
    const int64_t shift = 8 * s - dstW;
    const int64_t rows = srcH < dstH ? srcH : dstH;
    for (int64_t y = 0; y < rows; ++y) {
        const uint8_t* in = src + y * s;
        uint8_t* out = dst + (dstH - 1 - y) * s;
        for (int64_t i = 0; i < s; ++i) {
            const unsigned hi = kReversed[in[s - 1 - i]];
            const unsigned lo = i + 1 < s ? kReversed[in[s - 2 - i]] : 0;
            out[i] |= static_cast<uint8_t>((hi << shift) | (lo >> (8 - shift)));
        }
    }
}

int64_t roundUp32(int32_t h) {
    const int64_t rest = ((int64_t{h} % 32) + 32) % 32;
    return rest == 0 ? h : int64_t{h} + 32 - rest;
}

} // namespace

void qzRotateData(int32_t srcW, int32_t srcH, const uint8_t* src, int32_t dstW, int32_t dstH,
                  uint8_t* dst, int8_t code) {
    const bool wholeBytes = dstW % 8 == 0;
    if (code == 1 || (code == 3 && wholeBytes)) {
        quarterTurnBlocks(srcW, srcH, src, dstW, dstH, dst, code);
    } else if (code == 2 && srcW > 0 && dstW > 0 && rowLength(srcW) == rowLength(dstW)) {
        halfTurnRows(srcW, srcH, src, dstW, dstH, dst);
    } else if (code == 2 || code == 3) {
        rotateDots(srcW, srcH, src, dstW, dstH, dst, code);
    }
}

int bitmapProc(PageData* pd, const uint8_t* src, uint8_t* dst) {
    const int8_t code = pd->rotation;
    fprintf(stderr, "tarvik_backend-bitmapProc begin: rotation=%d,pd->w=%d,pd->h=%d\n", code, pd->w,
            pd->h);
    int result = 0;
    if (code == 1 || code == 3) {
        const int32_t oldW = pd->w;
        const auto turnedW = static_cast<int32_t>(roundUp32(pd->h));
        qzRotateData(oldW, pd->h, src, turnedW, oldW, dst, code);
        pd->w = turnedW;
        pd->h = oldW;
        pd->rowBytes = static_cast<int32_t>(rowLength(turnedW));
        result = 1;
    } else if (code == 2) {
        qzRotateData(pd->w, pd->h, src, pd->w, pd->h, dst, code);
        result = 1;
    }
    fprintf(stderr, "tarvik_backend-bitmapProc end: rotation=%d,pd->w=%d,pd->h=%d\n", code, pd->w,
            pd->h);
    return result;
}
