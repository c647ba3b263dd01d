#include "tests/support/support.h"

#include <cups/raster.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

namespace tsupport {

TempDir::TempDir(const char* tag) {
    std::string tmpl = (std::filesystem::temp_directory_path() / (std::string(tag) + ".XXXXXX"));
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) {
        path_ = buf.data();
    }
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
}

static uint32_t lineBytes(uint32_t w, uint32_t bytesPerLine) {
    return bytesPerLine != 0 ? bytesPerLine : (w + 7) / 8;
}

RasterPage makePage(uint32_t w, uint32_t h, const std::function<bool(uint32_t, uint32_t)>& dot,
                    uint32_t bytesPerLine) {
    RasterPage page{w, h, lineBytes(w, bytesPerLine), {}};
    page.pixels.assign(size_t{page.bytesPerLine} * h, 0);
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w && x / 8 < page.bytesPerLine; ++x) {
            if (dot(x, y)) {
                page.pixels[size_t{y} * page.bytesPerLine + x / 8] |= uint8_t(0x80u >> (x % 8));
            }
        }
    }
    return page;
}

RasterPage randomPage(uint32_t w, uint32_t h, uint32_t seed, uint32_t bytesPerLine) {
    RasterPage page{w, h, lineBytes(w, bytesPerLine), {}};
    std::mt19937 gen(seed);
    page.pixels.resize(size_t{page.bytesPerLine} * h);
    for (auto& b : page.pixels) {
        b = uint8_t(gen());
    }
    return page;
}

RasterPage labelPage(uint32_t w, uint32_t h, uint32_t seed) {
    return makePage(w, h, [=](uint32_t x, uint32_t y) {
        return x == 0 || y == 0 || x + 1 == w || y + 1 == h || (x / 3 + seed) % 7 == 0 ||
               x == y * 2 || (y < 8 && x < 40);
    });
}

static cups_page_header2_t headerFor(const RasterPage& page) {
    cups_page_header2_t header{};
    header.HWResolution[0] = header.HWResolution[1] = 300;
    header.cupsWidth = page.width;
    header.cupsHeight = page.height;
    header.cupsBytesPerLine = page.bytesPerLine;
    header.cupsBitsPerColor = 1;
    header.cupsBitsPerPixel = 1;
    header.cupsColorSpace = CUPS_CSPACE_K;
    header.cupsColorOrder = CUPS_ORDER_CHUNKED;
    header.NumCopies = 1;
    header.PageSize[0] = page.width * 72 / 300;
    header.PageSize[1] = page.height * 72 / 300;
    return header;
}

bool writeRaster(const std::string& path, const std::vector<RasterPage>& pages,
                 const RasterWriteOptions& options) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    cups_raster_t* ras = cupsRasterOpen(fd, options.mode);
    bool ok = ras != nullptr;
    for (size_t i = 0; ok && i < pages.size(); ++i) {
        const RasterPage& page = pages[i];
        cups_page_header2_t header = headerFor(page);
        if (options.header) {
            options.header(i, header);
        }
        ok = cupsRasterWriteHeader2(ras, &header) != 0;
        // The compressing writers take whole lines: the pixels go line by line.
        std::vector<uint8_t> pixels = page.pixels;
        const size_t line = page.bytesPerLine > 0 ? page.bytesPerLine : 1;
        for (size_t at = 0; ok && at < pixels.size(); at += line) {
            const auto n = static_cast<unsigned>(std::min(line, pixels.size() - at));
            ok = cupsRasterWritePixels(ras, pixels.data() + at, n) == n;
        }
    }
    if (ras != nullptr) {
        cupsRasterClose(ras);
    }
    return close(fd) == 0 && ok;
}

bool writePpd(const std::string& path,
              const std::vector<std::pair<std::string, std::string>>& defaults) {
    std::ostringstream ppd;
    ppd << "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
           "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n"
           "*PCFileName: \"TEST.PPD\"\n*Manufacturer: \"Tarvik\"\n*Product: \"(T58)\"\n"
           "*ModelName: \"Tarvik T58\"\n*ShortNickName: \"Tarvik T58\"\n"
           "*NickName: \"Tarvik T58 test\"\n*PSVersion: \"(3010.000) 0\"\n"
           "*LanguageLevel: \"3\"\n*ColorDevice: False\n*DefaultColorSpace: Gray\n"
           "*FileSystem: False\n*Throughput: \"1\"\n*LandscapeOrientation: Plus90\n"
           "*TTRasterizer: Type42\n"
           "*OpenUI *PageSize/Media Size: PickOne\n*DefaultPageSize: w164h113\n"
           "*PageSize w164h113/58 x 40 mm: \"<</PageSize[164 113]>>setpagedevice\"\n"
           "*CloseUI: *PageSize\n";
    for (const auto& [keyword, choice] : defaults) {
        ppd << "*OpenUI *" << keyword << "/" << keyword << " label: PickOne\n"
            << "*Default" << keyword << ": " << choice << "\n"
            << "*" << keyword << " " << choice << "/Choice " << choice << ": \"\"\n"
            << "*CloseUI: *" << keyword << "\n";
    }
    return writeFile(path, ppd.str());
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool isSymlink(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return bool(out.flush());
}

size_t countOf(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t pos = hay.find(needle); !needle.empty() && pos != std::string::npos;
         pos = hay.find(needle, pos + needle.size())) {
        ++n;
    }
    return n;
}

