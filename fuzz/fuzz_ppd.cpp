// PPD file bytes -> the option reading -> the job fields -> a page through the pipeline
// on both heads: whatever the queue's PPD holds, the options are read without fault and
// their values, absurd or not, never take the image work outside its buffers.
#include "backend/options.h"
#include "fuzz/sandbox.h"
#include "fuzz/transport.h"
#include "image/assemble.h"
#include "image/page_data.h"
#include "link/status.h"
#include "link/transmit.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

constexpr char kPpdPath[] = "/dev/shm/fuzz.ppd";
constexpr int32_t kPageW = 300;
constexpr int32_t kPageH = 90;
constexpr int32_t kPageRowBytes = (kPageW + 7) / 8;

std::vector<uint8_t> samplePage() {
    std::vector<uint8_t> page(size_t{kPageRowBytes} * kPageH);
    for (size_t i = 0; i < page.size(); ++i) {
        page[i] = static_cast<uint8_t>(i * 131 + (i >> 5));
    }
    for (int32_t r = 0; r < kPageH; ++r) {
        page[size_t(r + 1) * kPageRowBytes - 1] &= 0xF0; // 300 mod 8 = 4 dots in the last byte
    }
    return page;
}

bool writePpd(const uint8_t* data, size_t size) {
    const int fd = open(kPpdPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool ok = true;
    while (ok && size > 0) {
        const ssize_t n = write(fd, data, size);
        ok = n > 0;
        if (ok) {
            data += n;
            size -= static_cast<size_t>(n);
        }
    }
    return close(fd) == 0 && ok;
}

// Every option as absent before the file is read, as at the start of a job.
void resetOptions() {
    rotationAngle = blackness = cutterSet = 0;
    horizontalOffset = horizontalOffsetValue = verticalOffset = verticalOffsetValue = 0;
    isDebug = 0;
    stpTemplateCM = kNoTemplate;
    stpTemplateMM = 0;
}

// As the job driver fills the record: one-byte fields take the option's low byte.
PageData jobFields() {
    PageData pd{};
    pd.copies = 1;
    pd.blackness = static_cast<uint8_t>(blackness);
    pd.rotation = static_cast<int8_t>(rotationAngle);
    pd.cutterSet = static_cast<uint8_t>(cutterSet);
    pd.xOffsetDir = horizontalOffset;
    pd.yOffsetDir = verticalOffset;
    pd.xOffsetValue = static_cast<int8_t>(horizontalOffsetValue);
    pd.yOffsetValue = static_cast<int8_t>(verticalOffsetValue);
    pd.templateCM = stpTemplateCM;
    pd.templateMM = stpTemplateMM;
    return pd;
}

void printOnHead(PageData pd, bool head300, std::vector<uint8_t>& page) {
    scriptedLink().head = head300 ? kHead300 : kHead203;
    pd.w = kPageW;
    pd.h = kPageH;
    pd.rowBytes = kPageRowBytes;
    pd.data = page.data();
    const int32_t result = numberOf(t58_Print(scriptedLink(), 0, &pd));
    if ((result != 0 && result != -1) || pd.rowBytes != scriptedLink().head.t58RowBytes ||
        pd.h < 0 || (result == 0 && pd.h > 0 && scriptedLink().work.dstData == nullptr)) {
        __builtin_trap();
    }
}

} // namespace

// libcups's PPD reader leaks a string on some malformed files (a default choice that
// names no choice); that is the library's, not the backend's.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:_ppdOpen\n";
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!enterPrivateShm()) {
        exit(1);
    }
    setenv("PPD", kPpdPath, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    clearShm();
    if (!writePpd(data, size)) {
        return 0;
    }
    resetOptions();
    getCupsParm();
    const PageData job = jobFields();
    std::vector<uint8_t> page = samplePage();
    printOnHead(job, false, page);
    printOnHead(job, true, page);
    releaseDstData(scriptedLink().work);
    return 0;
}
