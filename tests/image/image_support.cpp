#include "tests/image/image_support.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>

#include <cstdio>
#include <cstdlib>

namespace imagetest {

namespace {

// The dumps go to /dev/shm: every test process gets a private tmpfs there first.
class PrivateShm : public testing::Environment {
  public:
    void SetUp() override {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/dev/shm", "tmpfs", 0, nullptr) != 0) {
            perror("image tests: no private /dev/shm");
            std::exit(1);
        }
    }
};

[[maybe_unused]] testing::Environment* const privateShm =
    testing::AddGlobalTestEnvironment(new PrivateShm);

HeadGeometry currentHead;

} // namespace

void useHead(int dpi) {
    currentHead = dpi == 300 ? kHead300 : kHead203;
}

const HeadGeometry& head() {
    return currentHead;
}

PageWork& work() {
    static PageWork pageWork;
    return pageWork;
}

PageData recordOf(tsupport::RasterPage& page) {
    PageData pd{};
    pd.w = static_cast<int32_t>(page.width);
    pd.h = static_cast<int32_t>(page.height);
    pd.rowBytes = static_cast<int32_t>(page.bytesPerLine);
    pd.copies = 1;
    pd.templateCM = kNoTemplate;
    pd.data = page.pixels.data();
    return pd;
}

namespace {

class TextSink final : public LineSink {
  public:
    void write(LineKind, LineLevel, std::string_view text) override { text_ += text; }
    std::string text_;
};

} // namespace

std::string logOf(const std::function<void(const CoreLog& log)>& call) {
    TextSink sink;
    call(CoreLog(&sink));
    return sink.text_;
}

bool dotAt(const uint8_t* image, int64_t rowBytes, int64_t x, int64_t y) {
    return (image[y * rowBytes + x / 8] & (0x80 >> (x % 8))) != 0;
}

void turnDots(int32_t srcW, int32_t srcH, const uint8_t* src, int32_t dstW, int32_t dstH,
              uint8_t* dst, int8_t code) {
    const int64_t s = (int64_t{srcW} + 7) / 8;
    const int64_t d = (int64_t{dstW} + 7) / 8;
    for (int64_t y = 0; y < srcH; ++y) {
        for (int64_t x = 0; x < 8 * s; ++x) {
            if (!dotAt(src, s, x, y)) {
                continue;
            }
            const int64_t c = code == 1 ? y : code == 2 ? dstW - 1 - x : dstW - 1 - y;
            const int64_t r = code == 1 ? dstH - 1 - x : code == 2 ? dstH - 1 - y : x;
            if (c >= 0 && c < dstW && r >= 0 && r < dstH) {
                dst[r * d + c / 8] |= static_cast<uint8_t>(0x80 >> (c % 8));
            }
        }
    }
}

std::vector<uint8_t> masked(const tsupport::RasterPage& page) {
    std::vector<uint8_t> bytes = page.pixels;
    const uint32_t spare = page.bytesPerLine * 8 - page.width;
    if (spare == 0 || spare >= 8) {
        return bytes;
    }
    for (uint32_t y = 0; y < page.height; ++y) {
        bytes[size_t{y} * page.bytesPerLine + page.bytesPerLine - 1] &=
            static_cast<uint8_t>(0xFF << spare);
    }
    return bytes;
}

std::vector<uint8_t> rowOf(const uint8_t* image, int64_t rowBytes, int64_t y) {
    return {image + y * rowBytes, image + (y + 1) * rowBytes};
}

} // namespace imagetest
