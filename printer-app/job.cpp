// The job path: PAPPL's raster lines collected into one page record, each page sent by the
// core exactly as the CUPS backend sends it, and the job's end as the printer decided it.
#include "link/status.h"
#include "link/transmit.h"
#include "printer-app/app.h"
#include "printer-app/page.h"
#include "printer-app/service.h"
#include "printer-app/settings.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace tarvik_app {

namespace {

constexpr auto kOfflinePoll = std::chrono::milliseconds(100);
constexpr int kOfflinePollsPerTry = 10;
// Tries of a page's copies whose link fails with no copy printed between them.
constexpr int kLinkTries = 3;
// PAPPL 1.3 dithers an 8-bit raster line into a buffer of the output header's
// cupsBytesPerLine, but writes as many bytes as the input line is wide (job-process.c,
// _papplJobProcessRaster): a grey page wider than the label (a Letter page on a 50 mm label)
// would overrun it. The output line is widened to this many bytes, 65,536 dots, which no
// client's page reaches; the driver still reads only the label's own bytes of each line.
constexpr unsigned kDitherLineBytes = 8192;

enum class Outcome { Printing, Stopped, Failed };

struct JobState {
    DeviceData* dev = nullptr;
    PrinterState* printer = nullptr;
    LabelSettings settings;
    int32_t copies = 1;
    PageBuilder page;
    bool pageOk = false;
    Outcome outcome = Outcome::Printing;
    // What of this job was on labels before this run, and since.
    std::string progressFile;
    JobProgress done;
    int32_t pageNo = 0;
};

JobState* jobState(pappl_job_t* job) {
    return static_cast<JobState*>(papplJobGetData(job));
}

int64_t numberOf(const char* text, int64_t fallback) {
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    return end != text ? parsed : fallback;
}

// A vendor setting: the job's value, else the printer's "-default" (PAPPL 1.3 looks for the
// default among the job's attributes, where it never is), an integer or its keyword.
int32_t vendorInt(pappl_job_t* job, const pappl_pr_options_t* options, const char* name,
                  int32_t fallback) {
    int64_t value = fallback;
    if (const char* text = cupsGetOption(name, options->num_vendor, options->vendor)) {
        value = numberOf(text, fallback);
    } else if (ipp_t* attrs = papplPrinterGetDriverAttributes(papplJobGetPrinter(job))) {
        const std::string defaultName = std::string(name) + "-default";
        char text[64] = "";
        if (ipp_attribute_t* attr = ippFindAttribute(attrs, defaultName.c_str(), IPP_TAG_ZERO)) {
            ippAttributeString(attr, text, sizeof text);
        }
        value = numberOf(text, fallback);
        ippDelete(attrs);
    }
    return static_cast<int32_t>(std::clamp<int64_t>(value, -1000, 1000));
}

// PAPPL turns and repeats image documents itself; raster pages arrive as the client made
// them, once, and the printer turns and repeats them.
bool isPapplRaster(pappl_job_t* job) {
    const char* format = papplJobGetFormat(job);
    return format != nullptr &&
           (std::strcmp(format, "image/pwg-raster") == 0 || std::strcmp(format, "image/urf") == 0);
}

// A PWG or Apple raster the front spooled: its pages are brought to the label here.
bool isSpooledRaster(pappl_job_t* job) {
    const char* format = papplJobGetFormat(job);
    return format != nullptr && std::strcmp(format, kSpooledRaster) == 0;
}

bool isRasterFormat(pappl_job_t* job) {
    return isPapplRaster(job) || isSpooledRaster(job);
}

// The PDF filter renders each label once and asks the printer for its copies.
bool repeatsOnPrinter(pappl_job_t* job) {
    const char* format = papplJobGetFormat(job);
    return isRasterFormat(job) ||
           (format != nullptr && std::strcmp(format, "application/pdf") == 0);
}

LabelSettings settingsOf(pappl_job_t* job, const pappl_pr_options_t* options) {
    LabelSettings s;
    s.darknessConfigured = options->darkness_configured;
    s.printDarkness = options->print_darkness;
    s.cutter = vendorInt(job, options, "tarvik-cutter", 0);
    // The job's orientation-requested turns the label; without one, the printer's rotation.
    ipp_attribute_t* orientation = papplJobGetAttribute(job, "orientation-requested");
    s.quarterTurns = orientation != nullptr ? quarterTurnsOf(ippGetInteger(orientation, 0))
                                            : vendorInt(job, options, "tarvik-rotation", 0);
    if (!isRasterFormat(job)) {
        s.quarterTurns = 0;
    }
    s.leftOffset = options->media.left_offset;
    s.topOffset = options->media.top_offset;
    s.lengthHmm = options->media.size_length;
    return s;
}

// A stopping server leaves the job as it is, to go on after the next start.
bool stopWaiting(pappl_job_t* job) {
    if (Service::get().stopping()) {
        Service::get().park();
    }
    return papplJobIsCanceled(job) ||
           papplSystemIsShutdown(papplPrinterGetSystem(papplJobGetPrinter(job)));
}

// An unplugged printer holds the job, with the reason shown, until it answers again.
bool waitForLink(pappl_job_t* job, JobState& js) {
    DeviceData& dev = *js.dev;
    if (dev.linkOpen && getDot_T58(dev.printer.link) != 0) {
        closeLink(dev);
    }
    pappl_printer_t* printer = papplJobGetPrinter(job);
    bool waited = false;
    while (openLink(dev) != OpenResult::Opened) {
        if (!waited) {
            papplPrinterSetReasons(printer, PAPPL_PREASON_OFFLINE, PAPPL_PREASON_NONE);
            papplJobSetMessage(job, "Waiting for the printer: unplugged or not answering.");
            if (js.printer != nullptr) {
                js.printer->setStatus("offline (unplugged or not answering)");
            }
            waited = true;
        }
        for (int i = 0; i < kOfflinePollsPerTry; ++i) {
            if (stopWaiting(job)) {
                return false;
            }
            std::this_thread::sleep_for(kOfflinePoll);
        }
    }
    papplPrinterSetReasons(printer, reasonsOf(dev.printer.link.lastStatus),
                           PAPPL_PREASON_OFFLINE | PAPPL_PREASON_OTHER);
    if (waited) {
        papplJobSetMessage(job, "Printing.");
    }
    return true;
}

void keepLabel(pappl_job_t* job, JobState& js, int32_t lines) {
    const T58Link& link = js.dev->printer.link;
    if (js.printer == nullptr || !link.work.dstData || lines <= 0) {
        return;
    }
    PrinterState::Label label;
    label.rowBytes = link.head.t58RowBytes;
    label.lines = lines;
    label.copies = link.copiesSent;
    label.jobId = papplJobGetID(job);
    const size_t bytes = size_t(lines) * size_t(label.rowBytes);
    label.dots.assign(link.work.dstData.get(), link.work.dstData.get() + bytes);
    // The head page went out in byte-swapped 16-bit words.
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        std::swap(label.dots[i], label.dots[i + 1]);
    }
    js.printer->setLabel(std::move(label));
}

