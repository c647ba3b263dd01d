// The printer application beside the backend, on the same 58 x 40 mm label at 300 dpi
// (576 x 472 dots, a different label per page), against the virtual T58 answering at once:
//  - FirstFrame/Backend: from the backend's start (its raster already spooled) to the first
//    print frame the printer receives;
//  - FirstFrame/App: from an IPP Print-Job of a 1-bit PWG raster label to a running
//    tarvik-printer-app until the first print frame of that job;
//  - HundredLabels/Backend and /App: a 100-label job; CPU per label of the backend process
//    (getrusage of children) and of the server process (its /proc stat, all threads), and
//    for the app the ratio of its CPU per label to the backend's (it should not exceed 1).
#include "bench/label.h"
#include "tests/support/support.h"
#include "vt58/vt58.h"

// The server's harness is the tests' own; this program links only the libraries every
// benchmark links.
#include "tests/app/app_harness.cpp"

#include <benchmark/benchmark.h>

#include <cups/cups.h>
#include <cups/raster.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

using tsupport::childOfThisThread;
using tsupport::cpuSeconds;

using namespace std::chrono_literals;

constexpr int kJobId = 58;
using benchlabel::kLabelH;
using benchlabel::kLabelW;
using benchlabel::label;
constexpr int kDpi = 300;
constexpr uint8_t kHead300 = 1;
constexpr size_t kHundred = 100;
constexpr const char* kPrinter = "T58-VT58-0001";

std::vector<tsupport::RasterPage> labels(size_t count) {
    std::vector<tsupport::RasterPage> pages;
    for (size_t i = 0; i < count; ++i) {
        pages.push_back(label(uint32_t(i)));
    }
    return pages;
}

// The same pages as a 1-bit black PWG raster, in memory.
std::string pwgOf(const std::vector<tsupport::RasterPage>& pages) {
    tsupport::TempDir dir("bench-pwg");
    const std::string path = dir.file("l.pwg");
    cups_page_header2_t h;
    if (!cupsRasterInitPWGHeader(&h, pwgMediaForPWG("om_58x40-label_58x40mm"), "black_1", kDpi,
                                 kDpi, "one-sided", nullptr)) {
        return {};
    }
    h.cupsWidth = kLabelW;
    h.cupsHeight = kLabelH;
    h.cupsBytesPerLine = kLabelW / 8;
    h.PageSize[0] = kLabelW * 72 / kDpi;
    h.PageSize[1] = kLabelH * 72 / kDpi;
    h.cupsInteger[CUPS_RASTER_PWG_TotalPageCount] = unsigned(pages.size());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
    for (const tsupport::RasterPage& p : pages) {
        cupsRasterWriteHeader2(ras, &h);
        cupsRasterWritePixels(ras, const_cast<unsigned char*>(p.pixels.data()),
                              unsigned(p.pixels.size()));
    }
    cupsRasterClose(ras);
    close(fd);
    return tsupport::readFile(path);
}

// CPU seconds of a process, all its threads, from /proc.
double processCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) { // fields 3..13: state .. cmajflt
        fields >> skip;
    }
    unsigned long long utime = 0, stime = 0;
    fields >> utime >> stime;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

vt58::Clock::time_point firstPrintFrameAfter(const vt58::Record& r, vt58::Clock::time_point t0) {
    for (const vt58::FrameRecord& f : r.frames) {
        if (f.kind == vt58::FrameKind::Print && f.at >= t0) {
            return f.at;
        }
    }
    return {};
}

double msBetween(vt58::Clock::time_point a, vt58::Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// Backend: spooled raster, run as CUPS runs it; the start, and the CPU of the run.
struct BackendRun {
    vt58::Clock::time_point started;
    double cpu = 0;
    bool ok = false;
};

BackendRun runBackend(vt58::VirtualT58& vt, const std::vector<tsupport::RasterPage>& pages) {
    BackendRun r;
    tsupport::TempDir shm("bench-shm");
    tsupport::TempDir spool("bench-spool");
    char name[32];
    std::snprintf(name, sizeof name, "ras-d%05d-001", kJobId);
    if (!tsupport::writeRaster(spool.file(name), pages)) {
        return r;
    }
    tsupport::RunOptions o;
    o.exe = tsupport::binPath("tarvik");
    o.args = tsupport::jobArgs(kJobId, "1");
    o.env = vt.withChildEnv({{"TMPDIR", spool.path()}});
    o.shmDir = shm.path();
    o.timeout = 120s;
    rusage before{}, after{};
    getrusage(RUSAGE_CHILDREN, &before);
    r.started = vt58::Clock::now();
    tsupport::runBackend(o);
    getrusage(RUSAGE_CHILDREN, &after);
    r.cpu = cpuSeconds(after) - cpuSeconds(before);
    r.ok = vt.pageCount() == pages.size();
    return r;
}

// A running tarvik-printer-app on its own virtual T58.
struct App {
    tsupport::TempDir dir{"bench-app"};
    vt58::VirtualT58 vt;
    std::unique_ptr<apptest::AppServer> server;
    pid_t pid = 0;
    bool ready = false;

    App() : vt(scenario()) {
        if (vt.ok()) {
            server = std::make_unique<apptest::AppServer>(vt, dir.path());
            pid = childOfThisThread();
            ready = server->waitReady(1);
        }
    }
    static vt58::Scenario scenario() {
        vt58::Scenario s;
        s.headByte = kHead300;
        return s;
    }
    // Print-Job of the document; the job id or -1.
    int printJob(const std::string& pwg) const {
        const std::string uri = server->printerUri(kPrinter);
        http_t* http = httpConnect2("localhost", server->port(), nullptr, AF_INET,
                                    HTTP_ENCRYPTION_IF_REQUESTED, 1, 5000, nullptr);
        if (http == nullptr) {
            return -1;
        }
        ipp_t* req = ippNewRequest(IPP_OP_PRINT_JOB);
        ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
        ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                     "bench");
        ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                     "image/pwg-raster");
        const std::string resource = "/ipp/print/" + std::string(kPrinter);
        int job = -1;
        if (cupsSendRequest(http, req, resource.c_str(), pwg.size()) == HTTP_STATUS_CONTINUE &&
            cupsWriteRequestData(http, pwg.data(), pwg.size()) == HTTP_STATUS_CONTINUE) {
            ipp_t* resp = cupsGetResponse(http, resource.c_str());
            if (ippGetStatusCode(resp) <= IPP_STATUS_OK_CONFLICTING) {
                job = ippGetInteger(ippFindAttribute(resp, "job-id", IPP_TAG_INTEGER), 0);
            }
            ippDelete(resp);
        }
        ippDelete(req);
        httpClose(http);
        return job;
    }
    bool completed(int job) const {
        return job > 0 &&
               apptest::waitJob(server->printerUri(kPrinter), job).state == IPP_JSTATE_COMPLETED;
    }
};

