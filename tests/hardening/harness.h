#pragma once

// Shared by the hardening tests: the real backend run as CUPS runs it, on raster files
// written with libcups (any header values, compressed or not) and real PPDs, against the
// virtual T58, with its memory and descriptors sampled from /proc while it runs.

#include "tests/support/job.h"
#include "tests/support/support.h"
#include "vt58/vt58.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace hard {

using namespace std::chrono_literals;
using tjob::Defaults;

using tjob::kJobId;

// One page of a raster stream as the header states it; pixels may be fewer or more bytes
// than the header's size (a truncated or lying page).
struct RawPage {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bytesPerLine = 0;
    uint32_t bitsPerPixel = 1;
    std::vector<uint8_t> pixels;
};

RawPage rawOf(const tsupport::RasterPage& page);
// A CUPS raster stream written by libcups (RaS2 compressed when `compressed`).
std::string rasterStream(const std::vector<RawPage>& pages, bool compressed = false);

// A job on a virtual T58 of its own, run and checked by the fixture.
using Job = tjob::PrinterJob;
using tjob::runJob;

using tjob::childRunning;
using tjob::endResult;
using tjob::framesOf;

// Resources of a running process, from /proc.
struct Usage {
    long rssKiB = -1;
    long hwmKiB = -1;
    int fds = -1;
};
Usage usageOf(pid_t pid);

using tsupport::labelPage;

} // namespace hard
