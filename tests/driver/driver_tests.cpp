// The job driver run as CUPS runs it, with the printer calls replaced by a recording double.
#include "tests/support/job.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

using namespace tsupport;

namespace {

using tjob::endResult;
using tjob::kJobId;

uint64_t fnv1a(const std::vector<uint8_t>& data) {
    uint64_t hash = 1469598103934665603ull;
    for (uint8_t b : data) {
        hash = (hash ^ b) * 1099511628211ull;
    }
    return hash;
}

std::string hashText(const std::vector<uint8_t>& data) {
    char text[32];
    snprintf(text, sizeof text, "hash=%016llx", static_cast<unsigned long long>(fnv1a(data)));
    return text;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        out.push_back(text.substr(start, end - start));
    }
    return out;
}

// The fake backend's job: the test writes the spool file, and the PPD when it wants one;
// the recording double's record beside the raster. Run with tjob::runJob(job, nullptr,
// job.folders).
struct DriverJob : tjob::JobSpec {
    tjob::JobFolders folders{"tarvik"};
    const TempDir& spool = folders.spool;
    const TempDir& shm = folders.shm;

    DriverJob() {
        program = "tarvik_fake";
        writeRaster = false;
        withPpd = false;
        env = {{"TARVIK_FAKE_RECORD", recordPath()}};
    }
    std::string rasterPath() const { return folders.rasterPath(); }
    std::string recordPath() const { return spool.file("record.txt"); }
    std::string record() const { return readFile(recordPath()); }
    std::vector<std::string> prints() const {
        std::vector<std::string> out;
        for (auto& line : lines(record())) {
            if (line.rfind("print ", 0) == 0) {
                out.push_back(line);
            }
        }
        return out;
    }
};

RasterPage stripes(uint32_t w, uint32_t h) {
    return makePage(w, h, [](uint32_t x, uint32_t y) { return (x / 3 + y) % 4 == 0; });
}

} // namespace

TEST(JobLog, WritesStartArgumentsPagesAndEndLineExactly) {
    DriverJob job;
    job.withPpd = true;
    job.ppd = {{"RotationAngle", "3"}, {"Blackness", "12abc"}};
    ASSERT_TRUE(writeRaster(job.rasterPath(), {stripes(384, 10), stripes(576, 3)}));
    uintmax_t rasterSize = std::filesystem::file_size(job.rasterPath());
    RunResult r = tjob::runJob(job, nullptr, job.folders).run;
    ASSERT_TRUE(endResult(r.log).has_value()) << r.log;
    std::string expected = "tarvik_backend: start,argc = 6\n"
                           "tarvik_backend: argv[0] =  " +
                           binPath("tarvik_fake") +
                           "\n"
                           "tarvik_backend: argv[1] =  " +
                           std::to_string(kJobId) + "\n" +

                           "tarvik_backend: argv[2] =  labeluser\n"
                           "tarvik_backend: argv[3] =  label job\n"
                           "tarvik_backend: argv[4] =  1\n"
                           "tarvik_backend: argv[5] =  \n"
                           "tarvik_getCupsParm: RotationAngle (RotationAngle label):3(3)\n"
                           "tarvik_getCupsParm: Blackness (Blackness label):12abc(12)\n"
                           "tarvik_backend: tmpfile = " +
                           job.rasterPath() + "\ntarvik_backend: RasterFile Size:..... " +
                           std::to_string(rasterSize) +
                           "\n"
                           "tarvik_backend: Print, w = 384 h = 10 b = 48\n"
                           "tarvik_backend: Print, w = 576 h = 3 b = 72\n"
                           "tarvik_backend: end, return = 0, fd = 3\n";
    EXPECT_EQ(r.log, expected);
    EXPECT_EQ(job.record(),
              "init ok\n" + job.prints()[0] + "\nclose\ninit ok\n" + job.prints()[1] + "\nclose\n");
    EXPECT_FALSE(std::filesystem::exists(job.rasterPath())) << "spool file left behind";
}

TEST(JobPages, PassesEveryPageWithItsGeometryAndMaskedLastBytes) {
    DriverJob job;
    RasterPage full = makePage(401, 7, [](uint32_t, uint32_t) { return true; });
    std::fill(full.pixels.begin(), full.pixels.end(), 0xFF); // bits past the width set too
    RasterPage exact = randomPage(384, 5, 7);
    RasterPage larger = randomPage(576, 300, 9); // larger than the buffer of page 1
    ASSERT_TRUE(writeRaster(job.rasterPath(), {full, exact, larger}));
    RunResult r = tjob::runJob(job, nullptr, job.folders).run;
    ASSERT_TRUE(endResult(r.log).has_value()) << r.log;
    auto prints = job.prints();
    ASSERT_EQ(prints.size(), 3u);
    std::vector<uint8_t> masked = full.pixels;
    for (size_t row = 0; row < 7; ++row) {
        masked[(row + 1) * 51 - 1] = 0x80;
    }
    EXPECT_NE(prints[0].find("w=401 h=7 rb=51"), std::string::npos) << prints[0];
    EXPECT_NE(prints[0].find(hashText(masked)), std::string::npos) << "width 401 not masked";
    EXPECT_NE(prints[1].find(hashText(exact.pixels)), std::string::npos) << "page changed";
    EXPECT_NE(prints[2].find("w=576 h=300 rb=72"), std::string::npos);
    EXPECT_NE(prints[2].find(hashText(larger.pixels)), std::string::npos);
}

