// rastertotarvik: the last filter of a T58 queue. The tarvik backend reads no standard input:
// it waits for the job's raster in "$TMPDIR/ras-d%05d-%03d" (job id, document 1). This filter
// copies the CUPS raster it is given into that file, page by page, after checking that every
// page is one the backend can print. The file is written under a temporary name in the same
// folder and renamed into place, so the backend never opens a half-written raster.
//
// Usage (as CUPS runs a filter): rastertotarvik job user title copies options [file]

#include "backend/spool_path.h"
#include "image/page_rules.h"

#include <cups/raster.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

// Name of the temporary file while it exists, for the SIGTERM handler to remove.
char gTempPath[kSpoolPathMax + 16];
volatile sig_atomic_t gTempLive = 0;

extern "C" void onTerm(int) {
    if (gTempLive)
        unlink(gTempPath);
    _exit(1);
}

struct RasterCloser {
    void operator()(cups_raster_t* ras) const { cupsRasterClose(ras); }
};
using Raster = std::unique_ptr<cups_raster_t, RasterCloser>;

// A descriptor closed when it goes out of scope.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes now and reports whether the data reached the file.
    bool close() {
        int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }
    void reset() { close(); }

  private:
    int fd_;
};

// Holds SIGTERM back while the temporary file and its flag change together.
class TermBlock {
  public:
    TermBlock() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~TermBlock() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    TermBlock(const TermBlock&) = delete;
    TermBlock& operator=(const TermBlock&) = delete;

  private:
    sigset_t old_;
};

// The temporary spool file: removed unless it was renamed into place.
class TempSpool {
  public:
    ~TempSpool() { discard(); }
    bool create(const std::string& finalPath) {
        int n = snprintf(gTempPath, sizeof gTempPath, "%s.XXXXXX", finalPath.c_str());
        if (n < 0 || static_cast<size_t>(n) >= sizeof gTempPath)
            return false;
        // mkstemp creates the file exclusively with mode 0600: nothing planted in the
        // spool folder is followed or overwritten.
        TermBlock block;
        int fd = mkstemp(gTempPath);
        if (fd < 0)
            return false;
        gTempLive = 1;
        fd_ = std::make_unique<Fd>(fd);
        return true;
    }
    int fd() const { return fd_ ? fd_->get() : -1; }
    bool closeFile() { return fd_ && fd_->close(); }
    bool commit(const std::string& finalPath) {
        TermBlock block;
        if (rename(gTempPath, finalPath.c_str()) != 0)
            return false;
        gTempLive = 0;
        return true;
    }
    void discard() {
        fd_.reset();
        TermBlock block;
        if (gTempLive) {
            unlink(gTempPath);
            gTempLive = 0;
        }
    }

  private:
    std::unique_ptr<Fd> fd_;
};

std::optional<int> parseJobId(const char* text) {
    if (text == nullptr || *text < '0' || *text > '9')
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < 1 || v > INT32_MAX)
        return std::nullopt;
    return static_cast<int>(v);
}

// A number read as the backend reads its copies: leading digits, clamped instead of overflowing.
int leadingInt(const char* text) {
    errno = 0;
    long v = strtol(text, nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int>(v);
}

// The path the backend waits for; empty when it would not fit the backend's buffer.
std::string spoolPath(const char* tmpdir, int jobId) {
    char path[kSpoolPathMax];
    int n = formatSpoolPath(path, sizeof path, tmpdir, jobId);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path)
        return {};
    return path;
}

// Why the backend could not print this page, or nullopt when it can. Rows come without
// padding: each row is the page's width in whole bytes.
std::optional<std::string> pageProblem(const cups_page_header2_t& h) {
    const PageShape page{h.cupsWidth, h.cupsHeight, h.cupsBytesPerLine, h.cupsBitsPerPixel,
                         h.cupsBitsPerPixel == 1 && h.cupsColorSpace == CUPS_CSPACE_K};
    PageLimits limits = kCoreLimits;
    limits.rows = RowFit::Exact;
    char why[200];
    switch (checkPage(page, limits)) {
    case PageFault::Format:
        snprintf(why, sizeof why, "is not 1-bit black (color space %u, %u bits per pixel)",
                 h.cupsColorSpace, h.cupsBitsPerPixel);
        return why;
    case PageFault::RowsPadded:
        snprintf(why, sizeof why, "has %u bytes per line for a width of %u dots",
                 h.cupsBytesPerLine, h.cupsWidth);
        return why;
    case PageFault::TooLarge:
        snprintf(why, sizeof why, "is too large (%u x %u dots)", h.cupsWidth, h.cupsHeight);
        return why;
    default:
        return std::nullopt;
    }
}

