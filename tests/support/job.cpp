#include "tests/support/job.h"

#include "backend/spool_path.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace tjob {

namespace {

bool writeFiles(const JobSpec& job, const JobFolders& folders) {
    bool ok = true;
    if (job.writeRaster) {
        ok = job.rasterBytes.empty() ? tsupport::writeRaster(folders.rasterPath(), job.pages)
                                     : tsupport::writeFile(folders.rasterPath(), job.rasterBytes);
    }
    if (job.withPpd) {
        ok = ok && (job.ppdText.empty() ? tsupport::writePpd(folders.ppdPath(), job.ppd)
                                        : tsupport::writeFile(folders.ppdPath(), job.ppdText));
    }
    return ok;
}

tsupport::EnvPairs environment(const JobSpec& job, const vt58::VirtualT58* vt,
                               const JobFolders& folders) {
    tsupport::EnvPairs env = {{"PATH", "/usr/bin:/bin"},
                              {"TMPDIR", folders.spool.path()},
                              {"CONTENT_TYPE", "application/vnd.cups-raster"}};
    if (job.withPpd) {
        env.emplace_back("PPD", folders.ppdPath());
    }
    for (const auto& [name, value] : job.env) {
        bool replaced = false;
        for (auto& pair : env) {
            if (pair.first == name) {
                pair.second = value;
                replaced = true;
            }
        }
        if (!replaced) {
            env.emplace_back(name, value);
        }
    }
    env = tsupport::withSanitizerOptions(env);
    return vt != nullptr ? vt->withChildEnv(env) : env;
}

tsupport::RunOptions runOptions(const JobSpec& job, const vt58::VirtualT58* vt,
                                const JobFolders& folders) {
    tsupport::RunOptions options;
    options.exe = tsupport::binPath(job.program);
    if (!job.wrapper.empty()) {
        options.exe = job.wrapper.front();
        options.args.assign(job.wrapper.begin() + 1, job.wrapper.end());
        options.args.push_back(tsupport::binPath(job.program));
    }
    for (const std::string& arg : tsupport::jobArgs(kJobId, job.copies)) {
        options.args.push_back(arg);
    }
    options.env = environment(job, vt, folders);
    options.shmDir = folders.shm.path();
    options.timeout = job.timeout;
    return options;
}

} // namespace

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

JobFolders::JobFolders(const char* tag)
    : spool((std::string(tag) + "-spool").c_str()), shm((std::string(tag) + "-shm").c_str()) {}

std::string JobFolders::rasterPath() const {
    return spoolPath(spool.path(), kJobId);
}

JobResult runJob(const JobSpec& job, const vt58::VirtualT58* vt, const JobFolders& folders) {
    JobResult result;
    result.filesWritten = writeFiles(job, folders);
    if (!result.filesWritten) {
        return result;
    }
    if (job.prepare) {
        job.prepare(folders.spool.path(), folders.shm.path());
    }
    tsupport::RunOptions options = runOptions(job, vt, folders);
    pid_t pid = -1;
    const std::string exeName = job.wrapper.empty() ? job.program : "";
    options.sigtermWhen = [&] {
        if (job.watch) {
            pid = pid > 0 ? pid : childRunning(exeName);
            if (pid > 0) {
                job.watch(pid);
            }
        }
        return job.sigtermWhen && job.sigtermWhen();
    };
    result.run = tsupport::runBackend(options);
    result.end = endResult(result.run.log + result.run.err);
    // Only a file the backend wrote: a test may have put a link or a pipe in its place.
    struct stat dump {};
    if (lstat(folders.shm.file("c.bmp").c_str(), &dump) == 0 && S_ISREG(dump.st_mode)) {
        result.pageDump = tsupport::readFile(folders.shm.file("c.bmp"));
    }
    if (vt != nullptr) {
        vt->waitClosed();
        result.record = vt->record();
    }
    return result;
}

JobResult runJob(const JobSpec& job, const vt58::VirtualT58* vt) {
    const JobFolders folders;
    return runJob(job, vt, folders);
}

std::optional<JobResult> runJob(const PrinterJob& job, const JobFolders& folders) {
    vt58::VirtualT58 vt(job.scenario);
    if (!vt.ok()) {
        ADD_FAILURE() << "virtual T58: " << vt.setupError();
        return std::nullopt;
    }
    JobSpec spec = job;
    if (job.termWhen) {
        spec.sigtermWhen = [&] { return job.termWhen(vt); };
    }
    JobResult r = runJob(spec, &vt, folders);
    expectClean(r);
    if (!r.filesWritten) {
        return std::nullopt;
    }
    EXPECT_TRUE(r.record.errors.empty()) << vt58::dumpRecord(r.record);
    return r;
}

std::vector<vt58::FrameRecord> framesOf(const vt58::Record& record, vt58::FrameKind kind) {
    std::vector<vt58::FrameRecord> out;
    std::copy_if(record.frames.begin(), record.frames.end(), std::back_inserter(out),
                 [&](const vt58::FrameRecord& f) { return f.kind == kind; });
    return out;
}

std::optional<int> endResult(const std::string& log) {
    const std::string key = "tarvik_backend: end, return = ";
    const size_t at = log.rfind(key);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    return std::atoi(log.c_str() + at + key.size());
}

void expectClean(const JobResult& r) {
    EXPECT_TRUE(r.filesWritten) << "could not write the job's files";
    EXPECT_FALSE(r.run.timedOut) << r.run.log;
    EXPECT_EQ(tsupport::countOf(r.run.log + r.run.err, "Sanitizer"), 0u) << r.run.log << r.run.err;
    EXPECT_TRUE(r.end.has_value()) << r.run.log << r.run.err;
}

} // namespace tjob