TEST(JobPages, RefusesHeadersThatCannotBeOneBitPagesAndGoesOn) {
    DriverJob job;
    RasterPage narrow = randomPage(400, 4, 3, 20); // 20 bytes cannot hold 400 dots
    RasterPage good = randomPage(64, 4, 5);
    ASSERT_TRUE(writeRaster(job.rasterPath(), {narrow, good}));
    RunResult r = tjob::runJob(job, nullptr, job.folders).run;
    ASSERT_TRUE(endResult(r.log).has_value()) << r.log;
    auto prints = job.prints();
    if (r.log.find("page refused") == std::string::npos) {
        GTEST_SKIP() << "libcups itself rejects this header";
    }
    ASSERT_EQ(prints.size(), 1u);
    EXPECT_NE(prints[0].find(hashText(good.pixels)), std::string::npos);
}

TEST(JobCopies, ArgumentFourGivesTheCopiesZeroWhenNotANumber) {
    for (auto [arg, copies] :
         {std::pair{"3", 3}, {"0", 0}, {"abc", 0}, {"99999999999", 2147483647}}) {
        DriverJob job;
        job.copies = arg;
        ASSERT_TRUE(writeRaster(job.rasterPath(), {stripes(384, 2)}));
        RunResult r = tjob::runJob(job, nullptr, job.folders).run;
        ASSERT_TRUE(endResult(r.log).has_value()) << r.log;
        auto prints = job.prints();
        ASSERT_EQ(prints.size(), 1u) << arg;
        EXPECT_NE(prints[0].find("copies=" + std::to_string(copies) + " "), std::string::npos)
            << arg << ": " << prints[0];
    }
}

TEST(JobOptions, PpdDefaultsReachTheRecordNarrowedToTheirFields) {
    DriverJob job;
    job.withPpd = true;
    job.ppd = {{"RotationAngle", "257"},
               {"Blackness", "300"},
               {"CutterSet", "9"},
               {"HorizontalOffset", "1"},
               {"HorizontalOffsetValue", "5"},
               {"VerticalOffset", "abc"},
               {"VerticalOffsetValue", "-3"},
               {"IsDebug", "1"},
               {"StpTemplateCM", "4"},
               {"StpTemplateMM", "5"}};
    ASSERT_TRUE(writeRaster(job.rasterPath(), {stripes(384, 2)}));
    RunResult r = tjob::runJob(job, nullptr, job.folders).run;
    auto prints = job.prints();
    ASSERT_EQ(prints.size(), 1u);
    EXPECT_NE(prints[0].find("black=44 rot=1 cut=9 tcm=4 tmm=5 xdir=1 ydir=0 xval=5 yval=-3"),
              std::string::npos)
        << prints[0];
    EXPECT_NE(r.log.find("tarvik_getCupsParm: VerticalOffset (VerticalOffset label):abc(0)\n"),
              std::string::npos);
    EXPECT_EQ(countOf(r.log, "tarvik_getCupsParm: "), 10u);
}

TEST(JobOptions, WithoutPpdEveryOptionIsAbsent) {
    DriverJob job;
    ASSERT_TRUE(writeRaster(job.rasterPath(), {stripes(384, 2)}));
    RunResult r = tjob::runJob(job, nullptr, job.folders).run;
    EXPECT_EQ(countOf(r.log, "tarvik_getCupsParm"), 0u);
    ASSERT_EQ(job.prints().size(), 1u);
    EXPECT_NE(job.prints()[0].find("black=0 rot=0 cut=0 tcm=999 tmm=0 xdir=0 ydir=0 xval=0 yval=0"),
              std::string::npos);
}

TEST(JobSpool, WaitsForAFileThatAppearsLate) {
    DriverJob job;
    TempDir staging("tarvik-staging");
    ASSERT_TRUE(writeRaster(staging.file("r"), {stripes(384, 2)}));
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(450));
        std::filesystem::rename(staging.file("r"), job.rasterPath());
    });
    RunResult r = tjob::runJob(job, nullptr, job.folders).run;
    writer.join();
    EXPECT_GE(countOf(r.log, "tarvik_backend: Wait RasterFile..... " + job.rasterPath() + "\n"),
              3u);
    EXPECT_EQ(job.prints().size(), 1u);
    EXPECT_NE(r.log.find("end, return = 0, fd = 3\n"), std::string::npos);
}

