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
    result.spool = std::make_unique<tsupport::TempDir>("hard-spool");
    result.shm = std::make_unique<tsupport::TempDir>("hard-shm");
    result.rasterPath = spoolPath(result.spool->path(), kJobId);
    const std::string ppd = result.spool->file("t58.ppd");
    const bool rasterOk = job.rasterBytes.empty()
                              ? tsupport::writeRaster(result.rasterPath, job.pages)
                              : tsupport::writeFile(result.rasterPath, job.rasterBytes);
    const bool ppdOk = job.ppdText.empty() ? tsupport::writePpd(ppd, job.ppd)
                                           : tsupport::writeFile(ppd, job.ppdText);
    if (!rasterOk || !ppdOk) {
        ADD_FAILURE() << "could not write the job's files";
        return std::nullopt;
    }
    if (job.prepare) {
        job.prepare(result.spool->path(), result.shm->path());
    }
    tsupport::RunOptions options;
    options.exe = tsupport::binPath("tarvik");
    if (!job.wrapper.empty()) {
        options.exe = job.wrapper.front();
        options.args.assign(job.wrapper.begin() + 1, job.wrapper.end());
        options.args.push_back(tsupport::binPath("tarvik"));
    }
    for (const std::string& arg : tsupport::jobArgs(kJobId, job.copies)) {
        options.args.push_back(arg);
    }
    vt58::EnvPairs env = {{"TMPDIR", result.spool->path()},
                          {"PPD", ppd},
                          {"CONTENT_TYPE", "application/vnd.cups-raster"},
                          {"PATH", "/usr/bin:/bin"}};
    for (auto& pair : sanitizerEnv()) {
        env.push_back(pair);
    }
    options.env = vt.withChildEnv(env);
    options.shmDir = result.shm->path();
    options.timeout = job.timeout;
    pid_t pid = -1;
    const std::string exeName = job.wrapper.empty() ? "tarvik" : "";
    options.sigtermWhen = [&] {
        if (job.watch) {
            if (pid < 0) {
                pid = childRunning(exeName);
            }
            if (pid > 0) {
                job.watch(pid);
            }
        }
        return job.termWhen && job.termWhen(vt);
    };
    result.run = tsupport::runBackend(options);
    vt.waitClosed();
    result.record = vt.record();
    EXPECT_EQ(result.run.exitStatus, 0) << result.run.log << result.run.err;
    EXPECT_FALSE(result.run.timedOut) << result.run.log;
    EXPECT_EQ(tsupport::countOf(result.run.log + result.run.err, "Sanitizer"), 0u)
        << result.run.log << result.run.err;
    EXPECT_TRUE(endResult(result.run.log + result.run.err).has_value())
        << result.run.log << result.run.err;
    return result;
}

std::optional<int> endResult(const std::string& log) {
    const std::string key = "tarvik_backend: end, return = ";
    const size_t at = log.rfind(key);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    return std::atoi(log.c_str() + at + key.size());
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

namespace {

std::string linkTarget(const std::string& path) {
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

} // namespace

pid_t childRunning(const std::string& exeName) {
    const pid_t self = getpid();
    const std::string selfExe = linkTarget("/proc/self/exe");
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return -1;
    }
    pid_t found = -1;
    while (const dirent* entry = readdir(proc)) {
        const pid_t pid = std::atoi(entry->d_name);
        if (pid <= 0) {
            continue;
        }
        const std::string dir = "/proc/" + std::to_string(pid);
        // After the command's closing parenthesis: the state, then the parent's pid.
        const std::string stat = tsupport::readFile(dir + "/stat");
        const size_t open = stat.find('(');
        const size_t close = stat.rfind(')');
        char state = 0;
        int ppid = 0;
        if (open == std::string::npos || close == std::string::npos ||
            std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2 || ppid != self) {
            continue;
        }
        // Until its exec the child is a copy of this program.
        const std::string comm = stat.substr(open + 1, close - open - 1);
        if (linkTarget(dir + "/exe") != selfExe && (exeName.empty() || comm == exeName)) {
            found = pid;
            break;
        }
    }
    closedir(proc);
    return found;
}

tsupport::RasterPage labelPage(uint32_t w, uint32_t h, uint32_t seed) {
    return tsupport::makePage(w, h, [=](uint32_t x, uint32_t y) {
        return x == 0 || y == 0 || x + 1 == w || y + 1 == h || (x / 3 + seed) % 7 == 0 ||
               x == y * 2 || (y < 8 && x < 40);
    });
}

} // namespace hard