void FirstFrameBackend(benchmark::State& state) {
    const std::vector<tsupport::RasterPage> pages = labels(1);
    double worst = 0;
    for (auto _ : state) {
        vt58::Scenario s;
        s.headByte = kHead300;
        vt58::VirtualT58 vt(s);
        const BackendRun run = vt.ok() ? runBackend(vt, pages) : BackendRun{};
        const auto first = firstPrintFrameAfter(vt.record(), run.started);
        if (!run.ok || first == vt58::Clock::time_point{}) {
            state.SkipWithError("the backend did not print");
            return;
        }
        const double ms = msBetween(run.started, first);
        worst = std::max(worst, ms);
        state.SetIterationTime(ms / 1000.0);
    }
    state.counters["worst_ms"] = worst;
}

void FirstFrameApp(benchmark::State& state) {
    App app;
    const std::string pwg = pwgOf(labels(1));
    if (!app.ready || pwg.empty()) {
        state.SkipWithError("tarvik-printer-app did not start (needs root and PAPPL)");
        return;
    }
    double worst = 0;
    for (auto _ : state) {
        const auto t0 = vt58::Clock::now();
        const int job = app.printJob(pwg);
        if (!app.completed(job)) {
            state.SkipWithError("the job did not complete");
            return;
        }
        const auto first = firstPrintFrameAfter(app.vt.record(), t0);
        const double ms = msBetween(t0, first);
        worst = std::max(worst, ms);
        state.SetIterationTime(ms / 1000.0);
    }
    state.counters["worst_ms"] = worst;
}

double backendCpuPerLabel = 0;

void HundredLabelsBackend(benchmark::State& state) {
    const std::vector<tsupport::RasterPage> pages = labels(kHundred);
    double cpuPerLabel = 0;
    for (auto _ : state) {
        vt58::Scenario s;
        s.headByte = kHead300;
        vt58::VirtualT58 vt(s);
        const auto t0 = vt58::Clock::now();
        const BackendRun run = vt.ok() ? runBackend(vt, pages) : BackendRun{};
        if (!run.ok) {
            state.SkipWithError("not every label was printed");
            return;
        }
        cpuPerLabel = run.cpu * 1000.0 / double(kHundred);
        state.SetIterationTime(msBetween(t0, vt58::Clock::now()) / 1000.0);
    }
    backendCpuPerLabel = cpuPerLabel;
    state.counters["cpu_ms_per_label"] = cpuPerLabel;
}

void HundredLabelsApp(benchmark::State& state) {
    App app;
    const std::string pwg = pwgOf(labels(kHundred));
    if (!app.ready || app.pid <= 0 || pwg.empty()) {
        state.SkipWithError("tarvik-printer-app did not start (needs root and PAPPL)");
        return;
    }
    double cpuPerLabel = 0;
    size_t printed = 0;
    for (auto _ : state) {
        const double before = processCpuSeconds(app.pid);
        const auto t0 = vt58::Clock::now();
        const int job = app.printJob(pwg);
        if (!app.completed(job) || app.vt.pageCount() != printed + kHundred) {
            state.SkipWithError("not every label was printed");
            return;
        }
        printed += kHundred;
        state.SetIterationTime(msBetween(t0, vt58::Clock::now()) / 1000.0);
        cpuPerLabel = (processCpuSeconds(app.pid) - before) * 1000.0 / double(kHundred);
    }
    state.counters["cpu_ms_per_label"] = cpuPerLabel;
    if (backendCpuPerLabel > 0) {
        state.counters["cpu_vs_backend"] = cpuPerLabel / backendCpuPerLabel;
    }
}

BENCHMARK(FirstFrameBackend)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(FirstFrameApp)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(HundredLabelsBackend)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(HundredLabelsApp)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
