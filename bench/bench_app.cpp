// The printer application beside the backend, on the same 58 x 40 mm label at 300 dpi
// (576 x 472 dots, a different label per page), against the virtual T58 answering at once:
//  - FirstFrame/Backend: from the backend's start (its raster already spooled) to the first
//    print frame the printer receives;
//  - FirstFrame/App: from an IPP Print-Job of a 1-bit PWG raster label to a running
//    tarvik-printer-app until the first print frame of that job; fitted:1 sends a 4 x 6 in
//    page to a 50 x 30 mm label instead (scaled and turned); peak_rss_mib: the server's;
//  - HundredLabels/Backend and /App: a 100-label job; CPU per label of the backend process
//    (getrusage of children) and of the server process (its /proc stat, all threads), and
//    for the app the ratio of its CPU per label to the backend's (it should not exceed 1);
//  - Burst/{printers, clients, labels}: every client a thread, all let go at once, each
//    sending its labels as one-label Print-Jobs on its own connection, round-robin over the
//    printers; the time is from the first request to the last label out. accepted: per cent
//    of the Print-Jobs answered successful-ok; labels_per_s: labels the printers finished per
//    second of that time; cpu_ms_per_label: the server's CPU per printed label (and
//    cpu_vs_backend as above); printed_once: 1 when every label came out exactly once, whole
//    and on the printer it was sent to, each label carrying its number in dots;
//  - FirstFramePdf/App: from an IPP Print-Job of a one-page PDF label (58 x 40 mm: border,
//    text, a barcode) to the app until its first print frame; cpu_ms_per_label is the
//    server's CPU and its PDF renderer's per label;
//  - FirstFramePdf/Cups: the same PDF through the CUPS queue's chain run by hand, one step
//    after the other (pdftopdf, gstoraster with the 300 dpi PPD, rastertotarvik, the
//    backend), from the first filter's start to the first print frame; cpu_ms_per_label is
//    the chain's CPU; pdf_vs_cups: the app's time over the chain's;
//  - QueuedMemory: 8 printers paused, 100 one-label jobs sent to them, then the server's peak
//    resident memory (VmHWM) as peak_rss_mib; then the printers resume, the time is to the
//    last label, and printed_rss_mib is the peak after all of them printed.
#include "bench/label.h"
#include "tests/cups/harness.h"
#include "tests/support/job.h"
#include "tests/support/pdf.h"
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

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <latch>
#include <sstream>
#include <system_error>
#include <thread>

