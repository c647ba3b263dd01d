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

vt58::EnvPairs sanitizerEnv() {
    return tsupport::withSanitizerOptions({});
}

std::optional<Run> runJob(const Job& job) {
    vt58::VirtualT58 vt(job.scenario);
    if (!vt.ok()) {
        ADD_FAILURE() << "virtual T58: " << vt.setupError();
        return std::nullopt;
    }
    Run result;
    result.folders = std::make_unique<tjob::JobFolders>("hard");
    result.rasterPath = result.folders->rasterPath();
    tjob::JobSpec spec = job;
    if (job.termWhen) {
        spec.sigtermWhen = [&] { return job.termWhen(vt); };
    }
    tjob::JobResult r = tjob::runJob(spec, &vt, *result.folders);
    tjob::expectClean(r);
    if (!r.filesWritten) {
        return std::nullopt;
    }
    result.run = std::move(r.run);
    result.record = std::move(r.record);
    return result;
}

std::vector<vt58::FrameRecord> framesOf(const vt58::Record& record, vt58::FrameKind kind) {
    std::vector<vt58::FrameRecord> out;
    for (const auto& frame : record.frames) {
        if (frame.kind == kind) {
            out.push_back(frame);
        }
    }
    return out;
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

tsupport::RasterPage labelPage(uint32_t w, uint32_t h, uint32_t seed) {
    return tsupport::makePage(w, h, [=](uint32_t x, uint32_t y) {
        return x == 0 || y == 0 || x + 1 == w || y + 1 == h || (x / 3 + seed) % 7 == 0 ||
               x == y * 2 || (y < 8 && x < 40);
    });
}

} // namespace hard
