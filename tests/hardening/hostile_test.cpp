// Hostile files: links and pipes planted in the spool folder and in /dev/shm, raster
// headers that lie about their pages, truncated streams, PPDs with thousands of options or
// absurd values. Every job must end with its end line and exit status 0 in bounded time and
// memory, leave files it does not own untouched, and print only what its page holds.
#include "backend/spool_path.h"
#include "tests/hardening/harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

namespace {

using namespace hard;
using tsupport::countOf;
using tsupport::isSymlink;
using tsupport::RasterPage;

constexpr int kHeadBytes = 72; // the virtual T58's default head: 300 dpi, 576 dots

std::string rasterName() {
    return spoolPath("", kJobId).substr(1);
}

// A head-wide page prints exactly as it is.
void expectPrintedAsIs(const vt58::PrintedPage& got, const RasterPage& page) {
    EXPECT_TRUE(got.complete);
    EXPECT_EQ(got.rowBytes, kHeadBytes);
    EXPECT_EQ(got.pageLines, static_cast<int>(page.height));
    EXPECT_TRUE(got.data == page.pixels) << "the printed dots differ from the page";
}

size_t printFrameCount(const tjob::JobResult& r) {
    return framesOf(r.record).size();
}

// ---- The spool file --------------------------------------------------------------------

TEST(HostileSpool, SymbolicLinkIsNotReadAndItsTargetStays) {
    const std::string bytes = rasterStream({rawOf(labelPage(576, 40, 1))});
    std::string target;
    Job job;
    job.rasterBytes = "placeholder, replaced by a link";
    job.prepare = [&](const std::string& spool, const std::string&) {
        target = spool + "/elsewhere.ras";
        ASSERT_TRUE(tsupport::writeFile(target, bytes));
        const std::string link = spool + "/" + rasterName();
        ASSERT_EQ(unlink(link.c_str()), 0);
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    };
    const tjob::JobFolders folders("hard");
    auto r = runJob(job, folders);
    ASSERT_TRUE(r);
    EXPECT_EQ(endResult(r->run.log), -1) << r->run.log;
    EXPECT_EQ(countOf(r->run.log, "tarvik_backend: fd < 0\n"), 1u);
    EXPECT_EQ(printFrameCount(*r), 0u);
    EXPECT_EQ(tsupport::readFile(target), bytes);
    EXPECT_TRUE(isSymlink(folders.rasterPath()));
}

// A pipe in the spool file's place: an open for reading would wait for a writer that never
// comes, and a cancel could not end the wait. It is not the job's raster: the wait runs its
// 200 polls and the job ends as for a file that cannot be opened.
TEST(HostileSpool, PipeOrFolderIsNotTheRaster_Slow) {
    for (bool pipe : {true, false}) {
        SCOPED_TRACE(pipe ? "pipe" : "folder");
        Job job;
        job.rasterBytes = "placeholder, replaced";
        job.timeout = 60s;
        job.prepare = [&](const std::string& spool, const std::string&) {
            const std::string path = spool + "/" + rasterName();
            ASSERT_EQ(unlink(path.c_str()), 0);
            ASSERT_EQ(pipe ? mkfifo(path.c_str(), 0666) : mkdir(path.c_str(), 0755), 0);
        };
        auto r = runJob(job);
        ASSERT_TRUE(r);
        EXPECT_LT(r->run.seconds, 40.0);
        EXPECT_EQ(endResult(r->run.log), -1) << r->run.log.substr(0, 2000);
        EXPECT_EQ(printFrameCount(*r), 0u);
    }
}

// ---- Files in /dev/shm that are not the backend's --------------------------------------

TEST(HostileShm, SymbolicLinksAreNotFollowedAndTheJobPrints) {
    const RasterPage page = labelPage(576, 40, 2);
    // The log, both dumps and the raw dump of a 576 x 40 page.
    for (const char* name : {"t58print.log", "b.bmp", "c.bmp", "576_40_72.data"}) {
        SCOPED_TRACE(name);
        tsupport::TempDir elsewhere("hard-elsewhere");
        const std::string target = elsewhere.file("precious");
        ASSERT_TRUE(tsupport::writeFile(target, "not the backend's\n"));
        std::string link;
        Job job;
        job.pages = {page};
        job.prepare = [&](const std::string&, const std::string& shm) {
            link = shm + "/" + name;
            ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        };
        const tjob::JobFolders folders("hard");
        auto r = runJob(job, folders);
        ASSERT_TRUE(r);
        EXPECT_EQ(tsupport::readFile(target), "not the backend's\n");
        EXPECT_TRUE(isSymlink(link));
        EXPECT_EQ(endResult(r->run.log + r->run.err), 0);
        ASSERT_EQ(r->record.pages.size(), 1u);
        expectPrintedAsIs(r->record.pages[0], page);
    }
}

// The test runner reads the log after the run; a read-only open of a pipe waits for a
// writer. This keeps opening it for writing (without blocking) until stopped, so that the
// read sees an empty pipe with no writer: end of file.
class PipeUnblocker {
  public:
    explicit PipeUnblocker(std::string path) : path_(std::move(path)) {
        thread_ = std::thread([this] {
            while (!stop_) {
                const int fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (fd >= 0) {
                    close(fd);
                }
                std::this_thread::sleep_for(2ms);
            }
        });
    }
    ~PipeUnblocker() {
        stop_ = true;
        thread_.join();
    }
    PipeUnblocker(const PipeUnblocker&) = delete;
    PipeUnblocker& operator=(const PipeUnblocker&) = delete;

