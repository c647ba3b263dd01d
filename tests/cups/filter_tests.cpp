// rastertotarvik run as CUPS runs the last filter of a queue: job arguments, TMPDIR and
// CONTENT_TYPE in its environment, the raster on standard input or as a file argument.

#include "tests/cups/harness.h"
#include "tests/support/support.h"

#include <cups/raster.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <thread>

namespace fs = std::filesystem;
using cupstest::EnvPairs;
using cupstest::Proc;
using tsupport::RasterPage;
using namespace std::chrono_literals;

namespace {

struct ReadPage {
    RasterPage page;
    unsigned numCopies = 0;
};

// Writes pages with libcups's own writer, 1-bit black with the given NumCopies; pages from
// index `oddFrom` on get the bits per pixel and color space given instead.
bool writePages(const std::string& path, const std::vector<RasterPage>& pages,
                unsigned numCopies = 1, size_t oddFrom = SIZE_MAX, unsigned bitsPerPixel = 1,
                cups_cspace_t space = CUPS_CSPACE_K) {
    tsupport::RasterWriteOptions options;
    options.header = [&](size_t i, cups_page_header2_t& h) {
        const bool odd = i >= oddFrom;
        h.HWResolution[0] = h.HWResolution[1] = 203;
        h.cupsBitsPerColor = odd ? bitsPerPixel : 1;
        h.cupsBitsPerPixel = odd ? bitsPerPixel : 1;
        h.cupsColorSpace = odd ? space : CUPS_CSPACE_K;
        h.NumCopies = numCopies;
        h.cupsColorOrder = CUPS_ORDER_CHUNKED;
        h.PageSize[0] = h.PageSize[1] = 0;
    };
    return tsupport::writeRaster(path, pages, options);
}

std::vector<ReadPage> readPages(const std::string& path, bool* clean = nullptr) {
    std::vector<ReadPage> pages;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return pages;
    cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
    cups_page_header2_t h;
    bool whole = ras != nullptr;
    while (ras && cupsRasterReadHeader2(ras, &h)) {
        ReadPage r;
        r.page = {h.cupsWidth, h.cupsHeight, h.cupsBytesPerLine, {}};
        r.numCopies = h.NumCopies;
        r.page.pixels.resize(size_t{h.cupsBytesPerLine} * h.cupsHeight);
        if (!r.page.pixels.empty() &&
            cupsRasterReadPixels(ras, r.page.pixels.data(),
                                 static_cast<unsigned>(r.page.pixels.size())) !=
                r.page.pixels.size())
            whole = false;
        pages.push_back(std::move(r));
    }
    if (ras)
        cupsRasterClose(ras);
    close(fd);
    if (clean)
        *clean = whole;
    return pages;
}

std::set<std::string> namesIn(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

class FilterTest : public ::testing::Test {
  protected:
    tsupport::TempDir spool{"tarvik-spool"};
    tsupport::TempDir work{"tarvik-work"};
    std::string filter = tsupport::binPath("rastertotarvik");

    EnvPairs env(const std::string& contentType = "application/pdf") const {
        EnvPairs e = cupstest::baseEnv();
        e.emplace_back("TMPDIR", spool.path());
        e.emplace_back("CONTENT_TYPE", contentType);
        return e;
    }
    Proc run(const std::string& input, const std::string& copies = "1",
             const std::string& contentType = "application/pdf", const char* jobId = "42") {
        return cupstest::runProgram({filter, jobId, "user", "title", copies, ""}, env(contentType),
                                    input, 30s);
    }
    std::string spoolFile() const { return spool.file("ras-d00042-001"); }
};

TEST_F(FilterTest, HandsEveryPageToTheBackendUnderItsSpoolName) {
    std::vector<RasterPage> pages = {tsupport::randomPage(384, 240, 1),
                                     tsupport::randomPage(401, 37, 2),
                                     tsupport::randomPage(576, 3000, 3)};
    std::string in = work.file("in.ras");
    ASSERT_TRUE(writePages(in, pages));

    Proc p = run(in);
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(p.out, "") << "the backend reads no standard input";
    EXPECT_EQ(namesIn(spool.path()), std::set<std::string>{"ras-d00042-001"});
    bool clean = false;
    std::vector<ReadPage> got = readPages(spoolFile(), &clean);
    EXPECT_TRUE(clean);
    ASSERT_EQ(got.size(), pages.size());
    for (size_t i = 0; i < pages.size(); ++i) {
        EXPECT_EQ(got[i].page.width, pages[i].width) << "page " << i + 1;
        EXPECT_EQ(got[i].page.height, pages[i].height) << "page " << i + 1;
        EXPECT_EQ(got[i].page.pixels, pages[i].pixels) << "page " << i + 1;
    }
    EXPECT_EQ(tsupport::countOf(p.err, "PAGE: "), 3u) << p.err;
}

TEST_F(FilterTest, ReadsTheFileArgumentAndFormatsLongJobIds) {
    std::string in = work.file("in.ras");
    ASSERT_TRUE(writePages(in, {tsupport::randomPage(384, 10, 4)}));
    Proc p = cupstest::runProgram({filter, "123456", "u", "t", "1", "", in}, env(), "/dev/null");
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(readPages(spool.file("ras-d123456-001")).size(), 1u);
}

TEST_F(FilterTest, RefusesPagesTheBackendWouldMisread) {
    struct Case {
        const char* what;
        unsigned bits;
        cups_cspace_t space;
    };
    for (Case c : {Case{"8-bit gray", 8, CUPS_CSPACE_SW}, Case{"1-bit white", 1, CUPS_CSPACE_W}}) {
        RasterPage page = tsupport::randomPage(384, 20, 5);
        if (c.bits == 8)
            page = {384, 20, 384, std::vector<uint8_t>(384 * 20, 0x80)};
        std::string in = work.file("bad.ras");
        ASSERT_TRUE(
            writePages(in, {tsupport::randomPage(384, 20, 6), page}, 1, 1, c.bits, c.space));
        Proc p = run(in);
        EXPECT_NE(p.status, 0) << c.what;
        EXPECT_NE(p.err.find("ERROR: Page 2 "), std::string::npos) << c.what << ": " << p.err;
        EXPECT_TRUE(namesIn(spool.path()).empty()) << c.what << ": nothing half-made is left";
    }
}

TEST_F(FilterTest, ATruncatedStreamFailsAndLeavesNothing) {
    std::string whole = work.file("whole.ras");
    ASSERT_TRUE(
        writePages(whole, {tsupport::randomPage(384, 200, 7), tsupport::randomPage(384, 200, 8)}));
    std::string bytes = tsupport::readFile(whole);
    std::string cut = work.file("cut.ras");
    ASSERT_TRUE(tsupport::writeFile(cut, bytes.substr(0, bytes.size() * 3 / 4)));

    Proc p = run(cut);
    EXPECT_NE(p.status, 0);
    EXPECT_NE(p.err.find("ERROR: The raster ends in the middle of page 2"), std::string::npos)
        << p.err;
    EXPECT_TRUE(namesIn(spool.path()).empty());

    ASSERT_TRUE(tsupport::writeFile(cut, "%!PS-Adobe-3.0\nnot a raster at all\n"));
    p = run(cut);
    EXPECT_NE(p.status, 0);
    EXPECT_NE(p.err.find("ERROR: "), std::string::npos) << p.err;
    EXPECT_TRUE(namesIn(spool.path()).empty());
}

TEST_F(FilterTest, BadArgumentsAndEnvironmentAreReportedTheCupsWay) {
    std::string in = work.file("in.ras");
    ASSERT_TRUE(writePages(in, {tsupport::randomPage(384, 10, 9)}));
    Proc usage = cupstest::runProgram({filter, "1", "u"}, env(), in);
    EXPECT_EQ(usage.status, 1);
    EXPECT_NE(usage.err.find("Usage: "), std::string::npos);
    for (const char* id : {"abc", "0", "-5", "12x", "99999999999"}) {
        Proc p = run(in, "1", "application/pdf", id);
        EXPECT_NE(p.status, 0) << id;
        EXPECT_NE(p.err.find("ERROR: Bad job id"), std::string::npos) << id << ": " << p.err;
    }
    // A spool path the backend's 256-byte buffer could not hold.
    EnvPairs longDir = env();
    longDir[2].second = "/" + std::string(250, 'x');
    Proc p = cupstest::runProgram({filter, "42", "u", "t", "1", ""}, longDir, in);
    EXPECT_NE(p.status, 0);
    EXPECT_NE(p.err.find("ERROR: "), std::string::npos);
    EXPECT_TRUE(namesIn(spool.path()).empty());
}

// pdftopdf makes collated copies itself and leaves NumCopies at 1, while the backend sends
// every page as many times as its copies argument says.
TEST_F(FilterTest, CopiesMadeBeforeTheFilterAreFoldedSoEachLabelPrintsCopiesTimes) {
    RasterPage a = tsupport::randomPage(384, 40, 12), b = tsupport::randomPage(384, 40, 13);
    std::string in = work.file("in.ras");
    ASSERT_TRUE(writePages(in, {a, b, a, b, a, b}, 1));
    Proc p = run(in, "3");
    EXPECT_EQ(p.status, 0) << p.err;
    bool clean = false;
    std::vector<ReadPage> got = readPages(spoolFile(), &clean);
    EXPECT_TRUE(clean) << "the cut falls on a page boundary";
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].page.pixels, a.pixels);
    EXPECT_EQ(got[1].page.pixels, b.pixels);
    EXPECT_NE(p.err.find("INFO: "), std::string::npos);
    EXPECT_EQ(tsupport::countOf(p.err, "PAGE: "), 2u);
}

