#pragma once

// One job for the backend as CUPS gives it, for every test and benchmark that runs one: its
// spool folder (TMPDIR) with the raster and the PPD, the folder that is its /dev/shm, its
// environment (the virtual T58's, the sanitizer settings), and what came of it.

#include "tests/support/support.h"
#include "vt58/vt58.h"

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tjob {

using namespace std::chrono_literals;
using Defaults = std::vector<std::pair<std::string, std::string>>;

inline constexpr int kJobId = 58;

struct JobSpec {
    std::vector<tsupport::RasterPage> pages; // written as the spool file
    std::string rasterBytes;                 // the spool file's bytes instead, when not empty
    bool writeRaster = true;                 // false: the test makes the spool file itself
    Defaults ppd;                            // the PPD's option defaults
    std::string ppdText;                     // the PPD itself instead, when not empty
    bool withPpd = true;                     // false: no PPD in the environment
    std::string copies = "1";
    std::string program = "tarvik";   // a program of the build
    std::vector<std::string> wrapper; // programs in front of it (valgrind and its options)
    tsupport::EnvPairs env;           // added to (or replacing) the job's environment
    // Before the run, with the spool folder and the folder that is the backend's /dev/shm.
    std::function<void(const std::string& spool, const std::string& shm)> prepare;
    // SIGTERM the first time this holds (asked every few milliseconds).
    std::function<bool()> sigtermWhen;
    // Called every few milliseconds while the program runs, with its process id.
    std::function<void(pid_t)> watch;
    std::chrono::milliseconds timeout = 60s;
};

// A job's folders, made before the run and removed with everything in them.
struct JobFolders {
    explicit JobFolders(const char* tag = "job");
    tsupport::TempDir spool;
    tsupport::TempDir shm;
    std::string rasterPath() const;
    std::string ppdPath() const { return spool.file("t58.ppd"); }
};

struct JobResult {
    tsupport::RunResult run;
    std::optional<int> end; // the end line's result; none when no end line was written
    vt58::Record record;    // what the virtual T58 saw: frames, printed pages, USB events
    std::string pageDump;   // the c.bmp the backend left in its /dev/shm (the last page's)
    bool filesWritten = false;
    const std::string& log() const { return run.log; }
};

// A job on a virtual T58 of its own.
struct PrinterJob : JobSpec {
    vt58::Scenario scenario;
    // SIGTERM the first time this holds (asked every few milliseconds), given the printer.
    std::function<bool(const vt58::VirtualT58&)> termWhen;
};

// Writes the job's files into folders and runs the program on the virtual T58 (nullptr: a
// program that brings its own printer).
JobResult runJob(const JobSpec& job, const vt58::VirtualT58* vt, const JobFolders& folders);
// The same in folders of its own.
JobResult runJob(const JobSpec& job, const vt58::VirtualT58* vt);
// The job on a new virtual T58 with its scenario, checked as expectClean checks and for
// frames the printer could not read; nullopt (with a test failure) when the printer or the
// job's files could not be set up.
std::optional<JobResult> runJob(const PrinterJob& job, const JobFolders& folders = JobFolders());

// The pid of this process's child that is running `exeName` (by name; any child that is
// not a copy of this program when empty), or -1.
pid_t childRunning(const std::string& exeName);

// The frames of one kind (print data unless told) the printer got, in arrival order.
std::vector<vt58::FrameRecord> framesOf(const vt58::Record& record,
                                        vt58::FrameKind kind = vt58::FrameKind::Print);

// The job result of the log's end line, or nullopt when there is none.
std::optional<int> endResult(const std::string& log);

// What every run of the backend holds to: its files were written, it ended by itself in
// time, no sanitizer report, its end line written.
void expectClean(const JobResult& r);

} // namespace tjob
