#include "image/offset.h"

#include "image/assemble.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace {

using Buffer = std::unique_ptr<uint8_t[]>;

Buffer zeroedBuffer(int64_t bytes) {
    return Buffer(new (std::nothrow) uint8_t[static_cast<size_t>(bytes)]());
}

int32_t truncated(double v) {
    constexpr double lo = std::numeric_limits<int32_t>::min();
    constexpr double hi = std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(v < lo ? lo : (v > hi ? hi : v));
}

// Half the difference of two row lengths, made even.
constexpr int64_t evenHalf(int64_t difference) {
    const int64_t half = difference / 2;
    return half % 2 ? half + 1 : half;
}

// Offsets are sizes of 0 to 127 mm (the direction is a field of its own); a negative,
// wrapped option value is taken as no offset.
int32_t magnitude(int8_t value, const char* name, const CoreLog& log) {
    if (value >= 0) {
        return value;
    }
    log.log(LineLevel::Warn, "tarvik_backend-qzOffset: %s=%d outside 0 to 127, taken as 0\n", name,
            value);
    return 0;
}

// A move of more bytes than the row has leaves the row blank, as a move of the whole row.
int64_t withinRow(int32_t offsetBytes, int64_t rowBytes, const CoreLog& log) {
    if (offsetBytes <= rowBytes) {
        return offsetBytes;
    }
    log.log(LineLevel::Warn,
            "tarvik_backend-qzOffset: xOffsetBytes=%d beyond the row of %lld bytes, moved %lld\n",
            offsetBytes, static_cast<long long>(rowBytes), static_cast<long long>(rowBytes));
    return rowBytes;
}

// Every page the move can leave in dst must fit the scratch page; a page of no bytes per
// row still counts one byte per row, so that its row loops stay bounded.
bool fitsScratch(const HeadGeometry& head, int32_t h, int64_t rowBytes, int64_t workH, bool across,
                 const CoreLog& log) {
    const int64_t t58RowBytes = head.t58RowBytes;
    const int64_t widest = across && rowBytes < t58RowBytes ? t58RowBytes : rowBytes;
    const bool headKnown = head.xDpi > 0 && head.yDpi > 0 && t58RowBytes > 0;
    if (headKnown && h >= 0 && rowBytes >= 0 &&
        workH * (widest > 0 ? widest : 1) <= static_cast<int64_t>(kScratchBytes)) {
        return true;
    }
    log.log(LineLevel::Warn,
            "tarvik_backend-qzOffset: page of %d rows of %lld bytes (%lld rows with the template) "
            "does not fit the scratch page, not printed\n",
            h, static_cast<long long>(rowBytes), static_cast<long long>(workH));
    return false;
}

bool blankPage(const PageData* pd, int32_t yOffsetLines, int32_t templateLines,
               const CoreLog& log) {
    if (pd->templateCM != kNoTemplate) {
        log.log(LineLevel::Debug,
                "tarvik_backend-qzOffset: yOffsetLines = %d, pd->h = %d, pd->yOffsetDir=%d\n",
                yOffsetLines, templateLines, pd->yOffsetDir);
        return (yOffsetLines >= templateLines && pd->yOffsetDir == 0) ||
               (yOffsetLines >= pd->h && pd->yOffsetDir == 1);
    }
    if (yOffsetLines >= pd->h) {
        log.log(LineLevel::Debug, "tarvik_backend-qzOffset: yOffsetLines = %d, pd->h = %d\n",
                yOffsetLines, pd->h);
        return true;
    }
    return false;
}

// Rows wider than the head: moved within their own length, then their centre is kept.
Buffer moveAcrossWide(int64_t head, uint8_t* dst, int32_t h, int64_t rowBytes, int64_t workH,
                      int32_t offsetBytes, int32_t dir, const CoreLog& log) {
    log.log(LineLevel::Debug, "tarvik_backend-qzOffset: cRowBytes >= t58RowBytes\n");
    Buffer work = zeroedBuffer(workH * rowBytes);
    if (!work) {
        return work;
    }
    const int64_t deviation = evenHalf(rowBytes - head);
    const int64_t bytes = withinRow(offsetBytes, rowBytes, log);
    for (int64_t i = 0; i < h; ++i) {
        const uint8_t* from = dst + i * rowBytes;
        uint8_t* to = work.get() + i * rowBytes;
        if (dir == 0) {
            memcpy(to + bytes, from, rowBytes - bytes);
        } else {
            memcpy(to, from + bytes, rowBytes - bytes);
        }
    }
    log.log(LineLevel::Debug, "tarvik_backend-qzOffset: move complate\n");
    // All of the wider page is cleared, so nothing of it stays behind the fitted one.
    memset(dst, 0, workH * rowBytes);
    for (int64_t i = 0; i < h; ++i) {
        memcpy(dst + i * head, work.get() + i * rowBytes + deviation, head);
    }
    log.log(LineLevel::Debug, "tarvik_backend-qzOffset: delete view complate\n");
    return work;
}