namespace {

using tsupport::childOfThisThread;
using tsupport::cpuSeconds;

using namespace std::chrono_literals;

using benchlabel::kLabelH;
using benchlabel::kLabelW;
using benchlabel::label;
constexpr int kDpi = 300;
constexpr uint8_t kHead300 = 1;
constexpr size_t kHundred = 100;
constexpr const char* kPrinter = "T58-VT58-0001";
constexpr const char* kMedia = "om_58x40-label_58x40mm";

std::vector<tsupport::RasterPage> labels(size_t count) {
    std::vector<tsupport::RasterPage> pages;
    for (size_t i = 0; i < count; ++i) {
        pages.push_back(label(uint32_t(i)));
    }
    return pages;
}

// Label n with the bits of n as black cells in the blank band under its text: every label of
// a run is told apart by what the printer got.
constexpr uint32_t kNumberTop = 180;
constexpr uint32_t kNumberRows = 48;
constexpr uint32_t kNumberLeft = 16;
constexpr uint32_t kNumberCell = 16; // dots, two whole bytes of a line
constexpr uint32_t kNumberBits = 16;

tsupport::RasterPage numbered(uint32_t n) {
    tsupport::RasterPage p = label(n);
    for (uint32_t bit = 0; bit < kNumberBits; ++bit) {
        if ((n >> bit & 1) == 0) {
            continue;
        }
        for (uint32_t y = kNumberTop; y < kNumberTop + kNumberRows; ++y) {
            const size_t at = size_t(y) * p.bytesPerLine + (kNumberLeft + bit * kNumberCell) / 8;
            p.pixels[at] = 0xFF;
            p.pixels[at + 1] = 0xFF;
        }
    }
    return p;
}

uint32_t numberOf(const vt58::PrintedPage& page) {
    uint32_t n = 0;
    for (uint32_t bit = 0; bit < kNumberBits; ++bit) {
        if (page.dot(int(kNumberLeft + bit * kNumberCell + kNumberCell / 2),
                     int(kNumberTop + kNumberRows / 2))) {
            n |= 1u << bit;
        }
    }
    return n;
}

// The same pages as a 1-bit black PWG raster, in memory.
std::string pwgOf(const std::vector<tsupport::RasterPage>& pages, const char* media = kMedia) {
    tsupport::TempDir dir("bench-pwg");
    const std::string path = dir.file("l.pwg");
    cups_page_header2_t h;
    if (pages.empty() || !cupsRasterInitPWGHeader(&h, pwgMediaForPWG(media), "black_1", kDpi, kDpi,
                                                  "one-sided", nullptr)) {
        return {};
    }
    h.cupsWidth = pages[0].width;
    h.cupsHeight = pages[0].height;
    h.cupsBytesPerLine = pages[0].bytesPerLine;
    h.PageSize[0] = h.cupsWidth * 72 / kDpi;
    h.PageSize[1] = h.cupsHeight * 72 / kDpi;
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

// CPU seconds of a process, all its threads, from /proc; with its children, also those of the
// children it waited for (its renderers).
double processCpuSeconds(pid_t pid, bool withChildren = false) {
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
    unsigned long long utime = 0, stime = 0, cutime = 0, cstime = 0;
    fields >> utime >> stime >> cutime >> cstime;
    const unsigned long long ticks = utime + stime + (withChildren ? cutime + cstime : 0);
    return double(ticks) / double(sysconf(_SC_CLK_TCK));
}

// The process's peak resident memory (VmHWM) in MiB; -1 when unknown.
double peakRssMiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("VmHWM:")) {
            return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
        }
    }
    return -1;
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
    const tjob::JobFolders folders("bench");
    if (!tsupport::writeRaster(folders.rasterPath(), pages)) {
        return r;
    }
    tjob::JobSpec job;
    job.writeRaster = false;
    job.withPpd = false;
    job.timeout = 120s;
    rusage before{}, after{};
    getrusage(RUSAGE_CHILDREN, &before);
    r.started = vt58::Clock::now();
    tjob::runJob(job, &vt, folders);
    getrusage(RUSAGE_CHILDREN, &after);
    r.cpu = cpuSeconds(after) - cpuSeconds(before);
    r.ok = vt.pageCount() == pages.size();
    return r;
}

http_t* connectTo(int port) {
    return httpConnect2("localhost", port, nullptr, AF_INET, HTTP_ENCRYPTION_IF_REQUESTED, 1, 5000,
                        nullptr);
}

ipp_t* printerRequest(ipp_op_t op, const std::string& uri) {
    ipp_t* req = ippNewRequest(op);
    ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "bench");
    return req;
}

// A running tarvik-printer-app on its own virtual T58s, all with the 300 dpi head.
struct App {
    tsupport::TempDir dir{"bench-app"};
    vt58::VirtualT58 vt;
    std::unique_ptr<apptest::AppServer> server;
    std::vector<std::string> names; // by device
    pid_t pid = 0;
    bool ready = false;

