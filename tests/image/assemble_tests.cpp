#include "backend/stdio_sink.h"
#include "image/assemble.h"
#include "tests/image/image_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

using imagetest::logOf;
using imagetest::recordOf;
using imagetest::rowOf;
using imagetest::turnDots;
using imagetest::useHead;
using tsupport::countOf;
using tsupport::randomPage;
using tsupport::RasterPage;
using tsupport::readFile;

namespace {

struct Assembled {
    PageData pd;
    int result;
    std::vector<uint8_t> page; // dstData as procData left it
    std::string log;
};

Assembled assemble(RasterPage& page, const std::function<void(PageData&)>& options = {}) {
    Assembled a{recordOf(page), 0, {}, {}};
    if (options) {
        options(a.pd);
    }
    a.log = logOf([&](const CoreLog& log) {
        a.result = procData(imagetest::work(), imagetest::head(), &a.pd, log);
    });
    if (a.result == 0) {
        const uint8_t* dst = imagetest::work().dstData.get();
        a.page.assign(dst, dst + size_t(a.pd.h) * size_t(a.pd.rowBytes));
    }
    return a;
}

bool blankRows(const Assembled& a, int64_t from, int64_t to) {
    const auto begin = a.page.begin() + from * a.pd.rowBytes;
    return std::all_of(begin, a.page.begin() + to * a.pd.rowBytes,
                       [](uint8_t b) { return b == 0; });
}

class Assembly : public testing::Test {
  protected:
    void SetUp() override { useHead(300); }
    void TearDown() override { releaseDstData(imagetest::work()); }
};

} // namespace

// Narrower rows are centred and wider ones cut in whole bytes: every output byte is a
// source byte, never a shifted one.
TEST_F(Assembly, DeviationTable) {
    struct Case {
        int dpi;
        int32_t rowBytes;
        int32_t deviation;
    };
    for (Case c : {Case{300, 48, 12}, Case{300, 60, 6}, Case{300, 62, 6}, Case{300, 70, 2},
                   Case{300, 71, 0}, Case{300, 72, 0}, Case{300, 74, 2}, Case{300, 80, 4},
                   Case{203, 36, 6}, Case{203, 72, 12}}) {
        useHead(c.dpi);
        const int32_t head = c.dpi == 300 ? 72 : 48;
        RasterPage page = randomPage(uint32_t(c.rowBytes) * 8, 9, uint32_t(c.rowBytes));
        Assembled a = assemble(page);
        ASSERT_EQ(a.result, 0);
        EXPECT_EQ(a.pd.w, head * 8);
        EXPECT_EQ(a.pd.rowBytes, head);
        EXPECT_EQ(a.pd.h, 9);
        const bool narrower = c.rowBytes <= head;
        for (int64_t i = 0; i < 9; ++i) {
            std::vector<uint8_t> expected(head, 0);
            const uint8_t* row = page.pixels.data() + i * c.rowBytes;
            if (narrower) {
                std::copy_n(row, c.rowBytes, expected.begin() + c.deviation);
            } else {
                std::copy_n(row + c.deviation, head, expected.begin());
            }
            ASSERT_EQ(rowOf(a.page.data(), head, i), expected) << head << "/" << c.rowBytes;
        }
        const std::string line =
            "tarvik_backend: procData, deviation = " + std::to_string(c.deviation) + "\n";
        EXPECT_EQ(countOf(a.log, line), narrower ? 1u : 0u) << head << "/" << c.rowBytes;
    }
}