bool finishStopped(pappl_job_t* job, JobState& js) {
    js.outcome = Outcome::Stopped;
    papplJobSetReasons(job, PAPPL_JREASON_JOB_CANCELED_AT_DEVICE, PAPPL_JREASON_NONE);
    papplJobSetMessage(job, "Stopped at the printer.");
    papplJobCancel(job);
    return true;
}

bool finishFailed(pappl_job_t* job, JobState& js, const char* why) {
    js.outcome = Outcome::Failed;
    papplJobSetReasons(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
    papplJobSetMessage(job, "%s", why);
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why);
    return false;
}

void noteCopy(JobState& js, int32_t copyNo) {
    js.done.copies = copyNo;
    saveProgress(js.progressFile, js.done);
}

void notePage(JobState& js) {
    js.done.pages = js.pageNo;
    js.done.copies = 0;
    saveProgress(js.progressFile, js.done);
}

// One try at the page's copies not printed yet.
PrintResult sendCopies(pappl_job_t* job, JobState& js) {
    PageBuilder& page = js.page;
    PageData pd{};
    pd.w = static_cast<int32_t>(page.width());
    pd.h = static_cast<int32_t>(page.height());
    pd.rowBytes = static_cast<int32_t>(page.rowBytes());
    pd.data = page.data();
    applySettings(js.settings, js.copies, pd);
    T58Link& link = js.dev->printer.link;
    link.cancelRequested = [job] { return papplJobIsCanceled(job); };
    link.bStopAtBlocks = true;
    link.stopBeforeCopy = [] { return Service::get().stopping(); };
    link.firstCopy = std::min(js.done.copies, js.copies);
    link.copyDone = [&js](int32_t copyNo) { noteCopy(js, copyNo); };
    const PrintResult result = t58_Print(link, js.copies, &pd);
    link.copyDone = nullptr;
    if (link.copiesSent > 0) {
        keepLabel(job, js, pd.h);
    }
    return result;
}

