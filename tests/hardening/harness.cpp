#include "tests/hardening/harness.h"
#include "backend/spool_path.h"

#include <cups/raster.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace hard {

RawPage rawOf(const tsupport::RasterPage& page) {
    return {page.width, page.height, page.bytesPerLine, 1, page.pixels};
}

std::string rasterStream(const std::vector<RawPage>& pages, bool compressed) {
    tsupport::TempDir dir("hard-raster");
    const std::string path = dir.file("stream");
    std::vector<tsupport::RasterPage> plain;
    for (const RawPage& page : pages) {
        plain.push_back({page.width, page.height, page.bytesPerLine, page.pixels});
    }
    tsupport::RasterWriteOptions options;
    options.mode = compressed ? CUPS_RASTER_WRITE_COMPRESSED : CUPS_RASTER_WRITE;
    options.header = [&](size_t i, cups_page_header2_t& header) {
        header.cupsBitsPerColor = header.cupsBitsPerPixel = pages[i].bitsPerPixel;
        header.cupsColorOrder = CUPS_ORDER_CHUNKED;
        header.PageSize[0] = header.PageSize[1] = 0;
    };
    // A hostile page may be refused by the writer part-way; what it wrote is the stream.
    tsupport::writeRaster(path, plain, options);
    return tsupport::readFile(path);
}

Usage usageOf(pid_t pid) {
    Usage usage;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> usage.rssKiB;
        } else if (key == "VmHWM:") {
            status >> usage.hwmKiB;
        }
    }
    if (DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        usage.fds = 0;
        while (const dirent* entry = readdir(dir)) {
            usage.fds += entry->d_name[0] != '.';
        }
        closedir(dir);
    }
    return usage;
}

} // namespace hard
