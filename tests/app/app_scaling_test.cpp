// Pages of another size than the loaded label, as phones and PCs send them: a 4 x 6 in PWG
// raster, Apple raster or PNG lands whole on the 50 x 30 mm label under 'auto' and 'fit',
// turned a quarter; 'fill' covers the label; 'none' prints the page as the backend does; a
// shipping label's codes still scan once fitted.

#include "tests/app/app_harness.h"
#include "vt58/vt58.h"

#include <cups/ipp.h>
#include <cups/raster.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace apptest;

namespace {

// A 4 x 6 in page: a frame of 1-dot lines, a diagonal, and a block at its top-left corner.
tsupport::RasterPage framedPage(uint32_t w, uint32_t h) {
    return tsupport::makePage(w, h, [w, h](uint32_t x, uint32_t y) {
        return x == 0 || y == 0 || x + 1 == w || y + 1 == h || x == uint64_t{y} * w / h ||
               (x < w / 8 && y < w / 8);
    });
}

// A PWG raster in 1 bit, or an Apple raster (8-bit grey: URF has no 1-bit pages).
bool writeRaster(const std::string& path, const tsupport::RasterPage& page, int dpi,
                 cups_mode_t mode) {
    const bool apple = mode == CUPS_RASTER_WRITE_APPLE;
    cups_page_header2_t h;
    if (!cupsRasterInitPWGHeader(&h, pwgMediaForPWG("na_index-4x6_4x6in"),
                                 apple ? "sgray_8" : "black_1", dpi, dpi, "one-sided", nullptr)) {
        return false;
    }
    const tsupport::RasterPage written = apple ? greyOf(page) : page;
    tsupport::RasterWriteOptions options;
    options.mode = mode;
    options.header = [&h](size_t, cups_page_header2_t& header) { header = h; };
    return h.cupsWidth == page.width && tsupport::writeRaster(path, {written}, options);
}

struct Box {
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
};

Box blackBox(const vt58::PrintedPage& p) {
    Box b;
    for (int y = 0; y < p.pageLines; ++y) {
        for (int x = 0; x < p.rowBytes * 8; ++x) {
            if (p.dot(x, y)) {
                b = {std::min(b.x0, x), std::min(b.y0, y), std::max(b.x1, x), std::max(b.y1, y)};
            }
        }
    }
    return b;
}

double blackShare(const vt58::PrintedPage& p, int x0, int x1, int y0, int y1) {
    int black = 0;
    for (int y = y0; y <= y1; ++y) {
        for (int x = x0; x <= x1; ++x) {
            black += p.dot(x, y) ? 1 : 0;
        }
    }
    return double(black) / ((x1 - x0 + 1) * (y1 - y0 + 1));
}

// The whole frame on the label, turned: wider than tall by the page's 6 : 4, every side a
// line (a dot may merge into the diagonal where it meets a corner), and the page's top-left block
// at the label's bottom-left.
void expectWholeAndTurned(const vt58::PrintedPage& p) {
    const Box b = blackBox(p);
    ASSERT_GT(b.x1, b.x0);
    EXPECT_NEAR(double(b.x1 - b.x0 + 1) / (b.y1 - b.y0 + 1), 1.5, 0.03);
    EXPECT_EQ(b.y0, 0);
    EXPECT_EQ(b.y1, p.pageLines - 1); // fitted to the label's length of 30 mm
    EXPECT_GT(blackShare(p, b.x0, b.x1, b.y0, b.y0), 0.99);
    EXPECT_GT(blackShare(p, b.x0, b.x1, b.y1, b.y1), 0.99);
    EXPECT_GT(blackShare(p, b.x0, b.x0, b.y0, b.y1), 0.99);
    EXPECT_GT(blackShare(p, b.x1, b.x1, b.y0, b.y1), 0.99);
    const int block = (b.y1 - b.y0) / 8;
    EXPECT_GT(blackShare(p, b.x0 + 2, b.x0 + block - 2, b.y1 - block + 2, b.y1 - 2), 0.9);
    EXPECT_LT(blackShare(p, b.x1 - block + 2, b.x1 - 2, b.y0 + 2, b.y0 + block - 2), 0.2);
}

// The sample shipping label (50 x 30 mm) turned a quarter clockwise and scaled up three times
// onto a 4 x 6 in portrait page (the app's quarter turn sets it upright again), as a phone would
// send it, by Ghostscript: a PWG raster or a grey PNG.
bool renderShippingLabel(const std::string& out, const char* device, int dpi) {
    const std::string ps = tsupport::readFile(TARVIK_DEMO_LABEL);
    const std::string page = "<< /PageSize [288 432] >> setpagedevice\n"
                             "/setpagedevice { pop } bind def\n"
                             "0 432 translate -90 rotate 3 3 scale\n" +
                             ps;
    const std::string file = out + ".ps";
    tsupport::RunOptions gs;
    gs.exe = "/usr/bin/gs";
    gs.args = {"-q",
               "-dSAFER",
               "-dBATCH",
               "-dNOPAUSE",
               std::string("-sDEVICE=") + device,
               "-dcupsColorSpace=3",
               "-dcupsBitsPerColor=1",
               "-r" + std::to_string(dpi),
               "-sOutputFile=" + out,
               file};
    gs.env = {{"PATH", "/usr/bin:/bin"}};
    return !ps.empty() && tsupport::writeFile(file, page) &&
           tsupport::runBackend(gs).exitStatus == 0;
}

int printAs(App& app, const std::string& file, const char* format, const char* scaling) {
    std::string out;
    const int job = ipptoolPrint(app.uri(), file, format,
                                 {std::string("keyword print-scaling ") + scaling}, &out);
    EXPECT_GT(job, 0) << out;
    return job;
}

} // namespace

