// Page transmission: every copy of the page as LZO1X-1 compressed print-data frames.
#include "link/transmit.h"

#include "diag/dump.h"
#include "image/assemble.h"
#include "link/status.h"

#include <lzo/lzo1x.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kFrameStart = 0x66;
constexpr uint8_t kPrintDataCommand = 0x1B;
constexpr int32_t kBlockHeaderOffset = 4;
constexpr int32_t kDataOffset = 17;
constexpr int32_t kFrameOverhead = 18;
constexpr int kMaxSends = 10;

// Worst-case LZO1X-1 output for n input bytes.
constexpr int32_t lzoBound(int32_t n) {
    return n + n / 16 + 64 + 3;
}

// Both heads give blocks of 1728 bytes; the frame must hold the worst-case output.
static_assert(kFrameOverhead + lzoBound(1728) <= kSendBuffSize);
static_assert(kWrkmemSize >= static_cast<int32_t>(LZO1X_1_MEM_COMPRESS));
// T58Link::wrkmem is aligned to 16 bytes.
static_assert(alignof(lzo_align_t) <= 16);

// Why a copy stopped early; Done lets the next copy follow.
enum class CopyEnd { Done, PageEnds, LinkFailed, FreeFailed, CompressFailed, Cancelled };

bool lzoReady() {
    static const bool bReady = lzo_init() == LZO_E_OK;
    return bReady;
}

void putLE16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

// The head geometry always gives 1728-byte blocks; anything else would not fit the frame.
bool geometryFits(const HeadGeometry& head) {
    const int32_t t58SplitRows = head.t58SplitRows;
    const int32_t t58RowBytes = head.t58RowBytes;
    return t58SplitRows > 0 && t58RowBytes > 0 &&
           t58SplitRows <= (kSendBuffSize - kFrameOverhead) / t58RowBytes &&
           kFrameOverhead + lzoBound(t58SplitRows * t58RowBytes) <= kSendBuffSize;
}

void swapPage(uint8_t* data, int32_t words) {
    for (int32_t i = 0; i < words; ++i) {
        uint16_t w;
        std::memcpy(&w, data + 2 * i, sizeof(w));
        w = bswap_16(w);
        std::memcpy(data + 2 * i, &w, sizeof(w));
    }
}

void fillBlockHeader(T58Link& link, const PageData* pd, int32_t copyNo, int32_t lines,
                     int32_t follow) {
    uint8_t* pData1b = link.pData1b;
    pData1b[0] = static_cast<uint8_t>(0xE0 | (pd->blackness & 0x1F));
    pData1b[1] = static_cast<uint8_t>(pd->cutterSet & 7);
    putLE16(pData1b + 2, static_cast<uint32_t>(pd->copies));
    putLE16(pData1b + 4, static_cast<uint32_t>(copyNo));
    pData1b[6] = 1;
    putLE16(pData1b + 7, static_cast<uint32_t>(pd->h));
    putLE16(pData1b + 9, static_cast<uint32_t>(lines));
    pData1b[11] = static_cast<uint8_t>(follow & 0xFF);
    pData1b[12] = 0;
}

// Compresses one block into the frame and closes it; the frame length, or 0 on failure.
int32_t buildFrame(T58Link& link, const uint8_t* block, int32_t bytes) {
    lzo_uint packed = 0;
    if (!lzoReady() ||
        lzo1x_1_compress(block, static_cast<lzo_uint>(bytes), link.sendBuff + kDataOffset, &packed,
                         link.wrkmem) != LZO_E_OK) {
        return 0;
    }
    uint8_t* pHeader = link.pHeader;
    const auto frameLen = static_cast<uint16_t>(packed + kFrameOverhead);
    putLE16(pHeader + 1, frameLen);
    pHeader[frameLen - 1] = GetCheckSum(pHeader, frameLen - 1);
    return frameLen;
}

// Sends the frame until the printer takes it (at most kMaxSends times) and acts on the reply.
CopyEnd sendFrame(T58Link& link, int32_t frameLen) {
    for (int sends = 1;; ++sends) {
        int32_t moved = 0;
        if (usbWrite(link, link.sendBuff, frameLen, &moved) != 0 || moved < frameLen) {
            return CopyEnd::LinkFailed;
        }
        if (usbReadReply(link, &moved) != 0 || moved < kMinReplyBytes) {
            return CopyEnd::LinkFailed;
        }
        const T58Status reply = decodeStatus(link.recvBuff);
        link.lastStatus = reply;
        if (reply.stopsPage()) {
            return CopyEnd::PageEnds;
        }
        if (reply.bRefused) {
            if (t58IsFree(link) != 0) {
                return CopyEnd::FreeFailed;
            }
            if (sends < kMaxSends) {
                continue;
            }
            return CopyEnd::Done; // given up: the next block follows
        }
        if (reply.notReady != 0 && t58IsFree(link) != 0) {
            return CopyEnd::FreeFailed;
        }
        return CopyEnd::Done;
    }
}