TEST(JobSpool, FileNeverCreatedEndsAfterTwoHundredPolls_Slow) {
    DriverJob job;
    RunResult r = tjob::runJob(job, nullptr, job.folders).run;
    EXPECT_TRUE(endResult(r.log).has_value()) << r.log;
    EXPECT_EQ(countOf(r.log, "tarvik_backend: Wait RasterFile....."), 200u);
    EXPECT_NE(r.log.find("tarvik_backend: fd < 0\ntarvik_backend: end, return = -1, fd = -1\n"),
              std::string::npos);
    EXPECT_EQ(job.record(), "");
}

TEST(JobSpool, FileWithNoPagesIsOpenedAfterTheWaitAndEndsAtOnce_Slow) {
    DriverJob job;
    ASSERT_TRUE(writeRaster(job.rasterPath(), {})); // the sync word only: 4 bytes
    RunResult r = tjob::runJob(job, nullptr, job.folders).run;
    EXPECT_EQ(countOf(r.log, "tarvik_backend: Wait RasterFile....."), 200u);
    EXPECT_NE(r.log.find("tarvik_backend: end, return = 0, fd = 3\n"), std::string::npos);
    EXPECT_EQ(job.record(), "");
}

TEST(JobSpool, SymbolicLinkIsNotTheJobsRaster) {
    DriverJob job;
    TempDir elsewhere("tarvik-elsewhere");
    ASSERT_TRUE(writeRaster(elsewhere.file("r"), {stripes(384, 2)}));
    ASSERT_EQ(symlink(elsewhere.file("r").c_str(), job.rasterPath().c_str()), 0);
    job.timeout = std::chrono::seconds(40);
    RunResult r = tjob::runJob(job, nullptr, job.folders).run;
    EXPECT_NE(r.log.find("tarvik_backend: fd < 0\n"), std::string::npos);
    EXPECT_EQ(job.record(), "");
    EXPECT_TRUE(std::filesystem::exists(elsewhere.file("r")));
}

TEST(JobSpool, EmptyReadStartsAgainWithoutReprintingSentPages) {
    DriverJob job;
    std::vector<RasterPage> pages = {randomPage(384, 40, 1), randomPage(384, 40, 2),
                                     randomPage(384, 40, 3)};
    TempDir staging("tarvik-staging");
    ASSERT_TRUE(writeRaster(staging.file("whole"), pages));
    std::string whole = readFile(staging.file("whole"));
    // Cut inside page 2's pixels: page 1 reads whole, page 2 reads nothing.
    size_t pageBytes = whole.size() / 3;
    ASSERT_TRUE(writeFile(job.rasterPath(), whole.substr(0, 2 * pageBytes - 500)));
    bool completed = false;
    job.sigtermWhen = [&] {
        if (!completed &&
            readFile(job.shm.file("t58print.log")).find("len = 0") != std::string::npos) {
            writeFile(job.rasterPath(), whole);
            completed = true;
        }
        return false;
    };
    RunResult r = tjob::runJob(job, nullptr, job.folders).run;
    ASSERT_TRUE(completed) << r.log;
    EXPECT_NE(r.log.find("tarvik_backend: len = 0, waitRasterTime = 0\n"), std::string::npos);
    auto prints = job.prints();
    ASSERT_EQ(prints.size(), 3u) << job.record();
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_NE(prints[i].find(hashText(pages[i].pixels)), std::string::npos) << i;
    }
}

TEST(JobBanner, PausesOneSecondBeforeEachPassOfABannerJob) {
    DriverJob plain;
    ASSERT_TRUE(writeRaster(plain.rasterPath(), {stripes(384, 2)}));
    RunResult quick = tjob::runJob(plain, nullptr, plain.folders).run;
    DriverJob banner;
    banner.env.emplace_back("CONTENT_TYPE", "application/vnd.cups-pdf-banner");
    ASSERT_TRUE(writeRaster(banner.rasterPath(), {stripes(384, 2)}));
    RunResult paused = tjob::runJob(banner, nullptr, banner.folders).run;
    EXPECT_GE(paused.seconds, 1.0);
    EXPECT_GE(paused.seconds - quick.seconds, 0.9);
    EXPECT_EQ(banner.prints().size(), 1u);
}