bool printPage(pappl_job_t* job, JobState& js) {
    PageBuilder& page = js.page;
    maskPastWidth(page.data(), page.width(), page.height(), page.rowBytes());
    // A printer pulled out or gone quiet in the middle of a label: the job waits for it and
    // prints the copies not yet out, the cut one again; a link that keeps failing with the
    // printer there ends the job.
    for (int failures = 0;;) {
        const int32_t before = js.done.copies;
        const PrintResult result = sendCopies(job, js);
        const T58Link& link = js.dev->printer.link;
        const bool printed = result == PrintResult::Printed;
        if (result == PrintResult::StoppedAtPrinter || (printed && link.lastStatus.stopsPage())) {
            return finishStopped(job, js);
        }
        // Copies left out with no cancel and no stop: the printer stopped answering between
        // two labels (the core skips a copy it could not wait for).
        const bool copiesLeft = printed && js.done.copies < js.copies && !papplJobIsCanceled(job) &&
                                !Service::get().stopping();
        if (result == PrintResult::LinkFailed || copiesLeft) {
            closeLink(*js.dev);
            failures = js.done.copies > before ? 1 : failures + 1;
            if (failures < kLinkTries && waitForLink(job, js)) {
                papplLogJob(job, PAPPL_LOGLEVEL_WARN, "The link failed; printing the rest again.");
                continue;
            }
            return papplJobIsCanceled(job) ||
                   finishFailed(job, js, resultText(PrintResult::LinkFailed));
        }
        if (!printed) {
            return finishFailed(job, js, resultText(result));
        }
        break;
    }
    if (js.done.copies < js.copies && !papplJobIsCanceled(job) && Service::get().stopping()) {
        Service::get().park();
    }
    notePage(js);
    return true;
}

void releasePrinting(pappl_job_t* job) {
    if (PrinterState* state = printerState(papplJobGetPrinter(job))) {
        state->endTurn();
    }
}

bool failStart(pappl_job_t* job) {
    holdYoungerJobs(job);
    releasePrinting(job);
    Service::get().leaveJob();
    return false;
}

// A job thread of its own for this printer: a second start of the same job stands aside for
// good (ending it would end the job twice in PAPPL), another job waits its turn, behind an
// older one PAPPL started at the same moment.
void takePrinter(pappl_job_t* job) {
    PrinterState* state = printerState(papplJobGetPrinter(job));
    if (state == nullptr) {
        return;
    }
    if (!state->claim(papplJobGetID(job))) {
        papplLogJob(job, PAPPL_LOGLEVEL_WARN, "Started twice; the second start stands aside.");
        for (;;) {
            std::this_thread::sleep_for(std::chrono::hours(1));
        }
    }
    state->takeTurn(papplJobGetID(job), [job](std::chrono::milliseconds waited) {
        return olderJobComing(job, waited);
    });
}

} // namespace

Scaling scalingOf(pappl_scaling_t scaling) {
    switch (scaling) {
    case PAPPL_SCALING_AUTO_FIT:
        return Scaling::AutoFit;
    case PAPPL_SCALING_FIT:
        return Scaling::Fit;
    case PAPPL_SCALING_FILL:
        return Scaling::Fill;
    case PAPPL_SCALING_NONE:
        return Scaling::None;
    default:
        return Scaling::Auto;
    }
}

ScalePlan planJobPage(pappl_job_t* job, const pappl_pr_options_t& o, const PageGeometry& page,
                      int32_t quarterTurns, unsigned pageNo) {
    const double dpi = o.printer_resolution[0];
    auto dots = [dpi](int hmm) { return static_cast<uint32_t>(std::max(0, hmm) * dpi / 2540); };
    uint32_t width = dots(o.media.size_width);
    uint32_t height = dots(o.media.size_length);
    const Scaling scaling = scalingOf(o.print_scaling);
    // A label-sized page the printer turns is printed as the backend prints it.
    ScalePlan plan = planPage(scaling, page, width, height, dpi);
    if (quarterTurns % 2 != 0) {
        std::swap(width, height);
        if (const ScalePlan turned = planPage(scaling, page, width, height, dpi);
            !plan.keep || turned.keep) {
            plan = turned;
        }
    }
    papplLogJob(job, PAPPL_LOGLEVEL_INFO,
                "Page %u: %u x %u dots at %.0f dpi on a %u x %u label, %s.", pageNo, page.width,
                page.height, page.xdpi > 0 ? page.xdpi : dpi, width, height,
                describePlan(plan).c_str());
    if (plan.keep && plan.cut && plan.asked == Scaling::None) {
        papplJobSetMessage(job,
                           "Page %u is larger than the label and was cut at its edges: "
                           "print-scaling is none.",
                           pageNo);
    }
    return plan;
}