CopyEnd sendCopy(T58Link& link, const PageData* pd, int32_t copyNo, int32_t lines, int32_t blocks) {
    const int32_t t58SplitRows = link.head.t58SplitRows;
    const int32_t t58RowBytes = link.head.t58RowBytes;
    const int32_t blockBytes = t58SplitRows * t58RowBytes;
    const uint8_t* dstData = link.work.dstData.get();
    for (int32_t j = 0; j < blocks; ++j) {
        if (link.bStopAtBlocks && link.cancelled()) {
            return CopyEnd::Cancelled;
        }
        const int32_t blockLines = (j == blocks - 1) ? lines - j * t58SplitRows : t58SplitRows;
        fillBlockHeader(link, pd, copyNo, blockLines, blocks - j - 1);
        const int32_t frameLen =
            buildFrame(link, dstData + j * blockBytes, blockLines * t58RowBytes);
        if (frameLen == 0) {
            return CopyEnd::CompressFailed;
        }
        const CopyEnd end = sendFrame(link, frameLen);
        if (end != CopyEnd::Done) {
            return end;
        }
    }
    return CopyEnd::Done;
}

PrintResult resultOf(CopyEnd end) {
    switch (end) {
    case CopyEnd::LinkFailed:
        return PrintResult::LinkFailed;
    case CopyEnd::FreeFailed:
        return PrintResult::NotFree;
    case CopyEnd::CompressFailed:
        return PrintResult::CompressFailed;
    default:
        return PrintResult::Printed;
    }
}

void startFrame(T58Link& link) {
    std::memset(link.sendBuff, 0, 32);
    link.pHeader = link.sendBuff;
    link.pHeader[0] = kFrameStart;
    link.pHeader[3] = kPrintDataCommand;
    link.pData1b = link.sendBuff + kBlockHeaderOffset;
}

} // namespace

uint16_t bswap_16(uint16_t v) {
    return static_cast<uint16_t>((v << 8) | (v >> 8));
}

PrintResult t58_Print(T58Link& link, int32_t copies, PageData* pd) {
    link.copiesSent = 0;
    link.lastStatus = {};
    startFrame(link);
    if (procData(link.work, link.head, pd, link.log) != 0) {
        return PrintResult::Refused; // nothing to send
    }
    // A page of no lines (or, from bad options, fewer) sends no block.
    const int32_t lines = pd->h > 0 ? pd->h : 0;
    const uint32_t pageBytes =
        static_cast<uint32_t>(lines) * static_cast<uint32_t>(link.head.t58RowBytes);
    uint8_t* dstData = link.work.dstData.get();
    if (dstData == nullptr && pageBytes != 0) {
        return PrintResult::Refused;
    }
    saveImage(dstData, pageBytes, pd->w, pd->h, link.work.dumps.bmpPath("c").c_str(),
              link.work.dumps);
    if (!geometryFits(link.head)) {
        return PrintResult::CompressFailed;
    }
    const int32_t t58SplitRows = link.head.t58SplitRows;
    const int32_t blocks = (lines + t58SplitRows - 1) / t58SplitRows;
    swapPage(dstData, static_cast<int32_t>(pageBytes / 2));
    for (int32_t c = std::max(link.firstCopy, 0); c < copies; ++c) {
        if ((link.bStopAtBlocks && link.cancelled()) ||
            (link.stopBeforeCopy && link.stopBeforeCopy())) {
            return PrintResult::Printed;
        }
        switch (waitT58IsOK(link)) {
        case ReadyResult::PageStopped:
            return PrintResult::StoppedAtPrinter;
        case ReadyResult::Failed:
            continue; // this copy is skipped; the next one waits again
        case ReadyResult::Ready:
            break;
        }
        const CopyEnd end = sendCopy(link, pd, c + 1, lines, blocks);
        if (end == CopyEnd::Done) {
            ++link.copiesSent;
            if (link.copyDone) {
                link.copyDone(c + 1);
            }
            continue;
        }
        return resultOf(end);
    }
    return PrintResult::Printed;
}
