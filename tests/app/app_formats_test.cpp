// PNG and JPEG documents through the app's image filters: a label prints once with the
// image's dots where the image has them; an image too large, damaged or not an image at all
// ends its own job and no other.

#include "tests/app/app_harness.h"

#include <cups/ipp.h>
#include <gtest/gtest.h>
#include <png.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <jpeglib.h>

using namespace apptest;

namespace {

constexpr const char* kPng = "image/png";
constexpr const char* kJpeg = "image/jpeg";
// 40 x 30 mm: narrower than either head, and as wide for its length as the 400 x 300 image.
const std::string kMedia = "keyword media om_40x30-label_40x30mm";
constexpr uint32_t kWidth = 400;
constexpr uint32_t kHeight = 300;

// Black in its top-left quarter, white elsewhere.
std::vector<uint8_t> quarterImage(uint32_t width, uint32_t height) {
    std::vector<uint8_t> grey(size_t{width} * height, 255);
    for (uint32_t y = 0; y < height / 2; ++y) {
        for (uint32_t x = 0; x < width / 2; ++x) {
            grey[size_t{y} * width + x] = 0;
        }
    }
    return grey;
}

std::string jpegOf(const std::vector<uint8_t>& grey, uint32_t width, uint32_t height) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = width;
    c.image_height = height;
    c.input_components = 1;
    c.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < height) {
        auto* row = const_cast<JSAMPLE*>(grey.data() + size_t{c.next_scanline} * width);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    std::string jpeg(reinterpret_cast<const char*>(out), size);
    jpeg_destroy_compress(&c);
    std::free(out);
    return jpeg;
}

uint32_t crc32(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
        }
    }
    return ~crc;
}

std::string bigEndian(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

std::string chunk(const std::string& type, const std::string& data) {
    return bigEndian(uint32_t(data.size())) + type + data + bigEndian(crc32(type + data));
}

const std::string kSignature = "\x89PNG\r\n\x1a\n";

// A few bytes whose header says 100000 x 100000 grey pixels (10 GB decoded).
std::string pngBomb() {
    const std::string ihdr = bigEndian(100000) + bigEndian(100000) + std::string("\x08\0\0\0\0", 5);
    return kSignature + chunk("IHDR", ihdr) + chunk("IDAT", std::string("\x78\x9c", 2)) +
           chunk("IEND", "");
}

// The PNG with a pHYs chunk after its header (a PNG starts with 8 bytes and a 25-byte IHDR).
std::string withPpm(const std::string& png, uint32_t pixelsPerMetre) {
    const std::string phys = bigEndian(pixelsPerMetre) + bigEndian(pixelsPerMetre) + "\x01";
    return png.substr(0, 33) + chunk("pHYs", phys) + png.substr(33);
}

// Black dots per dot of a block of the page.
double darkness(const vt58::PrintedPage& page, int x0, int x1, int y0, int y1) {
    int black = 0;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            black += page.dot(x, y) ? 1 : 0;
        }
    }
    const int all = (x1 - x0) * (y1 - y0);
    return all > 0 ? double(black) / all : 0.0;
}

// The label sits in the middle of the head: the image's top-left quarter is dark on the
// head's first half of the row, in the page's first lines, and the rest stays white.
void expectTopLeftDark(const vt58::PrintedPage& page) {
    const int midX = page.rowBytes * 4;
    const int midY = page.pageLines / 2;
    const int endX = page.rowBytes * 8;
    EXPECT_GT(darkness(page, 0, midX, 0, midY), 0.6);
    EXPECT_LT(darkness(page, midX, endX, 0, midY), 0.03);
    EXPECT_LT(darkness(page, 0, midX, midY, page.pageLines), 0.03);
    EXPECT_LT(darkness(page, midX, endX, midY, page.pageLines), 0.03);
}

int print(App& app, const std::string& file, const char* format, std::string* out) {
    return ipptoolPrint(app.uri(), app.dir.file(file), format, {kMedia}, out);
}

} // namespace

