// Printer replies -> the status procedures and the transmission loop. The input's first
// bytes give the job (copies, page length, darkness, cutter); the rest scripts every
// transfer: its outcome, its length and the reply's status bytes (see transport.cpp).
// The head query runs first, as at every link open, then t58_Print sends the page.
#include "fuzz/sandbox.h"
#include "fuzz/transport.h"
#include "image/page_data.h"
#include "link/status.h"
#include "link/transmit.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

constexpr size_t kJobBytes = 6;

// A head-wide page with blank rows, dotted rows and a ruler, so that blocks differ.
std::vector<uint8_t> makePage(int32_t lines, uint8_t seed, int32_t t58RowBytes) {
    std::vector<uint8_t> page(static_cast<size_t>(lines) * t58RowBytes);
    for (int32_t y = 0; y < lines; ++y) {
        uint8_t* row = page.data() + static_cast<size_t>(y) * t58RowBytes;
        if ((y + seed) % 5 == 0) {
            continue;
        }
        for (int32_t x = 0; x < t58RowBytes; ++x) {
            row[x] = static_cast<uint8_t>((x * 7 + y * 3 + seed) & ((y % 3) ? 0xFF : 0x81));
        }
    }
    return page;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!enterPrivateShm()) {
        exit(1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kJobBytes) {
        return 0;
    }
    clearShm();
    T58Link& link = scriptedLink();
    link.head = kHead300;
    ScriptJob job;
    job.copies = data[0] & 3;
    job.blackness = data[3];
    job.cutterSet = data[4];
    const int32_t lines = data[1] | ((data[2] & 0x1F) << 8);
    scriptStart(data + kJobBytes, size - kJobBytes, job);
    if (getDot_T58(link) != 0) {
        return 0;
    }
    const int32_t t58RowBytes = link.head.t58RowBytes;
    std::vector<uint8_t> page = makePage(lines, data[5], t58RowBytes);
    PageData pd{};
    pd.w = t58RowBytes * 8;
    pd.h = lines;
    pd.rowBytes = t58RowBytes;
    pd.copies = job.copies;
    pd.blackness = job.blackness;
    pd.cutterSet = job.cutterSet;
    pd.templateCM = kNoTemplate;
    pd.data = page.data();
    const int32_t result = numberOf(t58_Print(link, job.copies, &pd));
    scriptCheckPrint(result, link.work.dstData.get(), pd.h, t58RowBytes);
    releaseDstData(link.work);
    return 0;
}