    explicit App(int printers = 1) : vt(scenario(printers)) {
        if (vt.ok()) {
            // As the service runs: PAPPL's debug log of every request is not the app's cost.
            server = std::make_unique<apptest::AppServer>(
                vt, dir.path(), std::vector<std::string>{"-o", "log-level=info"});
            pid = childOfThisThread();
            ready = server->waitReady(size_t(printers));
            for (int d = 0; d < vt.printerCount(); ++d) {
                names.push_back("T58-" + vt.serialOf(d));
            }
        }
    }
    static vt58::Scenario scenario(int printers) {
        vt58::Scenario s;
        s.headByte = kHead300;
        if (printers > 1) {
            s.printers.resize(size_t(printers));
        }
        return s;
    }
    // Print-Job of the document on the connection; the job id or -1.
    int printJob(http_t* http, const std::string& pwg, const std::string& printer,
                 const char* format = "image/pwg-raster", const char* media = kMedia) const {
        ipp_t* req = printerRequest(IPP_OP_PRINT_JOB, server->printerUri(printer));
        ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format);
        // Without it the job is on the printer's default label and the page is cut to that.
        ippAddString(req, IPP_TAG_JOB, IPP_TAG_KEYWORD, "media", nullptr, media);
        const std::string resource = "/ipp/print/" + printer;
        int job = -1;
        // The length libcups sends as Content-Length: the request's attributes and the document.
        if (cupsSendRequest(http, req, resource.c_str(), ippLength(req) + pwg.size()) ==
                HTTP_STATUS_CONTINUE &&
            cupsWriteRequestData(http, pwg.data(), pwg.size()) == HTTP_STATUS_CONTINUE) {
            ipp_t* resp = cupsGetResponse(http, resource.c_str());
            if (ippGetStatusCode(resp) <= IPP_STATUS_OK_CONFLICTING) {
                job = ippGetInteger(ippFindAttribute(resp, "job-id", IPP_TAG_INTEGER), 0);
            }
            ippDelete(resp);
        }
        ippDelete(req);
        return job;
    }
    int printJob(const std::string& pwg, const char* format = "image/pwg-raster",
                 const char* media = kMedia) const {
        http_t* http = connectTo(server->port());
        const int job = http != nullptr ? printJob(http, pwg, kPrinter, format, media) : -1;
        httpClose(http);
        return job;
    }
    // Pause-Printer, Resume-Printer; true when answered successful-ok.
    bool printerOp(ipp_op_t op, const std::string& printer) const {
        http_t* http = connectTo(server->port());
        if (http == nullptr) {
            return false;
        }
        ipp_t* resp = cupsDoRequest(http, printerRequest(op, server->printerUri(printer)),
                                    ("/ipp/print/" + printer).c_str());
        const bool ok = resp != nullptr && ippGetStatusCode(resp) <= IPP_STATUS_OK_CONFLICTING;
        ippDelete(resp);
        httpClose(http);
        return ok;
    }
    bool completed(int job, const std::string& printer = kPrinter) const {
        return job > 0 &&
               apptest::waitJob(server->printerUri(printer), job).state == IPP_JSTATE_COMPLETED;
    }
    // The server's warnings and errors, the last few, for a run that went wrong.
    void reportProblems(const char* what) const {
        std::istringstream log(server->log());
        std::vector<std::string> lines;
        for (std::string line; std::getline(log, line);) {
            if (line.starts_with("E ") || line.starts_with("W ")) {
                lines.push_back(line);
            }
        }
        std::fprintf(stderr, "%s; the server's last warnings and errors:\n", what);
        for (size_t i = lines.size() > 30 ? lines.size() - 30 : 0; i < lines.size(); ++i) {
            std::fprintf(stderr, "  %s\n", lines[i].c_str());
        }
    }
};

struct FirstFrames {
    double total = 0, worst = 0, cpu = 0;
};

// One run on a new 300 dpi printer, timed to its first print frame; false (the benchmark
// skipped with the failure) when it did not print.
bool firstFrameOnce(benchmark::State& state,
                    const std::function<BackendRun(vt58::VirtualT58&)>& runOn, const char* failure,
                    FirstFrames& f) {
    vt58::Scenario s;
    s.headByte = kHead300;
    vt58::VirtualT58 vt(s);
    const BackendRun run = vt.ok() ? runOn(vt) : BackendRun{};
    const auto first = firstPrintFrameAfter(vt.record(), run.started);
    if (!run.ok || first == vt58::Clock::time_point{}) {
        state.SkipWithError(failure);
        return false;
    }
    const double ms = msBetween(run.started, first);
    f.total += ms;
    f.worst = std::max(f.worst, ms);
    f.cpu += run.cpu;
    state.SetIterationTime(ms / 1000.0);
    return true;
}

