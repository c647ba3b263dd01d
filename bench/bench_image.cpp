// procData against the floor its design sets: clearing the two scratch pages and one
// copy of the page. Run with standard error sent to /dev/null (one log line per row).

#include "diag/dump.h"
#include "image/assemble.h"
#include "image/rotate.h"
#include "tests/support/support.h"

#include <benchmark/benchmark.h>

#include <sched.h>
#include <sys/mount.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

PageWork& work() {
    static PageWork pageWork;
    return pageWork;
}

const tsupport::RasterPage& label() {
    static const tsupport::RasterPage page = tsupport::randomPage(576, 472, 1);
    return page;
}

const tsupport::RasterPage& longPage() {
    static const tsupport::RasterPage page = tsupport::randomPage(576, 3600, 2);
    return page;
}

void assemblePage(benchmark::State& state, const tsupport::RasterPage& page, int8_t rotation) {
    std::vector<uint8_t> pixels = page.pixels;
    for (auto _ : state) {
        PageData pd{};
        pd.w = static_cast<int32_t>(page.width);
        pd.h = static_cast<int32_t>(page.height);
        pd.rowBytes = static_cast<int32_t>(page.bytesPerLine);
        pd.templateCM = kNoTemplate;
        pd.rotation = rotation;
        pd.data = pixels.data();
        benchmark::DoNotOptimize(procData(work(), kHead300, &pd, CoreLog{}));
        benchmark::DoNotOptimize(work().dstData.get());
    }
    releaseDstData(work());
}

void floorOf(benchmark::State& state, const tsupport::RasterPage& page) {
    std::vector<uint8_t> copy(page.pixels.size());
    for (auto _ : state) {
        memset(work().tmpData.get(), 0, kScratchBytes);
        memset(work().pdData.get(), 0, kScratchBytes);
        memcpy(copy.data(), page.pixels.data(), copy.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
}

void BM_ProcDataLabel(benchmark::State& state) {
    assemblePage(state, label(), 0);
}
void BM_FloorLabel(benchmark::State& state) {
    floorOf(state, label());
}
void BM_ProcDataLongPageTurned(benchmark::State& state) {
    assemblePage(state, longPage(), 1);
}
void BM_FloorLongPage(benchmark::State& state) {
    floorOf(state, longPage());
}

// The quarter turn alone, for the share of the rotation in the turned page's time.
void BM_QuarterTurnLongPage(benchmark::State& state) {
    const tsupport::RasterPage& page = longPage();
    for (auto _ : state) {
        uint8_t* tmpData = work().tmpData.get();
        memset(tmpData, 0, 452 * 576);
        qzRotateData(576, 3600, page.pixels.data(), 3616, 576, tmpData, 1);
        benchmark::ClobberMemory();
    }
}

// The page dump procData writes for the turned page (a BMP and a raw file of 260 kB).
void BM_DumpTurnedLongPage(benchmark::State& state) {
    for (auto _ : state) {
        saveImage(work().tmpData.get(), 452 * 576, 3616, 576, "/dev/shm/b.bmp");
    }
}

BENCHMARK(BM_ProcDataLabel)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FloorLabel)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProcDataLongPageTurned)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FloorLongPage)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_QuarterTurnLongPage)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DumpTurnedLongPage)->Unit(benchmark::kMicrosecond);

} // namespace

// The page dumps go to /dev/shm: the run gets a private tmpfs there first.
int main(int argc, char** argv) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/dev/shm", "tmpfs", 0, nullptr) != 0) {
        perror("bench_image: no private /dev/shm");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
