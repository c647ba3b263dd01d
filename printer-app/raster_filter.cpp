// A spooled raster document read back with libcups's raster reader, each page through the
// same job path as PAPPL's own filters use, with the page's own header.
#include "printer-app/app.h"
#include "printer-app/page.h"

#include <cups/raster.h>

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace tarvik_app {

namespace {

struct RasterFile {
    int fd = -1;
    cups_raster_t* ras = nullptr;
    ~RasterFile() {
        if (ras != nullptr) {
            cupsRasterClose(ras);
        }
        if (fd >= 0) {
            close(fd);
        }
    }
};

struct OptionsDeleter {
    void operator()(pappl_pr_options_t* options) const { papplJobDeletePrintOptions(options); }
};

// The page's lines, read whole before the page ends; false when the document ends early.
bool sendLines(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device,
               RasterFile& file, std::vector<uint8_t>& line) {
    const cups_page_header2_t& h = options->header;
    line.resize(h.cupsBytesPerLine);
    for (unsigned y = 0; y < h.cupsHeight; ++y) {
        if (papplJobIsCanceled(job)) {
            return true;
        }
        if (cupsRasterReadPixels(file.ras, line.data(), h.cupsBytesPerLine) == 0) {
            return false;
        }
        if (!writeLine(job, options, device, y, line.data())) {
            return true;
        }
    }
    return true;
}

bool printPages(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device,
                RasterFile& file) {
    std::vector<uint8_t> line;
    unsigned page = 0;
    bool ok = true;
    while (ok && !papplJobIsCanceled(job) && cupsRasterReadHeader2(file.ras, &options->header)) {
        ++page;
        papplJobSetImpressionsCompleted(job, 1);
        if (!startPage(job, options, device, page)) {
            return false;
        }
        // A page cut short is not printed: the label would be cut off.
        if (!sendLines(job, options, device, file, line)) {
            return refuseJob(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                             "The document ends inside a page; that page was not printed.");
        }
        ok = endPage(job, options, device, page);
    }
    if (page == 0 && !papplJobIsCanceled(job)) {
        return refuseJob(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                         "The document is not a PWG or Apple raster.");
    }
    return ok;
}

} // namespace

bool printSpooledRaster(pappl_job_t* job, pappl_device_t* device, void*) {
    RasterFile file;
    const char* name = papplJobGetFilename(job);
    file.fd = name != nullptr ? open(name, O_RDONLY | O_CLOEXEC) : -1;
    file.ras = file.fd >= 0 ? cupsRasterOpen(file.fd, CUPS_RASTER_READ) : nullptr;
    if (file.ras == nullptr) {
        return refuseJob(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                         "The document cannot be read.");
    }
    std::unique_ptr<pappl_pr_options_t, OptionsDeleter> options(
        papplJobCreatePrintOptions(job, 1, false));
    if (!options) {
        return refuseJob(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Not enough memory for the job.");
    }
    if (!startJob(job, options.get(), device)) {
        return false;
    }
    bool ok = printPages(job, options.get(), device, file);
    ok = endJob(job, options.get(), device) && ok;
    return ok;
}

} // namespace tarvik_app