TEST(AppScaling, AFourBySixPageLandsWholeOnTheLabelInEveryFormatOnBothHeads) {
    for (const auto& [headByte, dpi] : {std::pair{uint8_t{0}, 203}, std::pair{uint8_t{1}, 300}}) {
        SCOPED_TRACE(dpi);
        App app(head(headByte));
        REQUIRE_APP(app);
        const uint32_t w = dpi * 4, h = dpi * 6;
        const tsupport::RasterPage page = framedPage(w, h);
        const std::string pwg = app.dir.file("4x6.pwg"), urf = app.dir.file("4x6.urf");
        const std::string png = app.dir.file("4x6.png");
        ASSERT_TRUE(writeRaster(pwg, page, dpi, CUPS_RASTER_WRITE_PWG));
        ASSERT_TRUE(writeRaster(urf, page, dpi, CUPS_RASTER_WRITE_APPLE));
        ASSERT_TRUE(tsupport::writeFile(png, greyPng(greyOf(page).pixels, w, h)));
        for (const auto& [file, format] :
             {std::pair{pwg, "image/pwg-raster"}, std::pair{urf, "image/urf"},
              std::pair{png, "image/png"}}) {
            SCOPED_TRACE(format);
            for (const char* scaling : {"auto", "fit", "fill"}) {
                SCOPED_TRACE(scaling);
                JobEnd end;
                const auto got = app.pagesAfter(printAs(app, file, format, scaling), &end);
                ASSERT_EQ(end.state, IPP_JSTATE_COMPLETED) << end.message << app.server->log();
                const vt58::PrintedPage& p = got.back();
                if (std::string(scaling) != "fill") {
                    expectWholeAndTurned(p);
                    continue;
                }
                // Filled: the page covers the label, its frame cut at the label's edges.
                const Box b = blackBox(p);
                EXPECT_EQ(b.y0, 0);
                EXPECT_EQ(b.y1, p.pageLines - 1);
                EXPECT_GT(b.x1 - b.x0 + 1, p.rowBytes * 8 * 95 / 100);
                EXPECT_LT(blackShare(p, b.x0, b.x1, 0, 0), 0.5);
            }
        }
        // 'none': the page as the backend prints it, and the job says it was cut.
        const auto want = backendPrints({page}, headByte, 1, kDefaultLabelPpd);
        JobEnd end;
        const auto got = app.pagesAfter(printAs(app, pwg, "image/pwg-raster", "none"), &end);
        ASSERT_EQ(want.size(), 1u);
        EXPECT_TRUE(got.back().data == want[0].data);
        EXPECT_EQ(got.back().pageLines, want[0].pageLines);
        EXPECT_NE(end.message.find("cut"), std::string::npos) << end.message;
        EXPECT_NE(app.server->papplLog().find("print-scaling fit: fit, scaled by"),
                  std::string::npos);
    }
}

TEST(AppScaling, AShippingLabelFittedFromFourBySixStillScansOnBothHeads) {
    for (const auto& [headByte, dpi] : {std::pair{uint8_t{0}, 203}, std::pair{uint8_t{1}, 300}}) {
        SCOPED_TRACE(dpi);
        App app(head(headByte));
        REQUIRE_APP(app);
        const std::string pwg = app.dir.file("label.pwg"), png = app.dir.file("label.png");
        ASSERT_TRUE(renderShippingLabel(pwg, "pwgraster", dpi));
        ASSERT_TRUE(renderShippingLabel(png, "pnggray", dpi));
        for (const auto& [file, format] :
             {std::pair{pwg, "image/pwg-raster"}, std::pair{png, "image/png"}}) {
            SCOPED_TRACE(format);
            JobEnd end;
            const auto got = app.pagesAfter(printAs(app, file, format, "auto"), &end);
            ASSERT_EQ(end.state, IPP_JSTATE_COMPLETED) << end.message;
            const std::string printed = app.dir.file("printed.png");
            ASSERT_TRUE(vt58::writePng(got.back(), printed));
            std::string codes;
            for (const std::string& code : tsupport::scanBarcodes(printed)) {
                codes += code.substr(0, code.find(':')) + " ";
            }
            EXPECT_NE(codes.find("CODE-128"), std::string::npos) << codes;
            EXPECT_NE(codes.find("QR-Code"), std::string::npos) << codes;
        }
    }
}