void FirstFrameBackend(benchmark::State& state) {
    const std::vector<tsupport::RasterPage> pages = labels(1);
    FirstFrames f;
    for (auto _ : state) {
        if (!firstFrameOnce(
                state, [&](vt58::VirtualT58& vt) { return runBackend(vt, pages); },
                "the backend did not print", f)) {
            return;
        }
    }
    state.counters["worst_ms"] = f.worst;
}

void FirstFrameApp(benchmark::State& state) {
    App app;
    const bool fitted = state.range(0) == 1;
    const char* media = fitted ? "om_50x30-label_50x30mm" : kMedia;
    const std::string pwg =
        fitted ? pwgOf({tsupport::labelPage(4 * kDpi, 6 * kDpi, 1)}, "na_index-4x6_4x6in")
               : pwgOf(labels(1));
    if (!app.ready || pwg.empty()) {
        state.SkipWithError("tarvik-printer-app did not start (needs root and PAPPL)");
        return;
    }
    double worst = 0;
    for (auto _ : state) {
        const auto t0 = vt58::Clock::now();
        const int job = app.printJob(pwg, "image/pwg-raster", media);
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
    state.counters["peak_rss_mib"] = peakRssMiB(app.pid);
}

// A 58 x 40 mm shipping label: a border, four lines of Helvetica, a barcode of 40 bars.
std::string pdfLabel() {
    using tsupport::mmToPt;
    std::string c = "1.7 w 7 7 150.4 99.4 re S\nBT /F1 9 Tf 14 88 Td (FROM: TARVIK LABELS) Tj ET\n"
                    "BT /F1 14 Tf 14 68 Td (MARI TAMM) Tj ET\n"
                    "BT /F1 10 Tf 14 54 Td (12 HARBOUR ROAD) Tj ET\n"
                    "BT /F1 10 Tf 14 42 Td (10111 TALLINN EE) Tj ET\n";
    double x = mmToPt(5);
    for (int i = 0; i < 40; ++i) {
        const double w = mmToPt(0.38) * (1 + i % 3);
        c += std::to_string(x) + " 14 " + std::to_string(w) + " 22 re f\n";
        x += w + mmToPt(0.38) * (1 + (i * 7) % 3);
    }
    return tsupport::pdfOfPages(
        {{mmToPt(58), mmToPt(40), c}},
        "<< /Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >> >>");
}

double pdfAppMs = 0;

void FirstFramePdfApp(benchmark::State& state) {
    App app;
    const std::string pdf = pdfLabel();
    if (!app.ready || app.pid <= 0) {
        state.SkipWithError("tarvik-printer-app did not start (needs root and PAPPL)");
        return;
    }
    double total = 0, worst = 0, cpu = 0;
    for (auto _ : state) {
        const double before = processCpuSeconds(app.pid, true);
        const auto t0 = vt58::Clock::now();
        const int job = app.printJob(pdf, "application/pdf");
        if (!app.completed(job)) {
            state.SkipWithError("the PDF job did not complete");
            app.reportProblems("the PDF job did not complete");
            return;
        }
        const double ms = msBetween(t0, firstPrintFrameAfter(app.vt.record(), t0));
        cpu += processCpuSeconds(app.pid, true) - before;
        total += ms;
        worst = std::max(worst, ms);
        state.SetIterationTime(ms / 1000.0);
    }
    pdfAppMs = total / double(state.iterations());
    state.counters["worst_ms"] = worst;
    state.counters["cpu_ms_per_label"] = cpu * 1000.0 / double(state.iterations());
}

// One step of the chain: stdin from the file, stdout kept in out; false when it failed.
bool chainStep(const std::vector<std::string>& argv, const cupstest::EnvPairs& env,
               const std::string& in, const std::string& out) {
    const cupstest::Proc p = cupstest::runProgram(argv, env, in, 60s);
    return p.status == 0 && (out.empty() || tsupport::writeFile(out, p.out));
}

// The chain a CUPS queue of the T58's PPD runs for a PDF, each step on the last one's file.
BackendRun runPdfChain(vt58::VirtualT58& vt, const std::string& pdf) {
    BackendRun r;
    const tjob::JobFolders folders("bench");
    const tsupport::TempDir& spool = folders.spool;
    const std::string filters = "/usr/lib/cups/filter/";
    const std::string job = std::to_string(tjob::kJobId);
    const std::vector<std::string> args = {job, "bench", "label", "1", "PageSize=58x40mm"};
    cupstest::EnvPairs env = cupstest::baseEnv();
    env.emplace_back("PPD", TARVIK_SOURCE_DIR "/packaging/t58-300.ppd");
    env.emplace_back("TMPDIR", spool.path());
    env.emplace_back("CONTENT_TYPE", "application/pdf");
    const auto step = [&](const std::string& exe, const std::string& in, const std::string& out) {
        std::vector<std::string> argv = {exe};
        argv.insert(argv.end(), args.begin(), args.end());
        return chainStep(argv, env, in, out);
    };
    rusage before{}, after{};
    getrusage(RUSAGE_CHILDREN, &before);
    r.started = vt58::Clock::now();
    const bool filtered = step(filters + "pdftopdf", pdf, spool.file("p.pdf")) &&
                          step(filters + "gstoraster", spool.file("p.pdf"), spool.file("p.ras")) &&
                          step(tsupport::binPath("rastertotarvik"), spool.file("p.ras"), "");
    if (filtered) {
        tjob::JobSpec backend;
        backend.writeRaster = false;
        backend.withPpd = false;
        backend.timeout = 120s;
        tjob::runJob(backend, &vt, folders);
    }
    getrusage(RUSAGE_CHILDREN, &after);
    r.cpu = cpuSeconds(after) - cpuSeconds(before);
    r.ok = filtered && vt.pageCount() == 1;
    return r;
}

void FirstFramePdfCups(benchmark::State& state) {
    tsupport::TempDir dir("bench-pdf");
    const std::string pdf = dir.file("label.pdf");
    if (!tsupport::writeFile(pdf, pdfLabel())) {
        state.SkipWithError("no PDF");
        return;
    }
    FirstFrames f;
    for (auto _ : state) {
        if (!firstFrameOnce(
                state, [&](vt58::VirtualT58& vt) { return runPdfChain(vt, pdf); },
                "the CUPS chain did not print", f)) {
            return;
        }
    }
    state.counters["worst_ms"] = f.worst;
    state.counters["cpu_ms_per_label"] = f.cpu * 1000.0 / double(state.iterations());
    if (pdfAppMs > 0) {
        state.counters["pdf_vs_cups"] = pdfAppMs / (f.total / double(state.iterations()));
    }
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

// One label of a burst: the printer (device) it went to and its job id, -1 when refused.
struct Sent {
    int printer = 0;
    int job = -1;
};

struct BurstRun {
    std::vector<Sent> sent; // by label number
    vt58::Clock::time_point start;
    bool started = false;
    size_t accepted() const {
        return size_t(
            std::count_if(sent.begin(), sent.end(), [](const Sent& s) { return s.job > 0; }));
    }
};

// The labels from `clients` threads let go at once, each sending its share in turn on its own
// connection, label i to printer i % printers.
BurstRun sendBurst(const App& app, const std::vector<std::string>& pwgs, int printers,
                   int clients) {
    BurstRun run;
    run.sent.resize(pwgs.size());
    const size_t share = pwgs.size() / size_t(clients);
    std::latch go(1);
    std::vector<std::thread> threads;
    try {
        for (size_t c = 0; c < size_t(clients); ++c) {
            threads.emplace_back([&app, &pwgs, &run, &go, share, printers, c] {
                go.wait();
                http_t* http = connectTo(app.server->port());
                for (size_t i = c * share; i < (c + 1) * share; ++i) {
                    Sent& s = run.sent[i];
                    s.printer = int(i % size_t(printers));
                    s.job = http != nullptr
                                ? app.printJob(http, pwgs[i], app.names[size_t(s.printer)])
                                : -1;
                }
                httpClose(http);
            });
        }
        run.started = true;
    } catch (const std::system_error&) {
        run.started = false;
    }
    run.start = vt58::Clock::now();
    go.count_down();
    for (std::thread& t : threads) {
        t.join();
    }
    return run;
}

bool waitPages(const vt58::VirtualT58& vt, size_t count, std::chrono::milliseconds timeout) {
    const auto until = vt58::Clock::now() + timeout;
    while (vt.pageCount() < count) {
        if (vt58::Clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Whether the pages from `from` on are the run's labels, each exactly once, whole, as sent and
// on the printer it was sent to; the last one's end in *last.
bool printedOnce(const std::vector<vt58::PrintedPage>& pages, size_t from, const BurstRun& run,
                 const std::vector<tsupport::RasterPage>& labels, vt58::Clock::time_point* last) {
    std::vector<int> seen(run.sent.size(), 0);
    bool once = pages.size() == from + run.sent.size();
    for (size_t i = from; i < pages.size(); ++i) {
        const vt58::PrintedPage& p = pages[i];
        *last = std::max(*last, p.ended);
        const uint32_t n = numberOf(p);
        once = once && p.complete && n < seen.size() && seen[n]++ == 0 && run.sent[n].job > 0 &&
               p.device == run.sent[n].printer && p.data == labels[n].pixels;
    }
    return once;
}

// The server's CPU per printed label compared with the backend's, when that was measured.
void cpuCounters(benchmark::State& state, double cpuSeconds, size_t printed) {
    const double perLabel = printed > 0 ? cpuSeconds * 1000.0 / double(printed) : 0;
    state.counters["cpu_ms_per_label"] = perLabel;
    if (backendCpuPerLabel > 0) {
        state.counters["cpu_vs_backend"] = perLabel / backendCpuPerLabel;
    }
}

void Burst(benchmark::State& state) {
    const int printers = int(state.range(0));
    const int clients = int(state.range(1));
    const size_t count = size_t(clients) * size_t(state.range(2));
    std::vector<tsupport::RasterPage> pages;
    std::vector<std::string> pwgs;
    for (size_t i = 0; i < count; ++i) {
        pages.push_back(numbered(uint32_t(i)));
        pwgs.push_back(pwgOf({pages.back()}));
    }
    App app(printers);
    if (!app.ready || app.pid <= 0 || int(app.names.size()) != printers ||
        std::any_of(pwgs.begin(), pwgs.end(), [](const std::string& p) { return p.empty(); })) {
        state.SkipWithError("tarvik-printer-app did not start (needs root and PAPPL)");
        return;
    }
    size_t sent = 0, accepted = 0, printed = 0;
    double seconds = 0, cpu = 0;
    bool once = true;
    for (auto _ : state) {
        const size_t before = app.vt.pageCount();
        const double cpuBefore = processCpuSeconds(app.pid);
        const BurstRun run = sendBurst(app, pwgs, printers, clients);
        if (!run.started) {
            state.SkipWithError("the clients did not start");
            return;
        }
        const bool arrived = waitPages(app.vt, before + run.accepted(), 60s);
        cpu += processCpuSeconds(app.pid) - cpuBefore;
        // Every job ended before the pages are counted, so a label printed twice shows.
        bool ended = true;
        for (const Sent& s : run.sent) {
            ended = ended && (s.job <= 0 || app.completed(s.job, app.names[size_t(s.printer)]));
        }
        const std::vector<vt58::PrintedPage> got = app.vt.pages();
        vt58::Clock::time_point last = run.start;
        const bool good = printedOnce(got, before, run, pages, &last) && ended;
        if (!good || run.accepted() != count) {
            app.reportProblems(("Burst: " + std::to_string(run.accepted()) + " of " +
                                std::to_string(count) + " accepted, " +
                                std::to_string(got.size() - before) + " pages")
                                   .c_str());
        }
        if (!arrived) {
            state.SkipWithError("the accepted labels were not all printed in time");
            return;
        }
        once = once && good;
        sent += count;
        accepted += run.accepted();
        printed += got.size() - before;
        const double s = msBetween(run.start, last) / 1000.0;
        seconds += s;
        state.SetIterationTime(s);
    }
    state.counters["accepted"] = 100.0 * double(accepted) / double(sent);
    state.counters["labels_per_s"] = double(printed) / seconds;
    state.counters["printed_once"] = once ? 1 : 0;
    cpuCounters(state, cpu, printed);
}

void QueuedMemory(benchmark::State& state) {
    constexpr int kPrinters = 8;
    constexpr int kClients = 10;
    constexpr size_t kQueued = 100;
    std::vector<tsupport::RasterPage> pages;
    std::vector<std::string> pwgs;
    for (size_t i = 0; i < kQueued; ++i) {
        pages.push_back(numbered(uint32_t(i)));
        pwgs.push_back(pwgOf({pages.back()}));
    }
    double queuedPeak = 0, printedPeak = 0;
    bool once = true;
    for (auto _ : state) {
        // A fresh server each time: the high-water mark is of this run alone.
        App app(kPrinters);
        if (!app.ready || app.pid <= 0 || app.names.size() != size_t(kPrinters)) {
            state.SkipWithError("tarvik-printer-app did not start (needs root and PAPPL)");
            return;
        }
        for (const std::string& name : app.names) {
            if (!app.printerOp(IPP_OP_PAUSE_PRINTER, name)) {
                state.SkipWithError("Pause-Printer was refused");
                return;
            }
        }
        const BurstRun run = sendBurst(app, pwgs, kPrinters, kClients);
        const bool held = app.vt.pageCount() == 0;
        queuedPeak = std::max(queuedPeak, peakRssMiB(app.pid));
        const auto resumed = vt58::Clock::now();
        for (const std::string& name : app.names) {
            if (!app.printerOp(IPP_OP_RESUME_PRINTER, name)) {
                state.SkipWithError("Resume-Printer was refused");
                return;
            }
        }
        const bool arrived = waitPages(app.vt, run.accepted(), 60s);
        bool ended = true;
        for (const Sent& s : run.sent) {
            ended = ended && (s.job <= 0 || app.completed(s.job, app.names[size_t(s.printer)]));
        }
        printedPeak = std::max(printedPeak, peakRssMiB(app.pid));
        vt58::Clock::time_point last = resumed;
        const bool good =
            run.started && held && ended && printedOnce(app.vt.pages(), 0, run, pages, &last);
        if (!good || !arrived) {
            app.reportProblems(("QueuedMemory: " + std::to_string(run.accepted()) + " of " +
                                std::to_string(kQueued) + " accepted, " +
                                std::to_string(app.vt.pageCount()) + " pages" +
                                (held ? "" : ", some printed while paused"))
                                   .c_str());
        }
        if (!arrived) {
            state.SkipWithError("the queued labels were not all printed in time");
            return;
        }
        once = once && good;
        state.SetIterationTime(msBetween(resumed, last) / 1000.0);
    }
    state.counters["peak_rss_mib"] = queuedPeak;
    state.counters["printed_rss_mib"] = printedPeak;
    state.counters["printed_once"] = once ? 1 : 0;
}

BENCHMARK(FirstFrameBackend)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(FirstFrameApp)
    ->ArgName("fitted")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(FirstFramePdfApp)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(FirstFramePdfCups)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(HundredLabelsBackend)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(HundredLabelsApp)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(Burst)
    ->ArgNames({"printers", "clients", "labels"})
    ->Args({1, 6, 7})
    ->Args({2, 6, 7})
    ->Args({8, 16, 6})
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(QueuedMemory)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