// What is kept of each page written: enough to tell copies made upstream.
struct PageRecord {
    uint64_t hash;      // of the page's geometry and dots
    unsigned numCopies; // NumCopies of its header
    off_t endOffset;    // spool file length once the page is written
};

constexpr uint64_t kFnvOffset = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

uint64_t fnv1a(uint64_t h, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * kFnvPrime;
    return h;
}

uint64_t hashGeometry(const cups_page_header2_t& h) {
    const uint32_t dims[3] = {h.cupsWidth, h.cupsHeight, h.cupsBytesPerLine};
    return fnv1a(kFnvOffset, reinterpret_cast<const uint8_t*>(dims), sizeof dims);
}

bool writeError(unsigned page) {
    fprintf(stderr, "ERROR: Unable to write page %u to the spool file: %s\n", page,
            strerror(errno));
    return false;
}

// Copies the rows of one page; false after writing an ERROR line.
bool copyRows(cups_raster_t* in, cups_raster_t* out, const cups_page_header2_t& header,
              unsigned page, std::vector<uint8_t>& row, uint64_t& hash) {
    row.resize(header.cupsBytesPerLine);
    for (unsigned y = 0; y < header.cupsHeight; ++y) {
        if (cupsRasterReadPixels(in, row.data(), header.cupsBytesPerLine) !=
            header.cupsBytesPerLine) {
            fprintf(stderr, "ERROR: The raster ends in the middle of page %u.\n", page);
            return false;
        }
        hash = fnv1a(hash, row.data(), row.size());
        if (cupsRasterWritePixels(out, row.data(), header.cupsBytesPerLine) !=
            header.cupsBytesPerLine)
            return writeError(page);
    }
    return true;
}

// Copies every page from in to out, recording each page written; nullopt after writing an
// ERROR line.
std::optional<std::vector<PageRecord>> copyPages(cups_raster_t* in, cups_raster_t* out, int outFd) {
    cups_page_header2_t header;
    std::vector<uint8_t> row;
    std::vector<PageRecord> pages;
    unsigned page = 0;
    while (cupsRasterReadHeader2(in, &header)) {
        ++page;
        if (auto why = pageProblem(header)) {
            fprintf(stderr, "ERROR: Page %u %s; the T58 prints 1-bit black only.\n", page,
                    why->c_str());
            return std::nullopt;
        }
        // A page of no bytes is left out: the backend takes a read of no bytes for a
        // raster not yet written and would start the job over.
        if (header.cupsBytesPerLine == 0 || header.cupsHeight == 0) {
            fprintf(stderr, "DEBUG: Page %u is empty (%u x %u dots), left out.\n", page,
                    header.cupsWidth, header.cupsHeight);
            continue;
        }
        if (!cupsRasterWriteHeader2(out, &header)) {
            writeError(page);
            return std::nullopt;
        }
        uint64_t hash = hashGeometry(header);
        if (!copyRows(in, out, header, page, row, hash))
            return std::nullopt;
        // The writer has flushed the page's last rows: the file ends where the page does.
        pages.push_back({hash, header.NumCopies, lseek(outFd, 0, SEEK_CUR)});
    }
    return pages;
}

// The backend sends every page `copies` times. When the stages before this one have already
// made the copies (pdftopdf does so for collated copies, and then leaves NumCopies at 1), the
// raster holds `copies` identical runs of the document: only the first run may go on, or each
// label would print copies x copies times. Returns the number of pages to keep, or nullopt
// after writing an ERROR line when the pages are not such runs.
std::optional<size_t> pagesToKeep(const std::vector<PageRecord>& pages, int copies) {
    const char* type = getenv("CONTENT_TYPE");
    bool fromRaster = type != nullptr && strcmp(type, "application/vnd.cups-raster") == 0;
    if (copies <= 1 || fromRaster || pages.empty())
        return pages.size();
    for (const PageRecord& p : pages) {
        if (p.numCopies != 1)
            return pages.size();
    }
    size_t run = pages.size() / static_cast<size_t>(copies);
    bool runs = run > 0 && pages.size() % static_cast<size_t>(copies) == 0;
    for (size_t i = run; runs && i < pages.size(); ++i)
        runs = pages[i].hash == pages[i % run].hash;
    if (!runs) {
        fprintf(stderr,
                "ERROR: The document arrived with %zu pages for %d copies made before this "
                "filter; the T58 makes its copies itself.\n",
                pages.size(), copies);
        return std::nullopt;
    }
    fprintf(stderr,
            "INFO: The T58 cannot collate copies: each label is printed %d times in a row.\n",
            copies);
    return run;
}

