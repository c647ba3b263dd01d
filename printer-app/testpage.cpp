// The test page: drawn by the app at the job's label size and sent through the job path as
// one 1-bit page. The web page's "Print Test Page" makes a job of it; an IPP client (or the
// "submit" sub-command) prints it as a document of the format kTestPage.
#include "link/device_uri.h"
#include "printer-app/app.h"
#include "printer-app/settings.h"
#include "printer-app/test_label.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>

namespace tarvik_app {

namespace {

struct OptionsDeleter {
    void operator()(pappl_pr_options_t* options) const { papplJobDeletePrintOptions(options); }
};

TestLabelInfo infoOf(pappl_job_t* job, const pappl_pr_options_t& options) {
    pappl_printer_t* printer = papplJobGetPrinter(job);
    TestLabelInfo info;
    const char* name = papplPrinterGetName(printer);
    info.name = name != nullptr ? name : "";
    info.serial = serialOfDeviceUri(papplPrinterGetDeviceURI(printer));
    pappl_pr_driver_data_t data;
    const bool head300 =
        papplPrinterGetDriverData(printer, &data) != nullptr && data.x_default == kHead300.xDpi;
    const HeadGeometry& head = head300 ? kHead300 : kHead203;
    info.dpi = head.xDpi;
    info.headDots = head.t58RowBytes * 8;
    info.darknessPercent = std::clamp(options.darkness_configured + options.print_darkness, 0, 100);
    info.darknessLevel = darknessByte(options.darkness_configured, options.print_darkness);
    info.widthHmm = options.media.size_width;
    info.lengthHmm = options.media.size_length;
    info.leftOffsetHmm = options.media.left_offset;
    info.topOffsetHmm = options.media.top_offset;
    return info;
}

void setHeader(cups_page_header2_t& h, const DotPage& page, int32_t dpi) {
    h.HWResolution[0] = h.HWResolution[1] = static_cast<unsigned>(dpi);
    h.cupsWidth = static_cast<unsigned>(page.width());
    h.cupsHeight = static_cast<unsigned>(page.height());
    h.cupsBitsPerColor = 1;
    h.cupsBitsPerPixel = 1;
    h.cupsBytesPerLine = static_cast<unsigned>(page.rowBytes());
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.cupsColorSpace = CUPS_CSPACE_K;
    h.PageSize[0] = static_cast<unsigned>(page.width() * 72 / dpi);
    h.PageSize[1] = static_cast<unsigned>(page.height() * 72 / dpi);
}

bool sendPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device,
              const DotPage& page) {
    papplJobSetImpressions(job, 1);
    papplJobSetImpressionsCompleted(job, 1);
    if (!startPage(job, options, device, 1)) {
        return false;
    }
    for (int32_t y = 0; y < page.height() && !papplJobIsCanceled(job); ++y) {
        if (!writeLine(job, options, device, static_cast<unsigned>(y), page.row(y))) {
            break;
        }
    }
    return endPage(job, options, device, 1);
}

} // namespace

bool printTestPage(pappl_job_t* job, pappl_device_t* device, void*) {
    std::unique_ptr<pappl_pr_options_t, OptionsDeleter> options(
        papplJobCreatePrintOptions(job, 1, false));
    if (!options) {
        return refuseJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Not enough memory for the job.");
    }
    std::unique_ptr<DotPage> page;
    TestLabelInfo info;
    try {
        info = infoOf(job, *options);
        page = std::make_unique<DotPage>(renderTestLabel(info));
    } catch (...) {
        return refuseJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Not enough memory for the job.");
    }
    setHeader(options->header, *page, info.dpi);
    if (!startJob(job, options.get(), device)) {
        return false;
    }
    bool ok = sendPage(job, options.get(), device, *page);
    ok = endJob(job, options.get(), device) && ok;
    return ok;
}

// PAPPL would type a file it is given by its first bytes; the job is made here with the
// test page's own format instead, and PAPPL is told there is no file to print.
const char* testPageJob(pappl_printer_t* printer, char*, size_t) {
    try {
        std::string path = std::string(papplGetTempDir()) + "/tarvik-test-page-XXXXXX";
        const int fd = mkstemp(path.data());
        if (fd < 0) {
            papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "No file for the test page.");
            return nullptr;
        }
        constexpr char kText[] = "T58 test page\n";
        const bool written = write(fd, kText, sizeof kText - 1) == sizeof kText - 1;
        close(fd);
        if (!written || papplJobCreateWithFile(printer, "guest", kTestPage, "Test Page", 0, nullptr,
                                               path.c_str()) == nullptr) {
            unlink(path.c_str());
            papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "The test page job was not made.");
        }
    } catch (...) {
    }
    return nullptr;
}

} // namespace tarvik_app