TEST_F(Assembly, HeadWidthPageIsCopiedWithALineForEveryRow) {
    RasterPage page = randomPage(576, 40, 1);
    Assembled a = assemble(page);
    ASSERT_EQ(a.result, 0);
    EXPECT_EQ(a.page, page.pixels);
    std::string expected = "tarvik_backend-bitmapProc begin: rotation=0,pd->w=576,pd->h=40\n"
                           "tarvik_backend-bitmapProc end: rotation=0,pd->w=576,pd->h=40\n"
                           "tarvik_backend: ts58_Print, preProData = 2\n"
                           "tarvik_backend-qzOffset: qzOffset\n"
                           "tarvik_backend: dstData len=2880\n"
                           "tarvik_backend: procData, deviation = 0\n";
    for (int i = 0; i < 40; ++i) {
        expected +=
            "tarvik_backend: memcpy data->h = 40, i=" + std::to_string(i) + ", data->rowBytes=72\n";
    }
    EXPECT_EQ(a.log, expected + "tarvik_backend: procData end\n");
}

TEST_F(Assembly, TemplateSetsTheNumberOfLines) {
    auto fiveCm = [](PageData& pd) {
        pd.templateCM = 5;
        pd.yOffsetDir = 2;
    };
    RasterPage shortPage = randomPage(384, 300, 2);
    Assembled extended = assemble(shortPage, fiveCm);
    ASSERT_EQ(extended.result, 0);
    EXPECT_EQ(extended.pd.h, 590);
    EXPECT_EQ(rowOf(extended.page.data(), 72, 299), [&] {
        std::vector<uint8_t> row(72, 0);
        std::copy_n(shortPage.pixels.begin() + 299 * 48, 48, row.begin() + 12);
        return row;
    }());
    EXPECT_TRUE(blankRows(extended, 300, 590));
    EXPECT_EQ(countOf(extended.log, "memcpy"), 0u);
    EXPECT_EQ(countOf(extended.log, "dstData len"), 0u);

    RasterPage longPage = randomPage(576, 700, 3);
    Assembled cut = assemble(longPage, fiveCm);
    ASSERT_EQ(cut.result, 0);
    EXPECT_EQ(cut.pd.h, 590);
    EXPECT_TRUE(std::equal(cut.page.begin(), cut.page.end(), longPage.pixels.begin()));

    useHead(203);
    EXPECT_EQ(assemble(longPage, fiveCm).pd.h, 399);
}

TEST_F(Assembly, TemplateOfNoLengthAndNoTemplate) {
    RasterPage page = randomPage(576, 30, 4);
    Assembled none = assemble(page, [](PageData& pd) { pd.templateCM = 0; });
    EXPECT_EQ(none.result, 0);
    EXPECT_EQ(none.pd.h, 0);
    EXPECT_EQ(none.pd.rowBytes, 72);
    Assembled ignored = assemble(page, [](PageData& pd) { pd.templateMM = 5; });
    EXPECT_EQ(ignored.pd.h, 30);
    EXPECT_EQ(ignored.page, page.pixels);
}

TEST_F(Assembly, RotatedLongPageKeepsTheCentreOfItsRows) {
    RasterPage page = randomPage(576, 3600, 5);
    Assembled a = assemble(page, [](PageData& pd) { pd.rotation = 1; });
    ASSERT_EQ(a.result, 0);
    EXPECT_EQ(a.pd.h, 576);
    EXPECT_EQ(countOf(a.log, "preProData"), 0u);
    EXPECT_EQ(countOf(a.log, "deviation"), 0u);
    // The turned page is 3,616 dots (452 bytes) wide; bytes 190 to 261 are kept.
    std::vector<uint8_t> turned(452 * 576, 0);
    turnDots(576, 3600, page.pixels.data(), 3616, 576, turned.data(), 1);
    for (int64_t i = 0; i < 576; ++i) {
        const std::vector<uint8_t> centre(turned.begin() + i * 452 + 190,
                                          turned.begin() + i * 452 + 262);
        ASSERT_EQ(rowOf(a.page.data(), 72, i), centre) << i;
    }
    const std::string dump = readFile("/dev/shm/b.bmp");
    ASSERT_EQ(dump.size(), 62u + 452 * 576);
    EXPECT_EQ(dump.substr(62), std::string(turned.begin(), turned.end()));
    EXPECT_EQ(readFile("/dev/shm/3616_576_452.data").size(), 452u * 576);
}