// Cuts the spool file after the pages kept and reports them to CUPS.
bool keepPages(int fd, const std::vector<PageRecord>& pages, size_t keep, int copies) {
    if (keep < pages.size() && ftruncate(fd, pages[keep - 1].endOffset) != 0) {
        fprintf(stderr, "ERROR: Unable to write the spool file: %s\n", strerror(errno));
        return false;
    }
    for (size_t i = 0; i < keep; ++i)
        fprintf(stderr, "PAGE: %zu %d\n", i + 1, copies < 1 ? 1 : copies);
    return true;
}

// Writes the job's pages to a temporary file and renames it to the backend's name; false
// after writing an ERROR line.
bool spoolJob(cups_raster_t* in, const std::string& finalPath, const char* tmpdir, int copies) {
    TempSpool spool;
    if (!spool.create(finalPath)) {
        fprintf(stderr, "ERROR: Unable to create a spool file in \"%s\": %s\n", tmpdir,
                strerror(errno));
        return false;
    }
    std::optional<std::vector<PageRecord>> pages;
    {
        Raster out(cupsRasterOpen(spool.fd(), CUPS_RASTER_WRITE_COMPRESSED));
        if (!out) {
            fprintf(stderr, "ERROR: Unable to start the spool file: %s\n", strerror(errno));
            return false;
        }
        pages = copyPages(in, out.get(), spool.fd());
    }
    if (!pages)
        return false;
    std::optional<size_t> keep = pagesToKeep(*pages, copies);
    if (!keep || !keepPages(spool.fd(), *pages, *keep, copies))
        return false;
    if (!spool.closeFile()) {
        fprintf(stderr, "ERROR: Unable to write the spool file: %s\n", strerror(errno));
        return false;
    }
    if (!spool.commit(finalPath)) {
        fprintf(stderr, "ERROR: Unable to rename the spool file into place: %s\n", strerror(errno));
        return false;
    }
    fprintf(stderr, "DEBUG: %zu page(s) handed to the backend in \"%s\".\n", *keep,
            finalPath.c_str());
    return true;
}

int openInput(int argc, char** argv) {
    if (argc < 7)
        return STDIN_FILENO;
    int fd = open(argv[6], O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fprintf(stderr, "ERROR: Unable to open the print file \"%s\": %s\n", argv[6],
                strerror(errno));
    return fd;
}

int run(int argc, char** argv) {
    if (argc < 6 || argc > 7) {
        fprintf(stderr, "Usage: %s job-id user title copies options [file]\n",
                argc > 0 ? argv[0] : "rastertotarvik");
        return 1;
    }
    std::optional<int> jobId = parseJobId(argv[1]);
    if (!jobId) {
        fprintf(stderr, "ERROR: Bad job id \"%s\".\n", argv[1]);
        return 1;
    }
    // The backend uses /tmp when CUPS gives no TMPDIR; so does this filter.
    const char* tmpdir = getenv("TMPDIR");
    if (tmpdir == nullptr || *tmpdir == '\0')
        tmpdir = "/tmp";
    std::string finalPath = spoolPath(tmpdir, *jobId);
    if (finalPath.empty()) {
        fprintf(stderr, "ERROR: The temporary folder's name is too long.\n");
        return 1;
    }
    int copies = leadingInt(argv[4]);

    int inFd = openInput(argc, argv);
    if (inFd < 0)
        return 1;
    Fd inOwner(inFd == STDIN_FILENO ? -1 : inFd);
    Raster in(cupsRasterOpen(inFd, CUPS_RASTER_READ));
    if (!in) {
        fprintf(stderr, "ERROR: The input is not a CUPS raster stream.\n");
        return 1;
    }

    return spoolJob(in.get(), finalPath, tmpdir, copies) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    setbuf(stderr, nullptr);
    struct sigaction sa = {};
    sa.sa_handler = onTerm;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return run(argc, argv);
}
