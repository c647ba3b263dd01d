// Raster pages through the app's front and its spooled raster path: every raster type the
// app lists prints as the backend prints the same page, wherever the page falls against
// the head; a document no label can come of ends its own job and no other.

#include "tests/app/app_harness.h"

#include <cups/ipp.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace apptest;

namespace {

constexpr const char* kRaster = "image/pwg-raster";
constexpr const char* kUrf = "image/urf";

// A page of w x h dots with a frame, a diagonal and a block near its left edge, so that a
// shift or a cut shows.
tsupport::RasterPage markedPage(uint32_t w, uint32_t h) {
    return tsupport::makePage(w, h, [w, h](uint32_t x, uint32_t y) {
        return x < 2 || y < 2 || x + 2 >= w || y + 2 >= h || x == y % w ||
               (x >= 4 && x < 24 && y >= 10 && y < 40);
    });
}

// The page as the client sends it: 1-bit black, or 8-bit grey (white 255) of the same dots.
void setType(cups_page_header2_t& h, const tsupport::RasterPage& page, bool grey, int dpi) {
    h.HWResolution[0] = h.HWResolution[1] = static_cast<unsigned>(dpi);
    h.cupsWidth = page.width;
    h.cupsHeight = page.height;
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.cupsBitsPerColor = grey ? 8 : 1;
    h.cupsBitsPerPixel = grey ? 8 : 1;
    h.cupsColorSpace = grey ? CUPS_CSPACE_SW : CUPS_CSPACE_K;
    h.cupsBytesPerLine = grey ? page.width : (page.width + 7) / 8;
    h.PageSize[0] = page.width * 72 / static_cast<unsigned>(dpi);
    h.PageSize[1] = page.height * 72 / static_cast<unsigned>(dpi);
}

bool writeDocument(const std::string& path, const tsupport::RasterPage& page, bool grey,
                   cups_mode_t mode, int dpi) {
    tsupport::RasterWriteOptions options;
    options.mode = mode;
    options.header = [&](size_t, cups_page_header2_t& h) { setType(h, page, grey, dpi); };
    return tsupport::writeRaster(path, {grey ? greyOf(page) : page}, options);
}

void expectSamePage(const vt58::PrintedPage& got, const vt58::PrintedPage& want) {
    EXPECT_TRUE(got.complete);
    EXPECT_EQ(got.pageLines, want.pageLines);
    EXPECT_EQ(got.rowBytes, want.rowBytes);
    EXPECT_EQ(got.darkness, want.darkness);
    EXPECT_TRUE(got.data == want.data) << "the head page differs from the backend's";
}

} // namespace

TEST(AppPages, EveryRasterTypeLandsOnTheHeadAsTheBackendPutsIt) {
    for (const auto& [headByte, dpi, headDots] :
         {std::tuple{uint8_t{0}, 203, 384u}, std::tuple{uint8_t{1}, 300, 576u}}) {
        SCOPED_TRACE(dpi);
        App app(head(headByte));
        REQUIRE_APP(app);
        const uint32_t lines = static_cast<uint32_t>(30 * dpi * 10 / 254);
        // Exactly the head's width on the default (wider) label, half of it, and wider than
        // the label, where only print-scaling none keeps the page as it came.
        for (uint32_t width : {headDots, headDots / 2, headDots + 96}) {
            SCOPED_TRACE(width);
            const tsupport::RasterPage page = markedPage(width, lines);
            const auto want = backendPrints({page}, headByte, 1, kDefaultLabelPpd);
            ASSERT_EQ(want.size(), 1u);
            for (const auto& [grey, mode, format] :
                 {std::tuple{false, CUPS_RASTER_WRITE_PWG, kRaster},
                  std::tuple{true, CUPS_RASTER_WRITE_PWG, kRaster},
                  std::tuple{true, CUPS_RASTER_WRITE_APPLE, kUrf}}) {
                SCOPED_TRACE(std::string(format) + (grey ? " 8-bit" : " 1-bit"));
                const std::string file = app.dir.file("page.ras");
                ASSERT_TRUE(writeDocument(file, page, grey, mode, dpi));
                std::string out;
                const std::vector<std::string> none = {"keyword print-scaling none"};
                const int job =
                    ipptoolPrint(app.uri(), file, format,
                                 width > headDots ? none : std::vector<std::string>{}, &out);
                ASSERT_GT(job, 0) << out;
                JobEnd end;
                const auto got = app.pagesAfter(job, &end);
                ASSERT_EQ(end.state, IPP_JSTATE_COMPLETED) << end.message << app.server->log();
                ASSERT_FALSE(got.empty());
                expectSamePage(got.back(), want[0]);
            }
        }
    }
}

TEST(AppPages, HostileRastersEndOnlyTheirOwnJobs) {
    App app(head(1));
    REQUIRE_APP(app);
    const tsupport::RasterPage page = markedPage(400, 300);
    const std::string good = app.dir.file("good.pwg");
    ASSERT_TRUE(writeDocument(good, page, false, CUPS_RASTER_WRITE_PWG, 300));
    const std::string bytes = tsupport::readFile(good);
    // PWG headers are big-endian; the fields sit at these offsets after the sync word.
    auto patched = [&](size_t offset, uint32_t value) {
        std::string b = bytes;
        for (int i = 0; i < 4; ++i) {
            b[4 + offset + i] = static_cast<char>((value >> (24 - 8 * i)) & 0xFF);
        }
        return b;
    };
    const std::vector<std::pair<const char*, std::string>> hostile = {
        {"wide", patched(372, 100000)},
        {"huge", patched(376, 0x7FFFFFFF)},
        {"zero", patched(372, 0)},
        {"16-bit", patched(388, 16)},
        {"truncated", bytes.substr(0, bytes.size() / 2)},
        {"garbage", std::string(5000, '\x5A')},
    };
    for (const auto& [what, doc] : hostile) {
        SCOPED_TRACE(what);
        const std::string file = app.dir.file(std::string(what) + ".pwg");
        ASSERT_TRUE(tsupport::writeFile(file, doc));
        std::string out;
        const int job = ipptoolPrint(app.uri(), file, kRaster, {}, &out);
        ASSERT_GT(job, 0) << out;
        const JobEnd end = waitJob(app.uri(), job, 20s);
        EXPECT_EQ(end.state, IPP_JSTATE_ABORTED) << end.message;
        EXPECT_FALSE(end.message.empty());
    }
    EXPECT_TRUE(app.printer.pages().empty());
    std::string out;
    const int job = ipptoolPrint(app.uri(), good, kRaster, {}, &out);
    ASSERT_GT(job, 0) << out << app.server->log();
    EXPECT_EQ(waitJob(app.uri(), job).state, IPP_JSTATE_COMPLETED);
    EXPECT_EQ(app.printer.pages().size(), 1u);
}
