#include "image/rotate.h"

#include <array>
#include <bit>
#include <cstdio>
#include <cstring>

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

// The eight rows of one source byte column from row y0 on, row t in byte 7 - t; rows at
// or past `rows` count as blank.
uint64_t sourceBlock(const uint8_t* src, int64_t s, int64_t rows, int64_t y0, int64_t j) {
    uint64_t block = 0;
    for (int64_t t = 0; t < 8 && y0 + t < rows; ++t) {
        block |= uint64_t{src[(y0 + t) * s + j]} << (56 - 8 * t);
    }
    return block;
}

// Destination byte of the turned dot column k of a block: code 1 keeps the bit order,
// code 3 reverses it (its columns run from the right).
uint8_t turnedByte(uint64_t transposed, int64_t k, int8_t code) {
    const auto column = static_cast<uint8_t>(transposed >> (56 - 8 * k));
    return code == 1 ? column : kReversed[column];
}

int64_t turnedRow(int64_t x, int32_t dstH, int8_t code) {
    return code == 1 ? dstH - 1 - x : x;
}

// One 8 x 8 block, with every bound checked.
void turnBlock(const uint8_t* src, int64_t s, int64_t rows, int64_t y0, int64_t j, uint8_t* dst,
               int64_t d, int32_t dstH, int8_t code) {
    const uint64_t block = sourceBlock(src, s, rows, y0, j);
    if (block == 0) {
        return;
    }
    const uint64_t transposed = transpose8(block);
    const int64_t colByte = code == 1 ? y0 / 8 : d - 1 - y0 / 8;
    for (int64_t k = 0; k < 8 && 8 * j + k < dstH; ++k) {
        dst[turnedRow(8 * j + k, dstH, code) * d + colByte] |= turnedByte(transposed, k, code);
    }
}

// Eight bytes as one word, the first byte the most significant.
uint64_t loadBig(const uint8_t* at) {
    uint64_t word;
    memcpy(&word, at, sizeof(word));
    if constexpr (std::endian::native == std::endian::little) {
        word = __builtin_bswap64(word);
    }
    return word;
}

void orBig(uint8_t* at, uint64_t word) {
    if constexpr (std::endian::native == std::endian::little) {
        word = __builtin_bswap64(word);
    }
    uint64_t old;
    memcpy(&old, at, sizeof(old));
    old |= word;
    memcpy(at, &old, sizeof(old));
}

uint64_t reversed64(uint64_t x) {
    x = ((x >> 1) & 0x5555555555555555ULL) | ((x & 0x5555555555555555ULL) << 1);
    x = ((x >> 2) & 0x3333333333333333ULL) | ((x & 0x3333333333333333ULL) << 2);
    x = ((x >> 4) & 0x0F0F0F0F0F0F0F0FULL) | ((x & 0x0F0F0F0F0F0F0F0FULL) << 4);
    return __builtin_bswap64(x);
}

// One round of the 64 x 64 transpose: the off-diagonal blocks of J x J bits swap.
template <int J, uint64_t Mask> void swapBlocks(uint64_t (&m)[64]) {
    for (int base = 0; base < 64; base += 2 * J) {
        for (int k = base; k < base + J; ++k) {
            const uint64_t t = (m[k] ^ (m[k + J] >> J)) & Mask;
            m[k] ^= t;
            m[k + J] ^= t << J;
        }
    }
}

// Transposes a 64 x 64 bit matrix in place: row i in m[i], column 0 its most
// significant bit.
void transpose64(uint64_t (&m)[64]) {
    swapBlocks<32, 0x00000000FFFFFFFFULL>(m);
    swapBlocks<16, 0x0000FFFF0000FFFFULL>(m);
    swapBlocks<8, 0x00FF00FF00FF00FFULL>(m);
    swapBlocks<4, 0x0F0F0F0F0F0F0F0FULL>(m);
    swapBlocks<2, 0x3333333333333333ULL>(m);
    swapBlocks<1, 0x5555555555555555ULL>(m);
}

// 64 source rows of 8 bytes, all inside the source and the destination, turned as one
// 64 x 64 bit matrix: each turned row gets 8 bytes at once.
template <int8_t kCode>
void turnTile(const uint8_t* src, int64_t s, int64_t y0, int64_t j, uint8_t* dst, int64_t d,
              int32_t dstH) {
    uint64_t m[64];
    uint64_t any = 0;
    for (int i = 0; i < 64; ++i) {
        m[i] = loadBig(src + (y0 + i) * s + j);
        any |= m[i];
    }
    if (any == 0) {
        return;
    }
    transpose64(m);
    // Code 1 puts source row y at column y; code 3 at column dstW - 1 - y, reversed.
    const int64_t firstByte = kCode == 1 ? y0 / 8 : d - 8 - y0 / 8;
    for (int k = 0; k < 64; ++k) {
        const uint64_t word = kCode == 1 ? m[k] : reversed64(m[k]);
        orBig(dst + turnedRow(8 * j + k, dstH, kCode) * d + firstByte, word);
    }
}

// Quarter turns in tiles of 64 x 64 dots, and in 8 x 8 blocks along the edges; gives
// the same dots as rotateDots. Code 3 needs dstW a multiple of 8 so that a block lands in one
// destination byte.
void quarterTurnBlocks(int32_t srcW, int32_t srcH, const uint8_t* src, int32_t dstW, int32_t dstH,
                       uint8_t* dst, int8_t code) {
    const int64_t s = rowLength(srcW);
    const int64_t d = rowLength(dstW);
    // Source rows at or past dstW would land outside the destination's columns.
    const int64_t rows = srcH < dstW ? srcH : dstW;
    for (int64_t y0 = 0; y0 < rows; y0 += 64) {
        const bool tileRows = y0 + 64 <= rows;
        for (int64_t j = 0; j < s && 8 * j < dstH; j += 8) {
            if (tileRows && j + 8 <= s && 8 * j + 64 <= dstH) {
                if (code == 1) {
                    turnTile<1>(src, s, y0, j, dst, d, dstH);
                } else {
                    turnTile<3>(src, s, y0, j, dst, d, dstH);
                }
                continue;
            }
            for (int64_t jj = j; jj < j + 8 && jj < s && 8 * jj < dstH; ++jj) {
                for (int64_t y = y0; y < y0 + 64 && y < rows; y += 8) {
                    turnBlock(src, s, rows, y, jj, dst, d, dstH, code);
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

int bitmapProc(PageData* pd, const uint8_t* src, uint8_t* dst, const CoreLog& log) {
    const int8_t code = pd->rotation;
    log.log(LineLevel::Debug, "tarvik_backend-bitmapProc begin: rotation=%d,pd->w=%d,pd->h=%d\n",
            code, pd->w, pd->h);
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
    log.log(LineLevel::Debug, "tarvik_backend-bitmapProc end: rotation=%d,pd->w=%d,pd->h=%d\n",
            code, pd->w, pd->h);
    return result;
}