bool refuseJob(pappl_job_t* job, pappl_jreason_t reason, const char* message) {
    // Refused before it started: the jobs it would have released wait behind the next one.
    releaseHeldJobs(job);
    holdYoungerJobs(job);
    papplJobSetReasons(job, reason, PAPPL_JREASON_NONE);
    papplJobSetMessage(job, "%s", message);
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message);
    return false;
}

bool startJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
    takePrinter(job);
    Service::get().enterJob();
    if (Service::get().stopping()) {
        Service::get().park();
    }
    releaseHeldJobs(job);
    std::unique_ptr<JobState> js;
    try {
        js = std::make_unique<JobState>();
        js->dev = deviceData(device);
        js->printer = printerState(papplJobGetPrinter(job));
        if (js->dev == nullptr) {
            return failStart(job);
        }
        js->dev->coreLines.usedBy(papplJobGetPrinter(job));
        js->settings = settingsOf(job, options);
        js->copies = repeatsOnPrinter(job) ? std::clamp(options->copies, 1, 9999) : 1;
        js->progressFile = progressPath(job);
        js->done = loadProgress(js->progressFile);
        if (js->done.pages > 0 || js->done.copies > 0) {
            papplLogJob(job, PAPPL_LOGLEVEL_INFO,
                        "Going on after %d pages and %d copies printed before the restart.",
                        js->done.pages, js->done.copies);
        }
        if (!waitForLink(job, *js)) {
            return failStart(job);
        }
        papplJobSetData(job, js.release());
        return true;
    } catch (...) {
        return failStart(job);
    }
}

bool startPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned) {
    JobState* js = jobState(job);
    if (js == nullptr) {
        return false;
    }
    ++js->pageNo;
    ScalePlan plan;
    if (isSpooledRaster(job)) {
        const cups_page_header2_t& h = options->header;
        plan = planJobPage(
            job, *options,
            {h.cupsWidth, h.cupsHeight, double(h.HWResolution[0]), double(h.HWResolution[1])},
            js->settings.quarterTurns, static_cast<unsigned>(js->pageNo));
    }
    const PageCheck check = js->page.start(options->header, &options->dither, &plan);
    js->pageOk = check == PageCheck::Ok;
    if (!js->pageOk) {
        return finishFailed(job, *js, pageCheckText(check));
    }
    // Only PAPPL's raster path dithers into a line of this width; the image filter allocates
    // its line before the page starts, so widening it there would overrun that line.
    if (isPapplRaster(job)) {
        options->header.cupsBytesPerLine =
            std::max(options->header.cupsBytesPerLine, kDitherLineBytes);
    }
    return true;
}

bool writeLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned y,
               const unsigned char* line) {
    JobState* js = jobState(job);
    if (js == nullptr || line == nullptr || !js->pageOk) {
        return false;
    }
    js->page.line(y, line,
                  std::min(options->header.cupsBytesPerLine, js->page.inputBytesPerLine()));
    return true;
}

bool endPage(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned) {
    JobState* js = jobState(job);
    if (js == nullptr) {
        return false;
    }
    if (js->outcome != Outcome::Printing || papplJobIsCanceled(job)) {
        return js->outcome != Outcome::Failed;
    }
    // Pages printed whole before a restart are not printed again.
    if (js->pageNo <= js->done.pages) {
        return true;
    }
    try {
        js->page.finish();
        return printPage(job, *js);
    } catch (...) {
        return finishFailed(job, *js, "The page could not be printed.");
    }
}

bool endJob(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*) {
    std::unique_ptr<JobState> js(jobState(job));
    papplJobSetData(job, nullptr);
    if (js != nullptr) {
        removeProgress(js->progressFile);
    }
    holdYoungerJobs(job);
    releasePrinting(job);
    Service::get().leaveJob();
    return js != nullptr && js->outcome != Outcome::Failed;
}

} // namespace tarvik_app
