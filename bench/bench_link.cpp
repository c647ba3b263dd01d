// The backend against the virtual T58 answering at once:
//  - SpoolToFirstStatus: from the spool file appearing (renamed into place) to the printer
//    receiving the first status request (manual time; the spool poll is 100 ms);
//  - HundredLabelJob: a 100-label job of 58 x 40 mm at 300 dpi (576 x 472 dots), with the
//    backend's own CPU time per label and its resident memory at page 1, page 100 and peak;
//  - PrintersAtOnce/N: N virtual printers driven at once from one process (core_threads, a
//    thread per printer), 40 labels each: CPU per label and labels per second, and the CPU
//    per label against one printer's (it should stay flat as printers are added).
#include "bench/label.h"
#include "tests/link/thread_pages.h"
#include "tests/support/job.h"
#include "tests/support/support.h"
#include "vt58/vt58.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using tsupport::cpuSeconds;

using namespace std::chrono_literals;

using benchlabel::kLabelH;
using benchlabel::kLabelW;
using benchlabel::label;

// The backend's job, its spool file made by the benchmark itself.
tjob::JobSpec backendJob() {
    tjob::JobSpec job;
    job.writeRaster = false;
    job.withPpd = false;
    job.timeout = 120s;
    return job;
}

double msBetween(vt58::Clock::time_point a, vt58::Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

void SpoolToFirstStatus(benchmark::State& state) {
    double worst = 0;
    for (auto _ : state) {
        vt58::VirtualT58 vt;
        const tjob::JobFolders folders("bench");
        const std::string staged = folders.spool.file("staged");
        if (!vt.ok() || !tsupport::writeRaster(staged, {label(0)})) {
            state.SkipWithError("virtual T58 or raster not ready");
            return;
        }
        tsupport::RunResult run;
        std::thread backend([&] { run = tjob::runJob(backendJob(), &vt, folders).run; });
        std::this_thread::sleep_for(250ms); // the backend is polling for its spool file
        std::filesystem::rename(staged, folders.rasterPath());
        const auto appeared = vt58::Clock::now();
        backend.join();
        const vt58::Record record = vt.record();
        if (record.frames.empty()) {
            state.SkipWithError("no status request arrived");
            return;
        }
        const double ms = msBetween(appeared, record.frames.front().at);
        worst = std::max(worst, ms);
        state.SetIterationTime(ms / 1000.0);
    }
    state.counters["worst_ms"] = worst;
}

long statusKiB(pid_t pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) {
            return std::atol(line.c_str() + key.size());
        }
    }
    return -1;
}

void HundredLabelJob(benchmark::State& state) {
    constexpr uint32_t kLabels = 100;
    std::vector<tsupport::RasterPage> pages;
    for (uint32_t i = 0; i < kLabels; ++i) {
        pages.push_back(label(i));
    }
    double cpuPerLabel = 0, wallPerLabel = 0;
    long rssFirst = 0, rssLast = 0, peak = 0;
    for (auto _ : state) {
        vt58::VirtualT58 vt;
        const tjob::JobFolders folders("bench");
        if (!vt.ok() || !tsupport::writeRaster(folders.rasterPath(), pages)) {
            state.SkipWithError("virtual T58 or raster not ready");
            return;
        }
        tjob::JobSpec job = backendJob();
        rssFirst = rssLast = peak = 0;
        // Sampled while the job runs.
        job.watch = [&](pid_t pid) {
            if (vt.pageCount() >= 1) {
                const long rss = statusKiB(pid, "VmRSS");
                rssFirst = rssFirst == 0 ? rss : rssFirst;
                rssLast = rss > 0 ? rss : rssLast;
                peak = std::max(peak, statusKiB(pid, "VmHWM"));
            }
        };
        rusage before{}, after{};
        getrusage(RUSAGE_CHILDREN, &before);
        const tsupport::RunResult run = tjob::runJob(job, &vt, folders).run;
        getrusage(RUSAGE_CHILDREN, &after);
        if (vt.pageCount() != kLabels) {
            state.SkipWithError("not every label was printed");
            return;
        }
        cpuPerLabel = (cpuSeconds(after) - cpuSeconds(before)) * 1000.0 / kLabels;
        wallPerLabel = run.seconds * 1000.0 / kLabels;
        state.SetIterationTime(run.seconds);
    }
    state.counters["cpu_ms_per_label"] = cpuPerLabel;
    state.counters["wall_ms_per_label"] = wallPerLabel;
    state.counters["rss_page1_MiB"] = double(rssFirst) / 1024.0;
    state.counters["rss_last_MiB"] = double(rssLast) / 1024.0;
    state.counters["peak_rss_MiB"] = double(peak) / 1024.0;
}

double onePrinterCpuPerLabel = 0;

void PrintersAtOnce(benchmark::State& state) {
    constexpr int kLabelsEach = 40;
    const int printers = int(state.range(0));
    double cpuTotal = 0, wallTotal = 0;
    size_t printed = 0;
    for (auto _ : state) {
        vt58::Scenario scenario;
        tsupport::RunOptions o;
        for (int i = 0; i < printers; ++i) {
            vt58::PrinterSetup setup;
            setup.serial = "BENCH-" + std::to_string(i);
            scenario.printers.push_back(setup);
            threadpages::Job job;
            job.serial = setup.serial;
            job.pages = kLabelsEach;
            o.args.push_back(threadpages::text(job));
        }
        vt58::VirtualT58 vt(scenario);
        tsupport::TempDir shm("bench-shm");
        if (!vt.ok()) {
            state.SkipWithError("virtual T58 not ready");
            return;
        }
        o.exe = tsupport::binPath("core_threads");
        o.env = vt.withChildEnv({});
        o.shmDir = shm.path();
        o.timeout = 300s;
        rusage before{}, after{};
        getrusage(RUSAGE_CHILDREN, &before);
        const tsupport::RunResult run = tsupport::runBackend(o);
        getrusage(RUSAGE_CHILDREN, &after);
        const size_t labels = size_t(printers) * kLabelsEach;
        if (vt.pageCount() != labels) {
            state.SkipWithError("not every label was printed");
            return;
        }
        cpuTotal += cpuSeconds(after) - cpuSeconds(before);
        wallTotal += run.seconds;
        printed += labels;
        state.SetIterationTime(run.seconds);
    }
    if (printed == 0) {
        return;
    }
    // Over all iterations: one run's figure moves with whatever else the machine does.
    const double cpuPerLabel = cpuTotal * 1000.0 / double(printed);
    const double labelsPerSecond = double(printed) / wallTotal;
    if (printers == 1) {
        onePrinterCpuPerLabel = cpuPerLabel;
    }
    state.counters["cpu_ms_per_label"] = cpuPerLabel;
    state.counters["labels_per_s"] = labelsPerSecond;
    if (onePrinterCpuPerLabel > 0) {
        state.counters["cpu_vs_one_printer"] = cpuPerLabel / onePrinterCpuPerLabel;
    }
}

BENCHMARK(SpoolToFirstStatus)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(HundredLabelJob)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(PrintersAtOnce)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