TEST(AppFormats, PngAndJpegLabelsPrintOnceWithTheImagesDotsOnEitherHead) {
    const auto grey = quarterImage(kWidth, kHeight);
    for (uint8_t headByte : {uint8_t{0}, uint8_t{1}}) {
        SCOPED_TRACE(headByte == 0 ? "203 dpi head" : "300 dpi head");
        App app(head(headByte));
        REQUIRE_APP(app);
        ASSERT_TRUE(tsupport::writeFile(app.dir.file("l.png"), greyPng(grey, kWidth, kHeight)));
        ASSERT_TRUE(tsupport::writeFile(app.dir.file("l.jpg"), jpegOf(grey, kWidth, kHeight)));
        size_t printed = 0;
        for (const auto& [file, format] : {std::pair{"l.png", kPng}, std::pair{"l.jpg", kJpeg}}) {
            std::string out;
            const int job = print(app, file, format, &out);
            ASSERT_GT(job, 0) << out;
            JobEnd end;
            const auto pages = app.pagesAfter(job, &end);
            EXPECT_EQ(end.state, IPP_JSTATE_COMPLETED)
                << format << end.message << app.server->log();
            ASSERT_EQ(pages.size(), ++printed) << format;
            const vt58::PrintedPage& page = pages.back();
            EXPECT_TRUE(page.complete);
            EXPECT_EQ(page.copies, 1);
            EXPECT_EQ(page.rowBytes, headByte == 0 ? 48 : 72);
            SCOPED_TRACE(format);
            expectTopLeftDark(page);
        }
        EXPECT_TRUE(app.printer.errors().empty());
    }
}

TEST(AppFormats, HostileImagesEndOnlyTheirOwnJobs) {
    App app(head(1));
    REQUIRE_APP(app);
    const auto grey = quarterImage(kWidth, kHeight);
    const std::string png = greyPng(grey, kWidth, kHeight);
    const std::string jpeg = jpegOf(grey, kWidth, kHeight);
    tsupport::writeFile(app.dir.file("bomb.png"), pngBomb());
    tsupport::writeFile(app.dir.file("cut.jpg"), jpeg.substr(0, jpeg.size() / 2));
    tsupport::writeFile(app.dir.file("noise.png"), std::string(4000, '\x5a') + "not an image");
    tsupport::writeFile(app.dir.file("thin.png"),
                        greyPng(std::vector<uint8_t>(16384, 0), 16384, 1));
    const struct {
        const char* file;
        const char* format;
        const char* says;
    } hostile[] = {{"bomb.png", kPng, "100000 x 100000 pixels"},
                   {"cut.jpg", kJpeg, "damaged or incomplete"},
                   {"noise.png", kPng, "damaged or incomplete"},
                   {"thin.png", kPng, "too long and thin"}};
    for (const auto& h : hostile) {
        std::string out;
        const int job = print(app, h.file, h.format, &out);
        ASSERT_GT(job, 0) << h.file << out;
        const JobEnd end = waitJob(app.uri(), job);
        EXPECT_EQ(end.state, IPP_JSTATE_ABORTED) << h.file << app.server->log();
        EXPECT_NE(end.message.find(h.says), std::string::npos) << h.file << ": " << end.message;
        EXPECT_NE(end.reasons.find("document-"), std::string::npos) << h.file << end.reasons;
    }
    EXPECT_TRUE(app.printer.pages().empty());
    // A resolution that would print the image smaller than a dot is ignored: fitted.
    tsupport::writeFile(app.dir.file("ppi.png"), withPpm(png, 4000000000u));
    tsupport::writeFile(app.dir.file("l.png"), png);
    for (const char* file : {"ppi.png", "l.png"}) {
        std::string out;
        const int job = print(app, file, kPng, &out);
        ASSERT_GT(job, 0) << file << out;
        EXPECT_EQ(waitJob(app.uri(), job).state, IPP_JSTATE_COMPLETED) << file << app.server->log();
    }
    const auto pages = app.printer.pages();
    ASSERT_EQ(pages.size(), 2u);
    for (const auto& page : pages) {
        EXPECT_TRUE(page.complete);
        expectTopLeftDark(page);
    }
}
