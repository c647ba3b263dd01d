#include "image/assemble.h"

#include "diag/dump.h"
#include "image/offset.h"
#include "image/rotate.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr int64_t kScratch = static_cast<int64_t>(kScratchBytes);

constexpr int64_t evenHalf(int64_t difference) {
    const int64_t half = difference / 2;
    return half % 2 ? half + 1 : half;
}

std::unique_ptr<uint8_t[]> scratchPage() {
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[kScratchBytes]);
}

// A refused page leaves nothing to send: no dstData and no lines.
int refuse(PageWork& work, const HeadGeometry& head, PageData* pd, const char* why,
           const CoreLog& log) {
    log.log(LineLevel::Warn, "tarvik_backend: procData, page not printed: %s\n", why);
    releaseDstData(work);
    pd->h = 0;
    pd->w = head.t58RowBytes * 8;
    pd->rowBytes = head.t58RowBytes;
    return -1;
}

// The rotation reads h rows of (w + 7) / 8 bytes from the page and writes the turned page
// into tmpData; both must lie within their buffers.
const char* rotationRefusal(const PageData* pd) {
    const int8_t code = pd->rotation;
    if (code < 1 || code > 3) {
        return nullptr;
    }
    const int64_t w = pd->w;
    const int64_t h = pd->h;
    const int64_t rowLength = (w + 7) / 8;
    if (h > 0 && rowLength > pd->rowBytes) {
        return "rows shorter than the page's width";
    }
    const int64_t turnedW = (h + 31) / 32 * 32;
    const int64_t turnedBytes = code == 2 ? rowLength * h : turnedW / 8 * w;
    if (turnedW > INT32_MAX || turnedBytes > kScratch) {
        return "the turned page does not fit the scratch page";
    }
    return nullptr;
}

const char* geometryRefusal(const PageWork& work, const HeadGeometry& head, const PageData* pd) {
    if (!work.ready()) {
        return "no memory for the scratch pages";
    }
    if (pd->w < 0 || pd->h < 0 || pd->rowBytes < 0 || (pd->h > 0 && !pd->data)) {
        return "page geometry out of range";
    }
    if (head.t58RowBytes <= 0 || head.yDpi <= 0 || head.xDpi <= 0) {
        return "head geometry unknown";
    }
    if (pd->templateCM != kNoTemplate) {
        const int64_t lines = templateLinesOf(pd, head.yDpi);
        if (lines < 0) {
            return "template length below zero lines";
        }
        if (lines > kScratch) {
            return "template longer than the scratch page";
        }
    }
    return rotationRefusal(pd);
}

// The per-row lines of the log are gathered and handed on in blocks: the same bytes in
// the log with far fewer writes.
class RowLog {
  public:
    ~RowLog() { flush(); }
    explicit RowLog(const CoreLog& log) : log_(log) {}
    RowLog(const RowLog&) = delete;
    RowLog& operator=(const RowLog&) = delete;
    void add(int32_t h, int64_t i, int32_t rowBytes) {
        if (used_ + kLineMax > sizeof(text_)) {
            flush();
        }
        const int n = snprintf(text_ + used_, sizeof(text_) - used_,
                               "tarvik_backend: memcpy data->h = %d, i=%d, data->rowBytes=%d\n", h,
                               static_cast<int>(i), rowBytes);
        used_ += n > 0 ? static_cast<size_t>(n) : 0;
    }
    void flush() {
        log_.text(LineKind::Log, LineLevel::Debug, std::string_view(text_, used_));
        used_ = 0;
    }

  private:
    static constexpr size_t kLineMax = 128;
    const CoreLog& log_;
    char text_[16384];
    size_t used_ = 0;
};

// Every output row is T bytes: the centre of a wider row, or a narrower row centred.
void fitRows(PageWork& work, int64_t head, const PageData* pd, int64_t lines, bool logRows,
             const CoreLog& log) {
    uint8_t* dstData = work.dstData.get();
    const uint8_t* fnData = work.fnData;
    const int64_t rowBytes = pd->rowBytes;
    if (rowBytes > head) {
        const int64_t deviation = evenHalf(rowBytes - head);
        for (int64_t i = 0; i < lines; ++i) {
            memcpy(dstData + i * head, fnData + i * rowBytes + deviation, head);
        }
        return;
    }
    const int64_t deviation = evenHalf(head - rowBytes);
    log.log(LineLevel::Debug, "tarvik_backend: procData, deviation = %d\n",
            static_cast<int>(deviation));
    RowLog rowLog(log);
    for (int64_t i = 0; i < lines; ++i) {
        if (logRows) {
            rowLog.add(pd->h, i, pd->rowBytes);
        }
        memcpy(dstData + i * head + deviation, fnData + i * rowBytes, rowBytes);
    }
}