  private:
    std::string path_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A pipe that nobody reads fills after 64 KiB; a write into it would block for good.
TEST(HostileShm, PipesInsteadOfFilesDoNotHangTheJob) {
    const RasterPage page = labelPage(576, 1200, 3); // dumps and log well over 64 KiB
    for (const char* name : {"b.bmp", "c.bmp", "t58print.log"}) {
        for (bool cancel : {false, true}) {
            SCOPED_TRACE(std::string(name) + (cancel ? ", cancelled" : ""));
            Job job;
            job.pages = {page};
            job.timeout = 40s;
            std::unique_ptr<PipeUnblocker> unblocker;
            job.prepare = [&](const std::string&, const std::string& shm) {
                ASSERT_EQ(mkfifo((shm + "/" + name).c_str(), 0666), 0);
                unblocker = std::make_unique<PipeUnblocker>(shm + "/" + name);
            };
            const auto start = std::chrono::steady_clock::now();
            if (cancel) {
                job.termWhen = [start](const vt58::VirtualT58&) {
                    return std::chrono::steady_clock::now() - start > 3s;
                };
            }
            auto r = runJob(job);
            ASSERT_TRUE(r);
            EXPECT_LT(r->run.seconds, 30.0);
            if (!cancel) {
                ASSERT_EQ(r->record.pages.size(), 1u);
                expectPrintedAsIs(r->record.pages[0], page);
            }
        }
    }
}

// ---- Raster headers that lie -----------------------------------------------------------

TEST(HostileRaster, ZeroAndHugeDimensionsEndCleanlyAndLaterPagesPrint) {
    const RasterPage good = labelPage(576, 30, 4);
    struct Case {
        const char* what;
        RawPage page;
        bool compressed;
    };
    const std::vector<Case> cases = {
        {"no dots wide", {0, 10, 1, 1, std::vector<uint8_t>(10, 0xFF)}, false},
        // Fits the page bound but not the image work: refused there.
        {"100,000 lines", {576, 100000, 72, 1, std::vector<uint8_t>(7200000, 0)}, true},
        // Beyond the page bound: refused before it is read, and read past.
        {"1,000,000 lines", {576, 1000000, 72, 1, std::vector<uint8_t>(72000000, 0)}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Job job;
        job.rasterBytes = rasterStream({c.page, rawOf(good)}, c.compressed);
        long hwm = 0;
        job.watch = [&](pid_t pid) { hwm = std::max(hwm, usageOf(pid).hwmKiB); };
        auto r = runJob(job);
        ASSERT_TRUE(r);
        EXPECT_LT(hwm, 160 * 1024) << "KiB at most";
        std::printf("%s: peak resident %ld KiB, %.2f s\n", c.what, hwm, r->run.seconds);
        ASSERT_FALSE(r->record.pages.empty()) << r->run.log.substr(0, 4000);
        expectPrintedAsIs(r->record.pages.back(), good);
        EXPECT_EQ(endResult(r->run.log), 0);
    }
}

TEST(HostileRaster, HeaderBeyondAnyPageIsRefusedWithoutItsBytes) {
    // 4 billion dots wide and 500 MB a line, and the stream ends after the header.
    Job job;
    job.rasterBytes = rasterStream({{4000000000u, 1, 500000000u, 1, {}}});
    long hwm = 0;
    job.watch = [&](pid_t pid) { hwm = std::max(hwm, usageOf(pid).hwmKiB); };
    auto r = runJob(job);
    ASSERT_TRUE(r);
    EXPECT_EQ(printFrameCount(*r), 0u);
    EXPECT_LT(hwm, 160 * 1024) << "KiB at most";
    EXPECT_LT(r->run.seconds, 10.0);
    std::printf("peak resident %ld KiB, %.2f s\n", hwm, r->run.seconds);
}

TEST(HostileRaster, RowsShorterThanTheWidthAreRefusedAndTheNextPagePrints) {
    const RasterPage good = labelPage(576, 30, 5);
    Job job;
    job.rasterBytes =
        rasterStream({{576, 20, 10, 1, std::vector<uint8_t>(200, 0xFF)}, rawOf(good)});
    auto r = runJob(job);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->record.pages.size(), 1u) << r->run.log;
    expectPrintedAsIs(r->record.pages[0], good);
}

// Rows padded past the width: the padding is not part of the page and must not print,
// whatever bytes it holds, turned or not.
TEST(HostileRaster, RowsLongerThanTheWidthPrintOnlyTheirDots) {
    constexpr uint32_t w = 100, h = 40, padded = 20, lineBytes = (w + 7) / 8;
    const RasterPage dots = labelPage(w, h, 6);
    RawPage raw{w, h, padded, 1, std::vector<uint8_t>(size_t{padded} * h, 0xFF)};
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t b = 0; b < lineBytes; ++b) {
            raw.pixels[y * padded + b] = dots.pixels[y * lineBytes + b];
        }
        raw.pixels[y * padded + lineBytes - 1] |= 0x0F; // bits 100 to 103: past the width
    }
    for (int rotation : {0, 1, 2, 3}) {
        SCOPED_TRACE("rotation " + std::to_string(rotation));
        Job job;
        job.rasterBytes = rasterStream({raw});
        job.ppd = {{"RotationAngle", std::to_string(rotation)}};
        auto r = runJob(job);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->record.pages.size(), 1u) << r->run.log;
        const vt58::PrintedPage& got = r->record.pages[0];
        // As many dots as the page has, wherever the turn and the centring put them.
        size_t want = 0, printed = 0;
        for (uint8_t b : dots.pixels) {
            want += static_cast<size_t>(__builtin_popcount(b));
        }
        for (uint8_t b : got.data) {
            printed += static_cast<size_t>(__builtin_popcount(b));
        }
        EXPECT_EQ(printed, want) << "dots printed that the page does not have";
    }
}