TEST(JobCancel, SigtermDuringPageThreeOfFiveFinishesPageThreeOnly) {
    DriverJob job;
    std::vector<RasterPage> pages;
    for (uint32_t i = 0; i < 5; ++i) {
        pages.push_back(randomPage(384, 8, i));
    }
    ASSERT_TRUE(writeRaster(job.rasterPath(), pages));
    job.env.emplace_back("TARVIK_FAKE_PRINT_MS", "300");
    job.env.emplace_back("TARVIK_FAKE_RESULTS", "0,0,2,0,0");
    job.sigtermWhen = [&] { return job.prints().size() == 3; };
    RunResult r = tjob::runJob(job, nullptr, job.folders).run;
    ASSERT_TRUE(r.sigtermSent);
    EXPECT_TRUE(endResult(r.log).has_value()) << r.log;
    EXPECT_EQ(job.prints().size(), 3u);
    EXPECT_EQ(countOf(job.record(), "close"), 3u) << "page 3 not finished";
    EXPECT_NE(r.log.find("tarvik_backend: cancel_job\ntarvik_backend: end, return = 2, fd = 3\n"),
              std::string::npos)
        << r.log;
}

TEST(JobLink, RetriesEveryThreeSecondsThenPrints) {
    DriverJob job;
    ASSERT_TRUE(writeRaster(job.rasterPath(), {stripes(384, 2)}));
    job.env.emplace_back("TARVIK_FAKE_INIT_FAILS", "1");
    RunResult r = tjob::runJob(job, nullptr, job.folders).run;
    EXPECT_EQ(job.record().substr(0, 18), "init fail\ninit ok\n");
    EXPECT_GE(r.seconds, 2.9);
    EXPECT_EQ(job.prints().size(), 1u);
}

TEST(JobLink, SigtermEndsTheRetryPauseAtOnceAndLeavesThePageUnprinted) {
    DriverJob job;
    ASSERT_TRUE(writeRaster(job.rasterPath(), {stripes(384, 2)}));
    job.env.emplace_back("TARVIK_FAKE_INIT_FAILS", "100000");
    std::chrono::steady_clock::time_point sent;
    job.sigtermWhen = [&] {
        bool now = job.record().find("init fail") != std::string::npos;
        if (now) {
            sent = std::chrono::steady_clock::now();
        }
        return now;
    };
    RunResult r = tjob::runJob(job, nullptr, job.folders).run;
    double afterSignal =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    EXPECT_LT(afterSignal, 1.5) << "the 3 s pause did not end on SIGTERM";
    EXPECT_EQ(job.prints().size(), 0u);
    EXPECT_NE(r.log.find("tarvik_backend: cancel_job\ntarvik_backend: end, return = 0, fd = 3\n"),
              std::string::npos);
}

TEST(JobResult, EndLineShowsTheResultOfTheLastPage) {
    DriverJob job;
    ASSERT_TRUE(writeRaster(job.rasterPath(), {stripes(384, 2), stripes(384, 2)}));
    job.env.emplace_back("TARVIK_FAKE_RESULTS", "1,0");
    RunResult r = tjob::runJob(job, nullptr, job.folders).run;
    EXPECT_EQ(job.prints().size(), 2u);
    EXPECT_NE(r.log.find("end, return = 0, fd = 3\n"), std::string::npos);
}

TEST(JobLogFile, SymbolicLinkInSharedMemoryIsNotFollowed) {
    DriverJob job;
    TempDir elsewhere("tarvik-elsewhere");
    ASSERT_TRUE(writeFile(elsewhere.file("precious"), "keep me"));
    ASSERT_EQ(symlink(elsewhere.file("precious").c_str(), job.shm.file("t58print.log").c_str()), 0);
    ASSERT_TRUE(writeRaster(job.rasterPath(), {stripes(384, 2)}));
    RunResult r = tjob::runJob(job, nullptr, job.folders).run;
    EXPECT_TRUE(endResult(r.log + r.err).has_value()) << r.err;
    EXPECT_EQ(readFile(elsewhere.file("precious")), "keep me");
    EXPECT_EQ(job.prints().size(), 1u);
}

TEST(JobArguments, TooFewArgumentsPrintUsageAndExitOne) {
    TempDir shm("tarvik-shm");
    RunOptions options;
    options.exe = binPath("tarvik_fake");
    options.args = {"1", "user", "title"};
    options.shmDir = shm.path();
    RunResult r = runBackend(options);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find("Usage: "), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(shm.file("t58print.log")));
}

TEST(JobArguments, NoArgumentsListDevicesAndLeaveTheLogAlone) {
    TempDir shm("tarvik-shm");
    ASSERT_TRUE(writeFile(shm.file("t58print.log"), "last job's log"));
    RunOptions options;
    options.exe = binPath("tarvik_fake");
    options.shmDir = shm.path();
    RunResult r = runBackend(options);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(readFile(shm.file("t58print.log")), "last job's log");
    EXPECT_EQ(r.out.find("tarvik://"), std::string::npos) << "no T58 is attached here";
}