TEST_F(FilterTest, CopiesLeftToThePrinterAreNotTouched) {
    RasterPage a = tsupport::randomPage(384, 40, 14);
    std::string in = work.file("in.ras");
    // NumCopies says the printer makes the copies: the same page twice is two labels.
    ASSERT_TRUE(writePages(in, {a, a, a}, 3));
    Proc p = run(in, "3");
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(readPages(spoolFile()).size(), 3u);
    // A raster sent as it is went through no stage that could have made copies.
    ASSERT_TRUE(writePages(in, {a, a, a}, 1));
    p = run(in, "3", "application/vnd.cups-raster");
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(readPages(spoolFile()).size(), 3u);
}

TEST_F(FilterTest, PagesThatAreNotRunsOfCopiesFailTheJob) {
    std::string in = work.file("in.ras");
    ASSERT_TRUE(writePages(in,
                           {tsupport::randomPage(384, 40, 15), tsupport::randomPage(384, 40, 16),
                            tsupport::randomPage(384, 40, 17)},
                           1));
    Proc p = run(in, "3");
    EXPECT_NE(p.status, 0);
    EXPECT_NE(p.err.find("ERROR: "), std::string::npos) << p.err;
    EXPECT_TRUE(namesIn(spool.path()).empty());
}

TEST_F(FilterTest, AStaleFileOrPlantedLinkIsReplacedNotFollowed) {
    std::string victim = work.file("victim");
    ASSERT_TRUE(tsupport::writeFile(victim, "keep me"));
    ASSERT_EQ(symlink(victim.c_str(), spoolFile().c_str()), 0);
    std::string in = work.file("in.ras");
    ASSERT_TRUE(writePages(in, {tsupport::randomPage(384, 12, 18)}));

    Proc p = run(in);
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(tsupport::readFile(victim), "keep me");
    struct stat st;
    ASSERT_EQ(lstat(spoolFile().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(readPages(spoolFile()).size(), 1u);
}

// CUPS cancels a job with SIGTERM: the half-written file must not stay in the spool folder.
TEST_F(FilterTest, SigtermWhileReadingRemovesTheTemporaryFile) {
    std::string whole = work.file("whole.ras");
    ASSERT_TRUE(writePages(
        whole, {tsupport::randomPage(576, 2000, 19), tsupport::randomPage(576, 2000, 20)}));
    std::string bytes = tsupport::readFile(whole);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    tsupport::SpawnOptions run{{filter, "42", "u", "t", "1", ""}, env(), {}};
    run.inFd = fds[0];
    const pid_t pid = tsupport::spawn(run);
    close(fds[0]);
    ASSERT_EQ(write(fds[1], bytes.data(), bytes.size() / 2),
              static_cast<ssize_t>(bytes.size() / 2));
    bool tempSeen = false;
    for (int i = 0; i < 200 && !tempSeen; ++i) {
        for (const std::string& n : namesIn(spool.path()))
            tempSeen = tempSeen || n.rfind("ras-d00042-001.", 0) == 0;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(tempSeen) << "the pages are written under a temporary name";
    EXPECT_FALSE(fs::exists(spoolFile())) << "nothing under the backend's name before the end";
    kill(pid, SIGTERM);
    int st = 0;
    waitpid(pid, &st, 0);
    close(fds[1]);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) != 0);
    EXPECT_TRUE(namesIn(spool.path()).empty());
}

} // namespace
