// PDF jobs: the app runs itself as the renderer of one job (posix_spawn, never a fork of
// this threaded server), reads the rendered labels from its pipe and sends each one through
// the drivers' job path, as a raster page. The renderer has a CPU and memory limit of its
// own; the time spent waiting for it is bounded too, and a renderer past either, or one
// that crashes, is ended with only its own job.
#include "printer-app/pdf_filter.h"

#include "printer-app/app.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tarvik_app {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDriverFormat = "application/octet-stream";
// The running executable, even after a package upgrade replaced its file.
constexpr const char* kSelf = "/proc/self/exe";
constexpr int kPollMs = 100;

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    ~Fd() {
        if (fd >= 0) {
            close(fd);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

struct OptionsDeleter {
    void operator()(pappl_pr_options_t* options) const { papplJobDeletePrintOptions(options); }
};
using Options = std::unique_ptr<pappl_pr_options_t, OptionsDeleter>;

enum class Got { Ok, Ended, Canceled, TimedOut, Failed };

struct SpawnSetup {
    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attrs{};
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attrs);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attrs);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// One renderer process and the read end of its pipe; never outlives the job.
class Renderer {
  public:
    explicit Renderer(int seconds) : budget_(std::chrono::seconds(seconds)) {}
    ~Renderer() { reap(false); }
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    bool start(const std::vector<std::string>& args, int input);
    // A job that renders its pages once per copy waits as long for each pass.
    void allowPasses(int passes) { budget_ *= std::max(passes, 1); }
    // Whether the renderer was ended by the app rather than by itself or its limits.
    bool killed() const { return killed_; }
    Got read(pappl_job_t* job, void* data, size_t size);
    // The renderer's wait status once it ended; patient: it is given a moment to end.
    int reap(bool patient);

  private:
    Got waitReadable(pappl_job_t* job);

    pid_t pid_ = -1;
    Fd out_;
    Clock::duration waited_{};
    Clock::duration budget_;
    int status_ = 0;
    bool killed_ = false;
};

bool Renderer::start(const std::vector<std::string>& args, int input) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    out_.fd = fds[0];
    Fd writeEnd(fds[1]);
    SpawnSetup s;
    posix_spawn_file_actions_adddup2(&s.actions, input, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&s.actions, writeEnd.fd, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&s.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // The server blocks its stop signals and ignores SIGPIPE; the renderer does neither.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    posix_spawnattr_setsigmask(&s.attrs, &none);
    posix_spawnattr_setsigdefault(&s.attrs, &defaults);
    posix_spawnattr_setflags(&s.attrs, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    return posix_spawn(&pid_, kSelf, &s.actions, &s.attrs, argv.data(), environ) == 0;
}

Got Renderer::waitReadable(pappl_job_t* job) {
    for (;;) {
        if (papplJobIsCanceled(job)) {
            return Got::Canceled;
        }
        if (waited_ >= budget_) {
            return Got::TimedOut;
        }
        pollfd p{out_.fd, POLLIN, 0};
        const auto t0 = Clock::now();
        const int n = poll(&p, 1, kPollMs);
        waited_ += Clock::now() - t0;
        if (n > 0) {
            return Got::Ok;
        }
        if (n < 0 && errno != EINTR) {
            return Got::Failed;
        }
    }
}

Got Renderer::read(pappl_job_t* job, void* data, size_t size) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        if (const Got g = waitReadable(job); g != Got::Ok) {
            return g;
        }
        const ssize_t n = ::read(out_.fd, p, size);
        if (n == 0) {
            return Got::Ended;
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return Got::Failed;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return Got::Ok;
}

int Renderer::reap(bool patient) {
    if (pid_ <= 0) {
        return status_;
    }
    for (int i = 0; patient && i < 50; ++i) {
        if (waitpid(pid_, &status_, WNOHANG) == pid_) {
            pid_ = -1;
            return status_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    killed_ = true;
    kill(pid_, SIGKILL);
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status_;
}

std::vector<std::string> renderArgs(const pappl_pr_options_t& o, const PdfLimits& limits) {
    const auto last = std::min<unsigned>(o.last_page, 1u << 20);
    return {"tarvik-printer-app",
            kPdfRenderCommand,
            std::to_string(o.header.cupsWidth),
            std::to_string(o.header.cupsHeight),
            std::to_string(o.printer_resolution[0]),
            std::to_string(o.printer_resolution[1]),
            scalingName(scalingOf(o.print_scaling)),
            std::to_string(std::clamp<unsigned>(o.first_page, 1, 1u << 20)),
            std::to_string(last),
            std::to_string(std::clamp(o.copies, 1, 9999)),
            std::to_string(limits.seconds)};
}

// 'photo' is dithered with the printer's photo matrix; text, graphics and 'auto' are cut
// at half grey, so that bars and strokes keep their edges.
void chooseDither(pappl_job_t* job, pappl_pr_options_t& o) {
    pappl_pr_driver_data_t data;
    if (o.print_content_optimize == PAPPL_CONTENT_PHOTO &&
        o.print_color_mode != PAPPL_COLOR_MODE_BI_LEVEL &&
        papplPrinterGetDriverData(papplJobGetPrinter(job), &data) != nullptr) {
        std::memcpy(o.dither, data.pdither, sizeof o.dither);
    } else {
        std::memset(o.dither, 127, sizeof o.dither);
    }
}

void greyHeader(cups_page_header2_t& h, uint32_t width, uint32_t height) {
    h.cupsWidth = width;
    h.cupsHeight = height;
    h.cupsBitsPerColor = 8;
    h.cupsBitsPerPixel = 8;
    h.cupsBytesPerLine = width;
    h.cupsColorSpace = CUPS_CSPACE_SW;
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.cupsNumColors = 1;
}

// What stopped the renderer, as the job's message.
struct Stop {
    pappl_jreason_t reason = PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR;
    std::string message;
};

std::string printable(std::string text) {
    for (char& c : text) {
        c = (c >= 0x20 && c < 0x7f) ? c : ' ';
    }
    return text;
}

Stop timeLimit(const PdfLimits& limits) {
    return {PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, "The PDF takes more than " +
                                                          std::to_string(limits.seconds) +
                                                          " seconds to render; it was stopped."};
}

// The renderer ended or broke its stream without saying why.
Stop ended(Renderer& r, const PdfLimits& limits) {
    const int status = r.reap(true);
    const bool overCpu = WIFSIGNALED(status) && (WTERMSIG(status) == SIGXCPU ||
                                                 (WTERMSIG(status) == SIGKILL && !r.killed()));
    if (overCpu) {
        return timeLimit(limits);
    }
    if (WIFSIGNALED(status)) {
        return {PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                "The PDF renderer stopped on this document (signal " +
                    std::to_string(WTERMSIG(status)) +
                    "): it is damaged or needs more than 1 GiB of memory."};
    }
    return {PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The PDF could not be rendered."};
}

Stop stopOf(Got g, Renderer& r, const PdfLimits& limits) {
    if (g == Got::TimedOut) {
        return timeLimit(limits);
    }
    return ended(r, limits);
}

// The renderer's error record: its message, or why it could not be read.
Stop errorOf(const PdfRecord& rec, Renderer& r, pappl_job_t* job, const PdfLimits& limits) {
    std::string text(std::min(rec.length, kMaxPdfMessage), '\0');
    if (rec.length > kMaxPdfMessage || r.read(job, text.data(), text.size()) != Got::Ok) {
        return ended(r, limits);
    }
    const auto error = static_cast<PdfError>(rec.a);
    return {error == PdfError::Damaged ? PAPPL_JREASON_DOCUMENT_FORMAT_ERROR
                                       : PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
            printable(std::move(text))};
}

// The next record; false with *stop set when it is not one, or an error record.
bool nextRecord(pappl_job_t* job, Renderer& r, const PdfLimits& limits, PdfRecord& rec, Stop* stop,
                bool* canceled) {
    const Got g = r.read(job, &rec, sizeof rec);
    if (g == Got::Canceled) {
        *canceled = true;
        return false;
    }
    if (g != Got::Ok || rec.magic != PdfRecord::kMagic) {
        *stop = g == Got::Ok ? ended(r, limits) : stopOf(g, r, limits);
        return false;
    }
    if (rec.kind == PdfRecordKind::Error) {
        *stop = errorOf(rec, r, job, limits);
        return false;
    }
    return true;
}

struct PdfJob {
    pappl_job_t* job;
    pappl_device_t* device;
    pappl_pr_options_t* options;
    Renderer& renderer;
    const PdfLimits& limits;
    std::vector<uint8_t> line;
};

enum class Step { Printed, Canceled, Failed, Broken };

// One label's lines through the job path, as the raster filter sends a page's.
Step sendLabel(PdfJob& pj, const PdfRecord& rec, unsigned page, Stop* stop) {
    greyHeader(pj.options->header, rec.a, rec.b);
    papplJobSetImpressionsCompleted(pj.job, 1);
    if (!startPage(pj.job, pj.options, pj.device, page)) {
        return Step::Failed;
    }
    pj.line.resize(rec.a);
    for (uint32_t y = 0; y < rec.b; ++y) {
        const Got g = pj.renderer.read(pj.job, pj.line.data(), pj.line.size());
        if (g == Got::Canceled) {
            return Step::Canceled;
        }
        if (g != Got::Ok) {
            // A label cut short is not printed.
            *stop = stopOf(g, pj.renderer, pj.limits);
            return Step::Broken;
        }
        if (!writeLine(pj.job, pj.options, pj.device, y, pj.line.data())) {
            return Step::Failed;
        }
    }
    if (!endPage(pj.job, pj.options, pj.device, page)) {
        return Step::Failed;
    }
    return papplJobIsCanceled(pj.job) ? Step::Canceled : Step::Printed;
}

bool isLabel(const PdfRecord& rec, uint32_t width, uint32_t height) {
    return rec.kind == PdfRecordKind::Page && rec.a == width && rec.b == height &&
           uint64_t{rec.length} == uint64_t{width} * height;
}

bool refuse(pappl_job_t* job, const Stop& stop) {
    return refuseJob(job, stop.reason, stop.message.c_str());
}

// The labels the renderer announced, then its end; anything else from it ends the job.
bool printLabels(PdfJob& pj, uint32_t labels) {
    const uint32_t width = pj.options->header.cupsWidth;
    const uint32_t height = pj.options->header.cupsHeight;
    for (unsigned page = 1;; ++page) {
        PdfRecord rec;
        Stop stop;
        bool canceled = false;
        if (!nextRecord(pj.job, pj.renderer, pj.limits, rec, &stop, &canceled)) {
            return canceled || refuse(pj.job, stop);
        }
        if (rec.kind == PdfRecordKind::End && page == labels + 1) {
            return true;
        }
        if (!isLabel(rec, width, height) || page > labels) {
            return refuse(pj.job, ended(pj.renderer, pj.limits));
        }
        switch (sendLabel(pj, rec, page, &stop)) {
        case Step::Printed:
            break;
        case Step::Canceled:
            return true;
        case Step::Failed:
            return false;
        case Step::Broken:
            return refuse(pj.job, stop);
        }
    }
}

bool printPdf(pappl_job_t* job, pappl_device_t* device, const PdfLimits& limits) {
    Options options(papplJobCreatePrintOptions(job, 0, false));
    if (!options) {
        return refuseJob(job, PAPPL_JREASON_ERRORS_DETECTED, "Not enough memory for the job.");
    }
    const char* name = papplJobGetFilename(job);
    Fd input(name != nullptr ? open(name, O_RDONLY | O_CLOEXEC) : -1);
    Renderer renderer(limits.seconds);
    if (input.fd < 0 || !renderer.start(renderArgs(*options, limits), input.fd)) {
        return refuseJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                         "The PDF renderer could not be started.");
    }
    PdfRecord doc;
    Stop stop;
    bool canceled = false;
    if (!nextRecord(job, renderer, limits, doc, &stop, &canceled)) {
        return canceled || refuse(job, stop);
    }
    if (doc.kind != PdfRecordKind::Document || doc.a == 0 || doc.b == 0 || doc.b > 9999) {
        return refuse(job, ended(renderer, limits));
    }
    papplJobSetImpressions(job, static_cast<int>(std::min<uint32_t>(doc.a, INT_MAX)));
    renderer.allowPasses(doc.b == 1 ? options->copies : 1);
    options->copies = static_cast<int>(doc.b);
    chooseDither(job, *options);
    if (!startJob(job, options.get(), device)) {
        return false;
    }
    PdfJob pj{job, device, options.get(), renderer, limits, {}};
    bool ok = false;
    try {
        ok = printLabels(pj, doc.a);
    } catch (...) {
        ok = refuseJob(job, PAPPL_JREASON_ERRORS_DETECTED, "The PDF could not be printed.");
    }
    ok = endJob(job, options.get(), device) && ok;
    return ok;
}

bool filterPdf(pappl_job_t* job, pappl_device_t* device, void* data) {
    try {
        return printPdf(job, device, *static_cast<const PdfLimits*>(data));
    } catch (...) {
        return refuseJob(job, PAPPL_JREASON_ERRORS_DETECTED, "The PDF could not be printed.");
    }
}

} // namespace

void registerPdfFilter(pappl_system_t* system, const PdfLimits* limits) {
    papplSystemAddMIMEFilter(system, "application/pdf", kDriverFormat, filterPdf,
                             const_cast<PdfLimits*>(limits));
}

} // namespace tarvik_app
