#include "backend/job.h"

#include "backend/cancel.h"
#include "backend/discovery.h"
#include "backend/options.h"
#include "backend/printer.h"
#include "backend/spool_path.h"
#include "diag/nofollow.h"
#include "image/page_data.h"
#include "image/page_rules.h"
#include "link/device_uri.h"

#include <cups/raster.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>

namespace {

constexpr int kSpoolPolls = 200;
constexpr useconds_t kSpoolPollUs = 100000;
constexpr off_t kSpoolMinBytes = 15;
constexpr int kRasterOpenRetries = 5;
constexpr int kEmptyReadRestarts = 200;
constexpr int kLinkRetrySeconds = 3;
constexpr size_t kSkipChunk = 65536;

struct RasterCloser {
    void operator()(cups_raster_t* ras) const { cupsRasterClose(ras); }
};
using RasterStream = std::unique_ptr<cups_raster_t, RasterCloser>;

// One pass over the spool file: its descriptor, stream and page buffer.
struct Pass {
    int fd = -1;
    RasterStream ras;
    std::unique_ptr<uint8_t[]> pBuf;
    size_t capacity = 0;

    void close() {
        pBuf.reset();
        capacity = 0;
        ras.reset();
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
};

struct Job {
    PageData* pd = nullptr;
    std::unique_ptr<JobPrinter> printer;
    char tmpfile[kSpoolPathMax] = {};
    // The end line's result: the last page's print result, or kJobFailed.
    int32_t result = 0;
    int lastFd = -1;
    int waitRasterTime = 0;
    // Pages read whole in earlier passes; a new pass skips them so no label prints twice.
    int pagesDone = 0;
    bool spoolOpened = false;
};

enum class PassEnd { Finished, Restart, Failed };

// The job's raster could not be read, or no memory for its page.
constexpr int32_t kJobFailed = -1;

void redirectLog() {
    char logPath[128];
    snprintf(logPath, sizeof logPath, "%s/%s", "/dev/shm", "t58print.log");
    int fd = openNoFollow(logPath);
    if (fd >= 0) {
        if (dup2(fd, STDERR_FILENO) < 0) {
            fputs("重定向失败\n", stdout);
        }
        if (fd != STDERR_FILENO) {
            close(fd);
        }
    }
    setbuf(stderr, nullptr);
}

void logArguments(int argc, char** argv) {
    fprintf(stderr, "tarvik_backend: start,argc = %d\n", argc);
    for (int i = 0; i < argc; ++i) {
        fprintf(stderr, "tarvik_backend: argv[%d] =  %s\n", i, argv[i]);
    }
}

void fillJobFields(PageData* pd, const char* copiesArg) {
    pd->copies = parseLeadingInt(copiesArg);
    pd->blackness = static_cast<uint8_t>(blackness);
    pd->rotation = static_cast<int8_t>(rotationAngle);
    pd->cutterSet = static_cast<uint8_t>(cutterSet);
    pd->xOffsetDir = horizontalOffset;
    pd->yOffsetDir = verticalOffset;
    pd->xOffsetValue = static_cast<int8_t>(horizontalOffsetValue);
    pd->yOffsetValue = static_cast<int8_t>(verticalOffsetValue);
    pd->templateCM = stpTemplateCM;
    pd->templateMM = stpTemplateMM;
}

void installCancelHandler() {
    struct sigaction action = {};
    action.sa_handler = cancel_job;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
}

void sleepMs(long ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// The link-retry pause; a cancel ends it at once.
void pauseBeforeLinkRetry() {
    for (int slice = 0; slice < kLinkRetrySeconds * 10 && !bSysCancel; ++slice) {
        sleepMs(100);
    }
}

bool spoolReady(const char* path) {
    return access(path, R_OK | W_OK) == 0 && file_size(path) > kSpoolMinBytes;
}

void waitForSpoolFile(const char* path) {
    for (int polls = 0; !spoolReady(path) && polls < kSpoolPolls; ++polls) {
        usleep(kSpoolPollUs);
        fprintf(stderr, "tarvik_backend: Wait RasterFile..... %s\n", path);
    }
}

RasterStream openRasterStream(int fd) {
    RasterStream ras(cupsRasterOpen(fd, CUPS_RASTER_READ));
    for (int retry = 0; !ras && retry < kRasterOpenRetries; ++retry) {
        usleep(kSpoolPollUs);
        ras.reset(cupsRasterOpen(fd, CUPS_RASTER_READ));
    }
    return ras;
}

// A header that cannot be a 1-bit page of its size is refused before any size is trusted.
// Every page is read as 1-bit, whatever its header says of its pixels.
bool pageSizeSane(const cups_page_header2_t& header, uint64_t* pageLen) {
    const PageShape page{header.cupsWidth, header.cupsHeight, header.cupsBytesPerLine};
    *pageLen = onePageBytes(page);
    return checkPage(page) == PageFault::None;
}

// Reads past a refused page's pixels in small pieces so the next header lines up.
void skipPixels(cups_raster_t* ras, uint64_t pageLen) {
    static uint8_t chunk[kSkipChunk];
    while (pageLen > 0 && !bSysCancel) {
        unsigned piece = static_cast<unsigned>(pageLen < kSkipChunk ? pageLen : kSkipChunk);
        if (cupsRasterReadPixels(ras, chunk, piece) == 0) {
            return;
        }
        pageLen -= piece;
    }
}

// The buffer is sized from the first page of the pass; a later, larger page grows it.
bool ensureBuffer(Pass& pass, size_t pageLen) {
    size_t capacity = static_cast<size_t>(static_cast<double>(pageLen) * 1.2);
    if (capacity < 1) {
        capacity = 1;
    }
    if (pass.pBuf && pass.capacity >= pageLen) {
        return true;
    }
    pass.pBuf.reset(new (std::nothrow) uint8_t[capacity]);
    pass.capacity = pass.pBuf ? capacity : 0;
    if (!pass.pBuf) {
        fprintf(stderr, "tarvik_backend: not enough buf for pBuf, pageLen = %d\n",
                static_cast<int>(capacity));
        return false;
    }
    return true;
}

void printPage(Job& job) {
    while (!bSysCancel) {
        if (job.printer->init_t58() == OpenResult::Opened) {
            job.result = numberOf(job.printer->t58_Print(job.pd->copies, job.pd));
            job.printer->close_t58();
            return;
        }
        pauseBeforeLinkRetry();
    }
}

enum class PageEnd { Next, EmptyRead, Failed };

PageEnd readAndPrintPage(Job& job, Pass& pass, const cups_page_header2_t& header, int index) {
    uint64_t pageLen = 0;
    if (!pageSizeSane(header, &pageLen)) {
        fprintf(stderr, "tarvik_backend: page refused, w = %u h = %u b = %u\n", header.cupsWidth,
                header.cupsHeight, header.cupsBytesPerLine);
        skipPixels(pass.ras.get(), pageLen);
        return PageEnd::Next;
    }
    if (!ensureBuffer(pass, pageLen)) {
        return PageEnd::Failed;
    }
    memset(pass.pBuf.get(), 0, pass.capacity);
    // A page of no bytes has nothing to read: it is an empty label, not an empty read.
    if (pageLen > 0) {
        unsigned len =
            cupsRasterReadPixels(pass.ras.get(), pass.pBuf.get(), static_cast<unsigned>(pageLen));
        if (len == 0) {
            fprintf(stderr, "tarvik_backend: len = %d, waitRasterTime = %d\n", 0,
                    job.waitRasterTime);
            return PageEnd::EmptyRead;
        }
    }
    if (index < job.pagesDone) {
        return PageEnd::Next;
    }
    job.pagesDone = index + 1;
    maskPastWidth(pass.pBuf.get(), header.cupsWidth, header.cupsHeight, header.cupsBytesPerLine);
    PageData* pd = job.pd;
    pd->w = static_cast<int32_t>(header.cupsWidth);
    pd->h = static_cast<int32_t>(header.cupsHeight);
    pd->rowBytes = static_cast<int32_t>(header.cupsBytesPerLine);
    pd->data = pass.pBuf.get();
    fprintf(stderr, "tarvik_backend: Print, w = %d h = %d b = %d\n", pd->w, pd->h, pd->rowBytes);
    printPage(job);
    return PageEnd::Next;
}

PassEnd readPages(Job& job, Pass& pass) {
    cups_page_header2_t header = {};
    for (int index = 0; !bSysCancel && cupsRasterReadHeader2(pass.ras.get(), &header); ++index) {
        PageEnd end = readAndPrintPage(job, pass, header, index);
        if (end == PageEnd::Failed) {
            job.result = kJobFailed;
            return PassEnd::Failed;
        }
        if (end == PageEnd::EmptyRead) {
            usleep(kSpoolPollUs);
            pass.close();
            ++job.waitRasterTime;
            if (job.waitRasterTime <= kEmptyReadRestarts) {
                return PassEnd::Restart;
            }
            job.result = kJobFailed;
            return PassEnd::Failed;
        }
        header = {};
    }
    return PassEnd::Finished;
}

bool bannerJob() {
    const char* contentType = std::getenv("CONTENT_TYPE");
    return contentType != nullptr && std::strstr(contentType, "vnd.cups-pdf-banner") != nullptr;
}

// Only a regular file is the job's raster. The open does not wait: on a pipe a blocking
// open waits for a writer that may never come, and no cancel would end that wait.
int openSpoolFile(const char* path) {
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st = {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        return -1;
    }
    return fd;
}

PassEnd runPass(Job& job, Pass& pass) {
    if (bannerJob()) {
        sleep(1);
    }
    fprintf(stderr, "tarvik_backend: tmpfile = %s\n", job.tmpfile);
    waitForSpoolFile(job.tmpfile);
    usleep(100);
    // The spool folder is the job's; a symbolic link there is not the job's raster.
    pass.fd = openSpoolFile(job.tmpfile);
    job.lastFd = pass.fd;
    if (pass.fd < 0) {
        fprintf(stderr, "tarvik_backend: fd < 0\n");
        job.result = kJobFailed;
        return PassEnd::Failed;
    }
    job.spoolOpened = true;
    pass.ras = openRasterStream(pass.fd);
    if (!pass.ras) {
        fprintf(stderr, "tarvik_backend: cupsRasterOpen fail\n");
        job.result = kJobFailed;
        return PassEnd::Failed;
    }
    return readPages(job, pass);
}

void formSpoolPath(Job& job, const char* jobIdArg) {
    const char* dir = std::getenv("TMPDIR");
    formatSpoolPath(job.tmpfile, sizeof job.tmpfile, dir != nullptr ? dir : "/tmp",
                    parseLeadingInt(jobIdArg));
}

void runJob(Job& job, char** argv) {
    getCupsParm();
    fillJobFields(job.pd, argv[4]);
    installCancelHandler();
    formSpoolPath(job, argv[1]);
    Pass pass;
    while (runPass(job, pass) == PassEnd::Restart) {
    }
    pass.close();
    // The raster file is this job's own temporary file: leave nothing behind in the spool.
    if (job.spoolOpened) {
        unlink(job.tmpfile);
    }
}

// CUPS names the queue's printer in DEVICE_URI (and in argv[0]); its serial picks the T58.
std::string deviceSerial(const char* argv0) {
    const char* uri = std::getenv("DEVICE_URI");
    if (uri == nullptr && argv0 != nullptr && std::strstr(argv0, "://") != nullptr) {
        uri = argv0;
    }
    return serialOfDeviceUri(uri);
}

void printUsage(const char* program) {
    fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", program);
}

} // namespace

int32_t file_size(const char* path) {
    // Without waiting: a pipe under the name would block a plain open for good.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    off_t size = -1;
    if (fd >= 0) {
        size = lseek(fd, 0, SEEK_END);
        close(fd);
    }
    int32_t bytes = size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
    fprintf(stderr, "tarvik_backend: RasterFile Size:..... %d\n", bytes);
    return bytes;
}

int backendMain(int argc, char** argv) {
    // Run with no arguments, CUPS asks which printers this backend can reach.
    if (argc == 1) {
        return listDevices();
    }
    // The flow needs the job id and the copies; without them there is no job to run.
    if (argc < 5) {
        printUsage(argc > 0 ? argv[0] : "tarvik");
        return 1;
    }
    redirectLog();
    logArguments(argc, argv);
    Job job;
    std::unique_ptr<PageData> record(new (std::nothrow) PageData{});
    job.printer = makeJobPrinter(deviceSerial(argv[0]), &bSysCancel);
    if (!record || !job.printer) {
        fprintf(stderr, "tarvik_backend: not enough buf for pWs\n");
    } else {
        job.pd = record.get();
        runJob(job, argv);
    }
    fprintf(stderr, "tarvik_backend: end, return = %d, fd = %d\n", job.result, job.lastFd);
    return 0;
}