TEST_F(Assembly, OffsetPageIsDumpedBeforeAssembly) {
    RasterPage page = randomPage(384, 20, 6);
    Assembled a = assemble(page, [](PageData& pd) {
        pd.xOffsetValue = 1;
        pd.xOffsetDir = 1;
    });
    ASSERT_EQ(a.result, 0);
    const std::string dump = readFile("/dev/shm/b.bmp");
    ASSERT_EQ(dump.size(), 62u + 72 * 20);
    EXPECT_EQ(dump.substr(62), std::string(a.page.begin(), a.page.end()));
    EXPECT_EQ(a.page[10], page.pixels[0]);
    EXPECT_EQ(readFile("/dev/shm/576_20_72.data").size(), 72u * 20);
}

// A refused page leaves nothing to send, and the job's next page is assembled as usual.
TEST_F(Assembly, PagesThatCannotBeAssembledAreRefused) {
    RasterPage good = randomPage(576, 10, 7);
    RasterPage tall = randomPage(576, 29128, 8);
    RasterPage longTurn = randomPage(576, 29200, 9);
    RasterPage narrowRows = randomPage(100, 10, 10, 12);
    const std::vector<std::pair<RasterPage*, std::function<void(PageData&)>>> cases = {
        {&tall, [](PageData&) {}},
        {&longTurn, [](PageData& pd) { pd.rotation = 3; }},
        {&narrowRows, [](PageData& pd) { pd.rotation = 2; }},
        {&good, [](PageData& pd) { pd.templateCM = -1; }},
        {&good, [](PageData& pd) { pd.templateMM = -1, pd.templateCM = 0; }},
        {&good, [](PageData& pd) { pd.templateCM = 300; }},
        {&good, [](PageData& pd) { pd.templateCM = 2000000000; }},
        {&good, [](PageData& pd) { pd.h = -1; }},
    };
    for (const auto& [page, options] : cases) {
        ASSERT_EQ(assemble(good).result, 0);
        ASSERT_NE(imagetest::work().dstData.get(), nullptr);
        Assembled refused = assemble(*page, options);
        EXPECT_EQ(refused.result, -1);
        EXPECT_EQ(imagetest::work().dstData.get(), nullptr);
        EXPECT_EQ(refused.pd.h, 0);
        EXPECT_EQ(countOf(refused.log, "tarvik_backend: procData, page not printed: "), 1u)
            << refused.log;
        EXPECT_EQ(countOf(refused.log, "procData end"), 0u);
    }
    Assembled after = assemble(good);
    EXPECT_EQ(after.result, 0);
    EXPECT_EQ(after.page, good.pixels);
}

// Memory runs out in a child whose address space is capped just above what it uses: the
// page is refused with a log line, and nothing is left to send.
TEST_F(Assembly, PageIsRefusedWhenMemoryRunsOut) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space cap breaks AddressSanitizer's shadow memory";
#endif
    tsupport::TempDir dir("tarvik-nomem");
    RasterPage page = randomPage(576, 20000, 11); // 1.44 MB: working copy and dstData
    PageWork& work = imagetest::work();           // the scratch pages exist before the cap
    for (int8_t xOffset : {0, 1}) {
        const std::string logPath = dir.file("log" + std::to_string(xOffset));
        const pid_t child = fork();
        if (child == 0) {
            const int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 2);
            PageData pd = recordOf(page);
            pd.xOffsetValue = xOffset;
            long pages = 0;
            std::ifstream("/proc/self/statm") >> pages;
            const rlim_t cap = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (1u << 20);
            const rlimit limit{cap, cap};
            setrlimit(RLIMIT_AS, &limit);
            StdioSink sink;
            const int result = procData(work, imagetest::head(), &pd, CoreLog(&sink));
            _exit(result == -1 && work.dstData == nullptr && pd.h == 0 ? 0 : 1);
        }
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << int{xOffset};
        const std::string log = readFile(logPath);
        EXPECT_EQ(countOf(log, xOffset ? "no memory for the working copy"
                                       : "no memory for the head page"),
                  1u)
            << log;
    }
}