TEST(HostileRaster, TruncatedHeaderEndsTheJobAfterTheWholePages) {
    const RasterPage page = labelPage(576, 30, 7);
    std::string bytes = rasterStream({rawOf(page), rawOf(page)});
    const std::string one = rasterStream({rawOf(page)});
    bytes.resize(one.size() + 600); // page 2's header cut short
    Job job;
    job.rasterBytes = bytes;
    auto r = runJob(job);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->record.pages.size(), 1u);
    expectPrintedAsIs(r->record.pages[0], page);
    EXPECT_EQ(endResult(r->run.log), 0);
}

// A page cut short reads as a file still being written: the backend reads the file again
// (200 times, 100 ms apart), and never prints a page twice.
TEST(HostileRaster, TruncatedPixelsEndTheJobWithoutReprinting_Slow) {
    const RasterPage page = labelPage(576, 30, 8);
    std::string bytes = rasterStream({rawOf(page), rawOf(labelPage(576, 300, 9))});
    const std::string one = rasterStream({rawOf(page)});
    bytes.resize(one.size() + 1796 + 4 + 5000); // page 2: header and a third of its pixels
    Job job;
    job.rasterBytes = bytes;
    job.timeout = 90s;
    auto r = runJob(job);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->record.pages.size(), 1u);
    expectPrintedAsIs(r->record.pages[0], page);
    EXPECT_EQ(endResult(r->run.log), -1);
}

