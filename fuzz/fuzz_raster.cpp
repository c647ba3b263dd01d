// Raster spool bytes -> pages -> the whole image pipeline. The first bytes of the input
// choose the print head and the job's options; the rest is the spool file, read with
// libcups's raster reader as the job driver reads it, and every page goes through
// t58_Print with no copies: assembly (rotation, offsets, fitting), both dumps, byte swap.
#include "fuzz/sandbox.h"
#include "fuzz/transport.h"
#include "image/assemble.h"
#include "image/page_data.h"
#include "link/status.h"
#include "link/transmit.h"

#include <cups/raster.h>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr size_t kOptionBytes = 12;
constexpr int kMaxPages = 4;
// The job driver refuses pages of more than 64 MiB before any read. Here the bound is
// lower, for speed: the image work refuses any page whose scratch copies pass 2 MiB, so
// larger pages reach it only as rows padded far beyond their width, which 8 MiB covers.
constexpr uint64_t kMaxPageBytes = 8u * 1024 * 1024;

int spoolFd = -1;

int32_t le32(const uint8_t* p) {
    return static_cast<int32_t>(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                                uint32_t{p[3]} << 24);
}

void setHead(uint8_t type) {
    const bool head300 = (type & 1) != 0;
    scriptedLink().head = head300 ? kHead300 : kHead203;
}

// The job fields as the driver fills them from the options (low bytes where the record
// has one byte).
PageData jobFields(const uint8_t* opt) {
    PageData pd{};
    pd.rotation = static_cast<int8_t>(opt[1]);
    pd.xOffsetValue = static_cast<int8_t>(opt[2]);
    pd.yOffsetValue = static_cast<int8_t>(opt[3]);
    pd.xOffsetDir = static_cast<int8_t>(opt[4]);
    pd.yOffsetDir = static_cast<int8_t>(opt[5]);
    const uint8_t selector = opt[6];
    pd.templateCM = kNoTemplate;
    if (selector & 1) {
        pd.templateCM = (selector & 2) ? le32(opt + 7) : static_cast<int8_t>(opt[7]);
    }
    pd.templateMM = static_cast<int8_t>(opt[11]);
    return pd;
}

bool writeSpool(const uint8_t* data, size_t size) {
    if (ftruncate(spoolFd, 0) != 0 || lseek(spoolFd, 0, SEEK_SET) != 0) {
        return false;
    }
    while (size > 0) {
        const ssize_t n = write(spoolFd, data, size);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return lseek(spoolFd, 0, SEEK_SET) == 0;
}

// What the driver guarantees of a page it hands on: rows at least (w + 7) / 8 bytes, the
// whole page within its bound, in a buffer of 1.2 times the page, bits past w cleared.
bool pageAcceptable(const cups_page_header2_t& header, uint64_t* pageLen) {
    *pageLen = uint64_t{header.cupsBytesPerLine} * header.cupsHeight;
    return header.cupsBytesPerLine >= (uint64_t{header.cupsWidth} + 7) / 8 &&
           *pageLen <= kMaxPageBytes;
}

void maskLastBytes(uint8_t* buf, const cups_page_header2_t& header) {
    static constexpr uint8_t kMask[8] = {0xFF, 0x80, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC, 0xFE};
    if (header.cupsWidth % 8 == 0) {
        return;
    }
    for (uint32_t r = 0; r < header.cupsHeight; ++r) {
        buf[size_t{r + 1} * header.cupsBytesPerLine - 1] &= kMask[header.cupsWidth % 8];
    }
}

off_t sizeOf(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 ? st.st_size : -1;
}

// What every page that was not refused must leave behind.
void checkPage(const PageData& pd, int32_t result) {
    if (result != 0 && result != -1 && result != 3) {
        __builtin_trap();
    }
    if (pd.rowBytes != scriptedLink().head.t58RowBytes ||
        pd.w != scriptedLink().head.t58RowBytes * 8 || pd.h < 0) {
        __builtin_trap();
    }
    if (result != 0) {
        return;
    }
    if (pd.h > 0 && scriptedLink().work.dstData == nullptr) {
        __builtin_trap();
    }
    const off_t expected = 62 + off_t{pd.h} * scriptedLink().head.t58RowBytes;
    if (sizeOf("/dev/shm/c.bmp") != expected || sizeOf("/dev/shm/b.bmp") < 62) {
        __builtin_trap();
    }
}

void printPages(cups_raster_t* ras, const PageData& job) {
    std::unique_ptr<uint8_t[]> buf;
    size_t capacity = 0;
    cups_page_header2_t header{};
    for (int page = 0; page < kMaxPages && cupsRasterReadHeader2(ras, &header); ++page) {
        uint64_t pageLen = 0;
        if (!pageAcceptable(header, &pageLen)) {
            return;
        }
        // Exactly the page, not the driver's 1.2 times, so that a read past it is caught.
        const size_t want = pageLen > 0 ? pageLen : 1;
        if (capacity < pageLen || !buf) {
            buf.reset(new (std::nothrow) uint8_t[want]);
            capacity = buf ? want : 0;
            if (!buf) {
                return;
            }
        }
        memset(buf.get(), 0, capacity);
        if (pageLen > 0 &&
            cupsRasterReadPixels(ras, buf.get(), static_cast<unsigned>(pageLen)) == 0) {
            return;
        }
        maskLastBytes(buf.get(), header);
        PageData pd = job;
        pd.w = static_cast<int32_t>(header.cupsWidth);
        pd.h = static_cast<int32_t>(header.cupsHeight);
        pd.rowBytes = static_cast<int32_t>(header.cupsBytesPerLine);
        pd.data = buf.get();
        checkPage(pd, numberOf(t58_Print(scriptedLink(), 0, &pd)));
        header = {};
    }
}

} // namespace

// A raster header may name rows of up to 4 GiB, for which libcups allocates (and clears) a
// line buffer before the backend sees the header. Under the sanitizers such allocations
// fail instead, as they would where memory is short, so the fuzzer's time goes to inputs
// the backend's own code works on. The backend itself allocates at most a few MiB here, libFuzzer
// some 20 MiB.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1:max_allocation_size_mb=64";
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!enterPrivateShm()) {
        exit(1);
    }
    spoolFd = memfd_create("ras-d00001-001", MFD_CLOEXEC);
    if (spoolFd < 0) {
        exit(1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kOptionBytes || !writeSpool(data + kOptionBytes, size - kOptionBytes)) {
        return 0;
    }
    clearShm();
    setHead(data[0]);
    const PageData job = jobFields(data);
    if (cups_raster_t* ras = cupsRasterOpen(spoolFd, CUPS_RASTER_READ)) {
        printPages(ras, job);
        cupsRasterClose(ras);
    }
    releaseDstData(scriptedLink().work);
    return 0;
}
