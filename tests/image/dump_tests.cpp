#include "diag/dump.h"
#include "tests/image/image_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

using tsupport::isSymlink;
using tsupport::randomPage;
using tsupport::RasterPage;
using tsupport::readFile;
using tsupport::writeFile;

namespace {

std::string bytesOf(const std::vector<uint8_t>& v) {
    return {v.begin(), v.end()};
}

uint32_t field32(const std::string& file, size_t at) {
    return uint32_t(uint8_t(file[at])) | uint32_t(uint8_t(file[at + 1])) << 8 |
           uint32_t(uint8_t(file[at + 2])) << 16 | uint32_t(uint8_t(file[at + 3])) << 24;
}

// The header as the format table gives it, field by field.
std::string expectedHeader(uint32_t fileSize, int32_t w, int32_t h) {
    std::string header(62, '\0');
    auto put = [&](size_t at, uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            header[at + i] = char(v >> (8 * i));
        }
    };
    header[0] = 'B';
    header[1] = 'M';
    put(2, fileSize, 4);
    put(10, 62, 4);
    put(14, 40, 4);
    put(18, uint32_t(w), 4);
    put(22, uint32_t(h), 4);
    put(26, 1, 2);
    put(28, 1, 2);
    header[34] = 0x00;
    header[35] = 0x1E;
    put(38, 203, 4);
    put(42, 203, 4);
    header[58] = header[59] = header[60] = char(0xFF);
    return header;
}

} // namespace

TEST(Dump, HeadWidthPageGivesMatchingSizes) {
    RasterPage page = randomPage(576, 590, 1);
    saveImage(page.pixels.data(), uint32_t(page.pixels.size()), 576, 590, "/dev/shm/c.bmp");
    const std::string bmp = readFile("/dev/shm/c.bmp");
    ASSERT_EQ(bmp.size(), 42542u);
    EXPECT_EQ(bmp.substr(0, 62), expectedHeader(42542, 576, 590));
    EXPECT_EQ(bmp.substr(62), bytesOf(page.pixels));
    const std::string raw = readFile("/dev/shm/576_590_72.data");
    EXPECT_EQ(raw.size(), 42480u);
    EXPECT_EQ(raw, bytesOf(page.pixels));
}

TEST(Dump, RowsShorterThanTheStrideAreWrittenAsTheyLie) {
    RasterPage page = randomPage(100, 10, 2);
    ASSERT_EQ(page.bytesPerLine, 13u);
    saveImage(page.pixels.data(), 130, 100, 10, "/dev/shm/b.bmp");
    const std::string bmp = readFile("/dev/shm/b.bmp");
    ASSERT_EQ(bmp.size(), 192u);
    EXPECT_EQ(field32(bmp, 2), 222u);
    EXPECT_EQ(bmp.substr(0, 62), expectedHeader(222, 100, 10));
    EXPECT_EQ(bmp.substr(62), bytesOf(page.pixels));
    EXPECT_EQ(readFile("/dev/shm/100_10_16.data"), bytesOf(page.pixels));
}

TEST(Dump, NoWidthGivesNoStride) {
    saveImage(nullptr, 0, 0, 5, "/dev/shm/b.bmp");
    const std::string bmp = readFile("/dev/shm/b.bmp");
    ASSERT_EQ(bmp.size(), 62u);
    EXPECT_EQ(field32(bmp, 2), 62u);
    EXPECT_EQ(access("/dev/shm/0_5_0.data", F_OK), 0);
}

TEST(Dump, EveryPageRewritesTheFiles) {
    RasterPage big = randomPage(576, 50, 3);
    RasterPage small = randomPage(576, 2, 4);
    saveImage(big.pixels.data(), uint32_t(big.pixels.size()), 576, 50, "/dev/shm/b.bmp");
    saveImage(small.pixels.data(), uint32_t(small.pixels.size()), 576, 50, "/dev/shm/b.bmp");
    EXPECT_EQ(readFile("/dev/shm/b.bmp").substr(62), bytesOf(small.pixels));
    EXPECT_EQ(readFile("/dev/shm/576_50_72.data"), bytesOf(small.pixels));
}

// Another user may plant links in world-writable /dev/shm: the dump never writes through
// one, and the other file of the pair is still written.
TEST(Dump, SymbolicLinksAreNotFollowed) {
    tsupport::TempDir dir("tarvik-dump");
    const std::string target = dir.file("victim");
    ASSERT_TRUE(writeFile(target, "keep"));
    ASSERT_EQ(symlink(target.c_str(), "/dev/shm/b.bmp"), 0);
    RasterPage page = randomPage(64, 4, 5);
    saveImage(page.pixels.data(), 32, 64, 4, "/dev/shm/b.bmp");
    EXPECT_EQ(readFile(target), "keep");
    EXPECT_TRUE(isSymlink("/dev/shm/b.bmp"));
    EXPECT_EQ(readFile("/dev/shm/64_4_8.data"), bytesOf(page.pixels));

    ASSERT_EQ(unlink("/dev/shm/b.bmp"), 0);
    ASSERT_EQ(unlink("/dev/shm/64_4_8.data"), 0);
    ASSERT_EQ(symlink(target.c_str(), "/dev/shm/64_4_8.data"), 0);
    saveImage(page.pixels.data(), 32, 64, 4, "/dev/shm/b.bmp");
    EXPECT_EQ(readFile(target), "keep");
    EXPECT_EQ(readFile("/dev/shm/b.bmp").size(), 94u);
}

TEST(Dump, AFileThatCannotBeOpenedIsSkipped) {
    RasterPage page = randomPage(32, 3, 6);
    saveImage(page.pixels.data(), 12, 32, 3, "/dev/shm/no/such/folder/b.bmp");
    EXPECT_EQ(readFile("/dev/shm/32_3_4.data"), bytesOf(page.pixels));
}
