#pragma once

// Test support: real raster files written with libcups, real PPD files, and the backend
// run as CUPS runs it, in a private mount namespace whose /dev/shm is a folder of the test.

#include <cups/raster.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tsupport {

// A folder under the system's temporary folder, removed with everything in it.
class TempDir {
  public:
    explicit TempDir(const char* tag = "tarvik");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

struct RasterPage {
    uint32_t width = 0;          // cupsWidth, dots
    uint32_t height = 0;         // cupsHeight, rows
    uint32_t bytesPerLine = 0;   // cupsBytesPerLine
    std::vector<uint8_t> pixels; // height * bytesPerLine bytes, 1 bit per dot, MSB first
};

// A page whose dot (x, y) is set when dot(x, y) is true; bytesPerLine 0 means (w + 7) / 8.
RasterPage makePage(uint32_t w, uint32_t h, const std::function<bool(uint32_t, uint32_t)>& dot,
                    uint32_t bytesPerLine = 0);
// A page of random bytes (bits past the width included), from a fixed seed.
RasterPage randomPage(uint32_t w, uint32_t h, uint32_t seed, uint32_t bytesPerLine = 0);

// A label page: a border, stripes and a diagonal, asymmetric so that a wrong turn or shift
// shows.
RasterPage labelPage(uint32_t w, uint32_t h, uint32_t seed);

struct RasterWriteOptions {
    cups_mode_t mode = CUPS_RASTER_WRITE; // or CUPS_RASTER_WRITE_COMPRESSED, _PWG
    // Changes page i's header (1-bit black, 300 dpi, one copy) before it is written.
    std::function<void(size_t index, cups_page_header2_t& header)> header;
};

// Writes the pages as a CUPS raster stream with libcups's own writer: 1-bit black pages
// unless options.header says otherwise.
bool writeRaster(const std::string& path, const std::vector<RasterPage>& pages,
                 const RasterWriteOptions& options = {});

// Writes a PPD that ppdOpenFile accepts, with one PickOne option per entry whose default
// choice keyword is the given text (the option's label is "<keyword> label").
bool writePpd(const std::string& path,
              const std::vector<std::pair<std::string, std::string>>& defaults);

std::string readFile(const std::string& path);
bool isSymlink(const std::string& path);
bool writeFile(const std::string& path, const std::string& bytes);
// Number of non-overlapping occurrences of needle in hay.
size_t countOf(const std::string& hay, const std::string& needle);

using EnvPairs = std::vector<std::pair<std::string, std::string>>;

// A program to start: argv[0] is its path; env is its whole environment; stdin, stdout
// and stderr from the given descriptors (-1: this process's); binds are folders mounted
// over others ({folder, where}) in a mount namespace of its own. No other descriptor of
// this process reaches it.
struct SpawnOptions {
    std::vector<std::string> argv;
    EnvPairs env;
    std::vector<std::pair<std::string, std::string>> binds;
    int inFd = -1;
    int outFd = -1;
    int errFd = -1;
};

// Starts it and returns its pid (-1 when fork failed); it exits 126 when a bind failed,
// 127 when the exec did. Every program the tests start themselves is started here.
pid_t spawn(const SpawnOptions& options);

struct RunOptions {
    std::string exe;                                      // path of the program to run
    std::vector<std::string> args;                        // argv[1..]; argv[0] is exe
    std::vector<std::pair<std::string, std::string>> env; // the child's whole environment
    std::string shmDir; // bound onto /dev/shm in the child's mount namespace; empty: none
    std::string stdinPath = "/dev/null";
    std::chrono::milliseconds timeout{60000}; // then SIGKILL, timedOut set
    // Polled every few milliseconds while the child runs; SIGTERM is sent once, the
    // first time it returns true.
    std::function<bool()> sigtermWhen;
};

struct RunResult {
    int exitStatus = -1; // exit code, or -1 when killed by a signal
    int termSignal = 0;  // the signal that ended it, if any
    bool timedOut = false;
    bool sigtermSent = false;
    double seconds = 0;
    std::string out; // the child's standard output
    std::string err; // the child's standard error, where the log did not replace it
    std::string log; // shmDir/t58print.log after the run
};

RunResult runBackend(const RunOptions& options);

// The argv or envp array of a program about to be started: built before fork, so that the
// child only reads it before exec.
struct CStrings {
    std::vector<std::string> owned;
    std::vector<char*> ptrs;
    char** get();
};

// User and system CPU seconds of a getrusage result.
double cpuSeconds(const rusage& usage);
// The child the calling thread forked last still running (its /proc children); 0 when none.
pid_t childOfThisThread();
// env with the run's sanitizer options added (ASAN/UBSAN/LSAN/TSAN_OPTIONS): a sanitizer
// build's child gets a whole environment of its own, with umockdev's preload before the
// sanitizer runtime.
EnvPairs withSanitizerOptions(EnvPairs env);

// The job arguments CUPS gives a backend: job id, user, title, copies, options.
std::vector<std::string> jobArgs(int jobId, const std::string& copies,
                                 const std::string& options = "");

// Path of a built program (all executables are built into <build>/bin).
std::string binPath(const std::string& name);

// The codes zbarimg reads in an image file, one "TYPE:data" line each ("CODE-128:...",
// "QR-Code:..."); empty when it reads none or is not installed.
std::vector<std::string> scanBarcodes(const std::string& imagePath);

} // namespace tsupport
