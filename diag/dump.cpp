#include "diag/dump.h"

#include "diag/nofollow.h"

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr size_t kBmpHeaderBytes = 62;

// A descriptor closed when it goes out of scope, or earlier by close().
class DumpFile {
  public:
    explicit DumpFile(const char* path) : fd_(openNoFollow(path)) {}
    ~DumpFile() { close(); }
    DumpFile(const DumpFile&) = delete;
    DumpFile& operator=(const DumpFile&) = delete;

    // Write errors are not reported: the dump is for diagnosis only.
    void write(const uint8_t* bytes, size_t count) {
        while (fd_ >= 0 && count > 0) {
            const ssize_t n = ::write(fd_, bytes, count);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return;
            }
            bytes += n;
            count -= static_cast<size_t>(n);
        }
    }
    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

  private:
    int fd_;
};

void put16(uint8_t* at, uint16_t v) {
    at[0] = static_cast<uint8_t>(v);
    at[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* at, uint32_t v) {
    put16(at, static_cast<uint16_t>(v));
    put16(at + 2, static_cast<uint16_t>(v >> 16));
}

std::array<uint8_t, kBmpHeaderBytes> bmpHeader(uint32_t stride, int32_t w, int32_t h) {
    std::array<uint8_t, kBmpHeaderBytes> header{};
    header[0] = 'B';
    header[1] = 'M';
    put32(&header[2], stride * static_cast<uint32_t>(h) + kBmpHeaderBytes);
    put32(&header[10], kBmpHeaderBytes);
    put32(&header[14], 40);
    put32(&header[18], static_cast<uint32_t>(w));
    put32(&header[22], static_cast<uint32_t>(h));
    put16(&header[26], 1);
    put16(&header[28], 1);
    // The image size and resolutions are the same for every page.
    put32(&header[34], 7680);
    put32(&header[38], 203);
    put32(&header[42], 203);
    put32(&header[58], 0x00FFFFFF);
    return header;
}

} // namespace

std::string DumpNames::bmpPath(const char* base) const {
    return dir + "/" + base + (tag.empty() ? "" : "-" + tag) + ".bmp";
}

std::string DumpNames::rawPath(int32_t w, int32_t h, uint32_t stride) const {
    // Three 32-bit numbers with their signs fit with room to spare.
    char name[64];
    snprintf(name, sizeof(name), "%d_%d_%d.data", w, h, static_cast<int>(stride));
    return dir + "/" + (tag.empty() ? "" : tag + "-") + name;
}

void saveImage(const uint8_t* data, uint32_t len, int32_t w, int32_t h, const char* path,
               const DumpNames& names) {
    if (!names.enabled) {
        return;
    }
    uint32_t stride = (static_cast<uint32_t>(w) + 7) / 8;
    while (stride % 4 != 0) {
        ++stride;
    }
    // Both dumps lie in world-writable /dev/shm: a symbolic link there is not followed,
    // and a file that cannot be opened so is skipped.
    DumpFile bmp(path);
    DumpFile raw(names.rawPath(w, h, stride).c_str());
    const auto header = bmpHeader(stride, w, h);
    const size_t count = data ? len : 0;
    bmp.write(header.data(), header.size());
    bmp.write(data, count);
    raw.write(data, count);
    bmp.close();
    raw.close();
}