namespace {

// In the forked child: only system calls (and reads of what was built before fork) until
// the exec.
[[noreturn]] void execChild(char** argv, char** envp, const SpawnOptions& options) {
    if (!options.binds.empty() &&
        (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr))) {
        _exit(126);
    }
    for (const auto& [folder, where] : options.binds) {
        if (mount(folder.c_str(), where.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            _exit(126);
        }
    }
    const int fds[] = {options.inFd, options.outFd, options.errFd};
    for (int target = 0; target < 3; ++target) {
        if (fds[target] >= 0) {
            dup2(fds[target], target);
        }
    }
    // Nothing the test runner left open reaches the child: its descriptors start at 3.
    close_range(3, ~0u, 0);
    execve(argv[0], argv, envp);
    _exit(127);
}

} // namespace

pid_t spawn(const SpawnOptions& options) {
    CStrings argv{options.argv, {}};
    CStrings envp;
    for (const auto& [name, value] : options.env) {
        envp.owned.push_back(name + "=" + value);
    }
    char** av = argv.get();
    char** ev = envp.get();
    const pid_t pid = fork();
    if (pid == 0) {
        execChild(av, ev, options);
    }
    return pid;
}

RunResult runBackend(const RunOptions& options) {
    RunResult result;
    SpawnOptions spawned{{options.exe}, options.env, {}};
    spawned.argv.insert(spawned.argv.end(), options.args.begin(), options.args.end());
    if (!options.shmDir.empty()) {
        spawned.binds = {{options.shmDir, "/dev/shm"}};
    }
    // Without a /dev/shm of its own the child's output goes to a folder of this run.
    std::unique_ptr<TempDir> outputDir;
    if (options.shmDir.empty()) {
        outputDir = std::make_unique<TempDir>("run-output");
    }
    const std::string outputBase = outputDir ? outputDir->file("child") : options.shmDir;
    std::string outPath = outputBase + ".stdout";
    std::string errPath = outputBase + ".stderr";
    spawned.inFd = open(options.stdinPath.c_str(), O_RDONLY | O_CLOEXEC);
    spawned.outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    spawned.errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    auto start = std::chrono::steady_clock::now();
    const pid_t pid = spawn(spawned);
    for (int fd : {spawned.inFd, spawned.outFd, spawned.errFd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    if (pid < 0) {
        return result;
    }
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            break;
        }
        auto elapsed = std::chrono::steady_clock::now() - start;
        if (elapsed > options.timeout) {
            kill(pid, SIGKILL);
            result.timedOut = true;
            waitpid(pid, &status, 0);
            break;
        }
        if (!result.sigtermSent && options.sigtermWhen && options.sigtermWhen()) {
            kill(pid, SIGTERM);
            result.sigtermSent = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.termSignal = WTERMSIG(status);
    }
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    if (!options.shmDir.empty()) {
        result.log = readFile(options.shmDir + "/t58print.log");
    }
    return result;
}

std::vector<std::string> jobArgs(int jobId, const std::string& copies, const std::string& options) {
    return {std::to_string(jobId), "labeluser", "label job", copies, options};
}

std::string binPath(const std::string& name) {
    return std::string(TARVIK_BIN_DIR) + "/" + name;
}

std::vector<std::string> scanBarcodes(const std::string& imagePath) {
    RunOptions options;
    options.exe = "/usr/bin/zbarimg"; // zbar-tools; a missing one exits 127
    options.args = {"--quiet", "--nodbus", imagePath};
    options.env = {{"PATH", "/usr/bin:/bin"}, {"LANG", "C.UTF-8"}};
    const RunResult run = runBackend(options);
    std::vector<std::string> codes;
    std::istringstream lines(run.exitStatus == 0 ? run.out : std::string());
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            codes.push_back(line);
        }
    }
    return codes;
}

EnvPairs withSanitizerOptions(EnvPairs env) {
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name)) {
            env.emplace_back(name, value);
        }
    }
    return env;
}

char** CStrings::get() {
    ptrs.clear();
    for (auto& s : owned) {
        ptrs.push_back(s.data());
    }
    ptrs.push_back(nullptr);
    return ptrs.data();
}

double cpuSeconds(const rusage& usage) {
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

pid_t childOfThisThread() {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/children", int(gettid()));
    std::ifstream in(path);
    long pid = 0;
    in >> pid;
    return pid_t(pid);
}

} // namespace tsupport
