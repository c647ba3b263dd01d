// Several printers driven at once from one process (core_threads), each by its own thread:
// every page each printer got is the head page of that printer's own job, whatever the
// other threads do. Run against a ThreadSanitizer build of core_threads when there is one
// (TARVIK_TSAN_CORE_THREADS), so a data race fails the test.
#include "image/assemble.h"
#include "link/status.h"
#include "tests/link/thread_pages.h"
#include "tests/support/support.h"
#include "vt58/vt58.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

namespace {

using namespace std::chrono_literals;
using threadpages::Job;

std::string coreThreadsExe() {
    const char* tsan = std::getenv("TARVIK_TSAN_CORE_THREADS");
    return tsan != nullptr && *tsan != '\0' ? tsan : tsupport::binPath("core_threads");
}

// The head page the printer must get for one page of a job, as the page path builds it
// alone in this process (dstData before the byte swap, which the printer undoes).
std::vector<uint8_t> expectedPage(const Job& job, int page, const HeadGeometry& head) {
    static PageWork work;
    work.dumps.enabled = false;
    std::vector<uint8_t> pixels = threadpages::pattern(job, page);
    PageData pd = threadpages::record(job, pixels);
    const int assembled = procData(work, head, &pd, CoreLog{});
    if (assembled != 0) {
        return {};
    }
    const uint8_t* dst = work.dstData.get();
    return {dst, dst + size_t(pd.h) * size_t(head.t58RowBytes)};
}

struct Printer {
    Job job;
    vt58::PrinterSetup setup;
};

Printer printerOf(int i) {
    Printer p;
    p.job.serial = "MT-" + std::to_string(i);
    p.job.rotation = i % 4;
    p.job.darkness = 3 * i;
    p.job.xOffset = i % 3;
    p.job.pages = 3;
    p.setup.serial = p.job.serial;
    p.setup.headByte = static_cast<uint8_t>(i % 2);
    if (i % 3 == 1) {
        p.setup.refusePrint(2, 3); // the second block is refused three times
    }
    if (i == 3) {
        // Gone at its second head query, back 400 ms later: that page waits for it.
        p.setup.vanish(vt58::Site::StatusReply, 3, 400);
    }
    return p;
}

void driveAtOnce(int count) {
    std::vector<Printer> printers;
    vt58::Scenario scenario;
    for (int i = 0; i < count; ++i) {
        printers.push_back(printerOf(i));
        scenario.printers.push_back(printers.back().setup);
    }
    vt58::VirtualT58 vt(scenario);
    ASSERT_TRUE(vt.ok()) << vt.setupError();
    tsupport::TempDir shm("threads-shm");
    tsupport::RunOptions options;
    options.exe = coreThreadsExe();
    for (const Printer& p : printers) {
        options.args.push_back(threadpages::text(p.job));
    }
    options.env = vt.withChildEnv(tsupport::withSanitizerOptions({}));
    options.shmDir = shm.path();
    options.timeout = 120s;
    const tsupport::RunResult run = tsupport::runBackend(options);
    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(tsupport::countOf(run.err, "Sanitizer"), 0u) << run.err;

    const std::vector<vt58::PrintedPage> pages = vt.pages();
    for (int d = 0; d < count; ++d) {
        const Printer& p = printers[size_t(d)];
        SCOPED_TRACE(p.job.serial);
        HeadGeometry head;
        ASSERT_TRUE(headOfType(p.setup.headByte, &head));
        EXPECT_EQ(tsupport::countOf(run.out, p.job.serial + " page "), size_t(p.job.pages));
        std::vector<const vt58::PrintedPage*> got;
        for (const vt58::PrintedPage& page : pages) {
            if (page.device == d) {
                got.push_back(&page);
            }
        }
        ASSERT_EQ(got.size(), size_t(p.job.pages));
        for (int n = 0; n < p.job.pages; ++n) {
            EXPECT_TRUE(got[size_t(n)]->complete) << "page " << n;
            EXPECT_EQ(got[size_t(n)]->rowBytes, head.t58RowBytes);
            EXPECT_EQ(got[size_t(n)]->darkness, 0xE0 | p.job.darkness);
            EXPECT_TRUE(got[size_t(n)]->data == expectedPage(p.job, n, head)) << "page " << n;
        }
        // Each printer's dumps carry its serial: none is written by two threads.
        EXPECT_FALSE(tsupport::readFile(shm.file("c-" + p.job.serial + ".bmp")).empty());
    }
}

TEST(CoreThreads, TwoPrintersAtOnceEachGetTheirOwnPages) {
    driveAtOnce(2);
}

TEST(CoreThreads, EightPrintersAtOnceWithRefusalsAndAVanishingPrinter) {
    driveAtOnce(8);
}

} // namespace