// Rows narrower than the head: centred on a head-width row, then moved across it.
Buffer moveAcrossNarrow(int64_t head, uint8_t* dst, int32_t h, int64_t rowBytes, int64_t workH,
                        int32_t offsetBytes, int32_t dir, const CoreLog& log) {
    log.log(LineLevel::Debug, "tarvik_backend-qzOffset: cRowBytes < t58RowBytes\n");
    const int64_t deviation = evenHalf(head - rowBytes);
    Buffer work = zeroedBuffer(workH * head);
    if (!work) {
        return work;
    }
    for (int64_t i = 0; i < h; ++i) {
        memcpy(work.get() + i * head + deviation, dst + i * rowBytes, rowBytes);
    }
    log.log(LineLevel::Debug, "tarvik_backend-qzOffset: add view complate\n");
    memset(dst, 0, workH * head);
    const int64_t bytes = withinRow(offsetBytes, head, log);
    for (int64_t i = 0; i < h; ++i) {
        const uint8_t* from = work.get() + i * head;
        uint8_t* to = dst + i * head;
        if (dir == 0) {
            log.log(LineLevel::Debug, "tarvik_backend-qzOffset: move copy i=%d\n",
                    static_cast<int>(i));
            memcpy(to + bytes, from, head - bytes);
        } else {
            memcpy(to, from + bytes, head - bytes);
        }
    }
    log.log(LineLevel::Debug, "tarvik_backend-qzOffset: move complate\n");
    return work;
}

// Rows are contiguous on both sides, so a move of many rows is one block copy.
void moveUpDown(uint8_t* dst, const uint8_t* work, int64_t rowBytes, int64_t workSize, int32_t h,
                int64_t limit, int32_t lines, int32_t dir, const CoreLog& log) {
    memset(dst, 0, workSize);
    log.log(LineLevel::Debug, "tarvik_backend-qzOffset move up down pd->yOffsetDir ==%d\n", dir);
    if (dir == 1) {
        if (lines < h) {
            memcpy(dst, work + lines * rowBytes, (h - lines) * rowBytes);
        }
        log.log(LineLevel::Debug,
                "tarvik_backend-qzOffset up: yOffsetDir = %d, yOffsetLines = %d, h = %d\n", dir,
                lines, h);
        return;
    }
    if (lines < limit) {
        memcpy(dst + lines * rowBytes, work, (limit - lines) * rowBytes);
    }
    log.log(LineLevel::Debug,
            "tarvik_backend-qzOffset: down yOffsetDir = %d, yOffsetLines = %d, h = %d\n", dir,
            lines, h);
}

int noWorkingCopy(uint8_t* dst, int64_t workSize, const CoreLog& log) {
    log.log(LineLevel::Error,
            "tarvik_backend-qzOffset: no memory for the working copy, not printed\n");
    memset(dst, 0, workSize);
    return -1;
}

} // namespace

int64_t templateLinesOf(const PageData* pd, int32_t yDpi) {
    const int64_t mm = int64_t{pd->templateCM} * 10 + pd->templateMM;
    return static_cast<int64_t>(static_cast<double>(mm) * yDpi / 25.4);
}

int qzOffset(const HeadGeometry& head, PageData* pd, const uint8_t* src, uint8_t* dst,
             const CoreLog& log) {
    const int32_t xDpi = head.xDpi;
    const int32_t yDpi = head.yDpi;
    const int32_t t58RowBytes = head.t58RowBytes;
    log.log(LineLevel::Debug, "tarvik_backend-qzOffset: qzOffset\n");
    const int32_t xValue = magnitude(pd->xOffsetValue, "xOffsetValue", log);
    const int32_t yValue = magnitude(pd->yOffsetValue, "yOffsetValue", log);
    const int32_t xOffsetBytes =
        truncated((static_cast<double>(int64_t{xValue} * xDpi) / 25.4 + 7.0) / 8.0);
    const int32_t yOffsetLines = truncated(static_cast<double>(int64_t{yValue} * yDpi) / 25.4);
    const int32_t h = pd->h;
    int64_t rowBytes = pd->rowBytes;
    const bool hasTemplate = pd->templateCM != kNoTemplate;
    int32_t templateLines = 0;
    int64_t workH = h;
    if (hasTemplate) {
        templateLines = truncated(static_cast<double>(templateLinesOf(pd, yDpi)));
        log.log(LineLevel::Debug, "tarvik_backend-qzOffset: templateLines=%d, h=%d\n",
                templateLines, h);
        workH = templateLines > h ? templateLines : h;
    }
    if (!fitsScratch(head, h, rowBytes, workH, xValue != 0, log)) {
        return -1;
    }
    const int64_t pageSize = h * rowBytes;
    int64_t workSize = workH * rowBytes;
    if (pageSize > 0) {
        memcpy(dst, src, pageSize);
    }
    memset(dst + pageSize, 0, workSize - pageSize);
    if (blankPage(pd, yOffsetLines, templateLines, log)) {
        memset(dst, 0, workSize);
        return 1;
    }
    if (xValue == 0 && yValue == 0) {
        return 3;
    }
    // The working copy is taken only when a move needs it; it goes on every return.
    Buffer work;
    int result = 3;
    if (xValue != 0) {
        work = rowBytes >= t58RowBytes ? moveAcrossWide(t58RowBytes, dst, h, rowBytes, workH,
                                                        xOffsetBytes, pd->xOffsetDir, log)
                                       : moveAcrossNarrow(t58RowBytes, dst, h, rowBytes, workH,
                                                          xOffsetBytes, pd->xOffsetDir, log);
        if (!work) {
            return noWorkingCopy(dst, workSize, log);
        }
        pd->w = t58RowBytes * 8;
        pd->rowBytes = t58RowBytes;
        rowBytes = t58RowBytes;
        workSize = workH * rowBytes;
        result = 1;
    }
    if (yValue != 0) {
        if (!work) {
            work = zeroedBuffer(workSize);
        }
        if (!work) {
            return noWorkingCopy(dst, workSize, log);
        }
        memcpy(work.get(), dst, workSize);
        const int64_t limit = hasTemplate && templateLines > h ? templateLines : h;
        moveUpDown(dst, work.get(), rowBytes, workSize, h, limit, yOffsetLines, pd->yOffsetDir,
                   log);
        result = 2;
    }
    return result;
}