// ---- PPD files ---------------------------------------------------------------------------

TEST(HostilePpd, ThousandsOfOptionsReadInBoundedTime) {
    Defaults defaults;
    for (int i = 0; i < 5000; ++i) {
        defaults.emplace_back("Extra" + std::to_string(i), "Choice" + std::to_string(i % 7));
    }
    defaults.emplace_back("Blackness", "7");
    defaults.emplace_back("CutterSet", "2");
    const RasterPage page = labelPage(576, 30, 10);
    Job job;
    job.pages = {page};
    job.ppd = defaults;
    auto r = runJob(job);
    ASSERT_TRUE(r);
    EXPECT_LT(r->run.seconds, 20.0);
    EXPECT_EQ(countOf(r->run.log, "tarvik_getCupsParm: "), 2u);
    const auto frames = framesOf(r->record);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].bytes[4], 0xE7);
    EXPECT_EQ(frames[0].bytes[5], 0x02);
    ASSERT_EQ(r->record.pages.size(), 1u);
    expectPrintedAsIs(r->record.pages[0], page);
}

TEST(HostilePpd, AbsurdValuesEndCleanly) {
    const RasterPage page = labelPage(576, 40, 11);
    struct Case {
        const char* what;
        Defaults ppd;
        int frames; // -1: any number
        int result;
    };
    const std::vector<Case> cases = {
        {"numbers past 32 bits and bytes that wrap",
         {{"RotationAngle", "2147483648"},
          {"Blackness", "-1"},
          {"CutterSet", "99999999999999999999"},
          {"HorizontalOffsetValue", "200"},
          {"VerticalOffsetValue", "-3"}},
         2,
         0},
        {"template of 2^31 - 1 cm", {{"StpTemplateCM", "2147483647"}}, 0, -1},
        {"template below zero", {{"StpTemplateCM", "-1"}, {"StpTemplateMM", "-9"}}, 0, -1},
        {"template of no length", {{"StpTemplateCM", "0"}, {"StpTemplateMM", "0"}}, 0, 0},
        {"offsets past the head and the page",
         {{"HorizontalOffset", "0"},
          {"HorizontalOffsetValue", "127"},
          {"VerticalOffset", "1"},
          {"VerticalOffsetValue", "127"}},
         -1,
         0},
        {"format directives as values",
         {{"Blackness", "%n%s%n%s"}, {"RotationAngle", "%x%x%n"}},
         2,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Job job;
        job.pages = {page};
        job.ppd = c.ppd;
        auto r = runJob(job);
        ASSERT_TRUE(r);
        EXPECT_EQ(endResult(r->run.log), c.result) << r->run.log.substr(0, 3000);
        if (c.frames >= 0) {
            EXPECT_EQ(printFrameCount(*r), static_cast<size_t>(c.frames));
        }
    }
}

} // namespace