// The turn reads rows of (w + 7) / 8 bytes. Rows padded past the width are first copied
// into pdData (unused until the offsets) without their padding, and the record describes
// them so. Returns the bytes copied, 0 when nothing was to be done, -1 when they do not fit.
int64_t compactForTurn(PageData* pd, uint8_t* pdData) {
    const int64_t dotBytes = (int64_t{pd->w} + 7) / 8;
    if (pd->rotation < 1 || pd->rotation > 3 || pd->h <= 0 || pd->rowBytes <= dotBytes) {
        return 0;
    }
    const int64_t bytes = dotBytes * pd->h;
    if (bytes > kScratch) {
        return -1;
    }
    for (int64_t i = 0; i < pd->h; ++i) {
        memcpy(pdData + i * dotBytes, pd->data + i * pd->rowBytes, static_cast<size_t>(dotBytes));
    }
    pd->rowBytes = static_cast<int32_t>(dotBytes);
    return bytes;
}

} // namespace

PageWork::PageWork() : tmpData(scratchPage()), pdData(scratchPage()) {}

void releaseDstData(PageWork& work) {
    work.dstData.reset();
}

int procData(PageWork& work, const HeadGeometry& head, PageData* pd, const CoreLog& log) {
    releaseDstData(work);
    if (const char* why = geometryRefusal(work, head, pd)) {
        return refuse(work, head, pd, why, log);
    }
    uint8_t* tmpData = work.tmpData.get();
    uint8_t* pdData = work.pdData.get();
    memset(pdData, 0, kScratchBytes);
    memset(tmpData, 0, kScratchBytes);
    const uint8_t* page = pd->data;
    if (const int64_t compacted = compactForTurn(pd, pdData)) {
        page = pdData;
        if (compacted < 0) {
            return refuse(work, head, pd, "the page does not fit the scratch page", log);
        }
    }
    const bool rotated = bitmapProc(pd, page, tmpData, log) != 0;
    if (page == pdData) {
        memset(pdData, 0, kScratchBytes);
    }
    if (!rotated) {
        log.log(LineLevel::Debug, "tarvik_backend: ts58_Print, preProData = 2\n");
    }
    if (qzOffset(head, pd, rotated ? tmpData : pd->data, pdData, log) < 0) {
        return refuse(work, head, pd, "the offset page could not be made", log);
    }
    work.fnData = pdData;
    const int64_t pageBytes = int64_t{pd->h} * pd->rowBytes;
    saveImage(pdData, static_cast<uint32_t>(pageBytes), pd->w, pd->h,
              work.dumps.bmpPath("b").c_str(), work.dumps);
    const bool hasTemplate = pd->templateCM != kNoTemplate;
    const int64_t lines = hasTemplate ? templateLinesOf(pd, head.yDpi) : pd->h;
    // qzOffset extended the page to the template's length, so these rows lie in pdData.
    if (lines * (pd->rowBytes > 0 ? pd->rowBytes : 1) > kScratch) {
        return refuse(work, head, pd, "the page does not fit the scratch page", log);
    }
    const int64_t dstBytes = lines * head.t58RowBytes;
    work.dstData.reset(new (std::nothrow) uint8_t[static_cast<size_t>(dstBytes)]());
    if (!work.dstData) {
        return refuse(work, head, pd, "no memory for the head page", log);
    }
    if (!hasTemplate) {
        log.log(LineLevel::Debug, "tarvik_backend: dstData len=%d\n", static_cast<int>(dstBytes));
    }
    fitRows(work, head.t58RowBytes, pd, lines, !hasTemplate, log);
    if (hasTemplate) {
        pd->h = static_cast<int32_t>(lines);
    }
    pd->rowBytes = head.t58RowBytes;
    pd->w = head.t58RowBytes * 8;
    log.log(LineLevel::Debug, "tarvik_backend: procData end\n");
    return 0;
}
