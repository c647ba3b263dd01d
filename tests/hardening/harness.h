#pragma once

// Shared by the hardening tests: the real backend run as CUPS runs it, on raster files
// written with libcups (any header values, compressed or not) and real PPDs, against the
// virtual T58, with its memory and descriptors sampled from /proc while it runs.

#include "tests/support/support.h"
#include "vt58/vt58.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace hard {

using namespace std::chrono_literals;
using Defaults = std::vector<std::pair<std::string, std::string>>;

constexpr int kJobId = 58;

// One page of a raster stream as the header states it; pixels may be fewer or more bytes
// than the header's size (a truncated or lying page).
struct RawPage {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bytesPerLine = 0;
    uint32_t bitsPerPixel = 1;
    std::vector<uint8_t> pixels;
};

RawPage rawOf(const tsupport::RasterPage& page);
// A CUPS raster stream written by libcups (RaS2 compressed when `compressed`).
std::string rasterStream(const std::vector<RawPage>& pages, bool compressed = false);

struct Job {
    std::vector<tsupport::RasterPage> pages;
    std::string rasterBytes; // the spool file's bytes instead of `pages`, when not empty
    Defaults ppd;            // the PPD's option defaults
    std::string ppdText;     // the PPD file itself instead, when not empty
    std::string copies = "1";
    vt58::Scenario scenario;
    // Before the run, with the spool folder and the folder that is the backend's /dev/shm.
    std::function<void(const std::string& spool, const std::string& shm)> prepare;
    // SIGTERM the first time this holds (asked every few milliseconds).
    std::function<bool(const vt58::VirtualT58&)> termWhen;
    // Called every few milliseconds while the backend runs, with its process id.
    std::function<void(pid_t)> watch;
    // Programs in front of the backend (e.g. valgrind and its options).
    std::vector<std::string> wrapper;
    std::chrono::milliseconds timeout = 60s;
};

struct Run {
    tsupport::RunResult run;
    vt58::Record record;
    std::unique_ptr<tsupport::TempDir> spool;
    std::unique_ptr<tsupport::TempDir> shm;
    std::string rasterPath;
};

// Runs the job; nullopt (with a test failure) when the testbed could not be set up. Checks
// on every run: exit status 0, no timeout, no sanitizer report, the end line logged.
std::optional<Run> runJob(const Job& job);

// The job result of the end line, or nullopt when there is none.
std::optional<int> endResult(const std::string& log);
std::vector<vt58::FrameRecord> framesOf(const vt58::Record& record, vt58::FrameKind kind);

// Resources of a running process, from /proc.
struct Usage {
    long rssKiB = -1;
    long hwmKiB = -1;
    int fds = -1;
};
Usage usageOf(pid_t pid);

// The pid of this process's child that is running `exe` (by name), or -1.
pid_t childRunning(const std::string& exeName);

// A label page with asymmetric marks, so that a wrong turn or shift shows.
tsupport::RasterPage labelPage(uint32_t w, uint32_t h, uint32_t seed);

// Sanitizer settings of this process for the child (whole environments are passed).
vt58::EnvPairs sanitizerEnv();

} // namespace hard
