// The two T58 drivers: head resolution, the label sizes of the PPDs, darkness, offsets,
// the cutter as a vendor attribute, and the choice of driver by the head the printer reports.
#include "link/device_uri.h"
#include "printer-app/app.h"
#include "printer-app/settings.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace tarvik_app {

pappl_pr_driver_t kDrivers[2] = {
    {kDriver203, "Tarvik T58 203dpi", "MFG:Tarvik;MDL:T58;", nullptr},
    {kDriver300, "Tarvik T58 300dpi", "MFG:Tarvik;MDL:T58;", nullptr},
};

namespace {

// The PPDs' label sizes, width x length in mm.
constexpr const char* kLabels[] = {
    "om_30x20-label_30x20mm", "om_40x20-label_40x20mm", "om_40x30-label_40x30mm",
    "om_40x40-label_40x40mm", "om_40x60-label_40x60mm", "om_48x40-label_48x40mm",
    "om_50x25-label_50x25mm", "om_50x30-label_50x30mm", "om_50x40-label_50x40mm",
    "om_58x30-label_58x30mm", "om_58x40-label_58x40mm", "om_58x60-label_58x60mm",
};
constexpr const char* kDefaultLabel = "om_50x30-label_50x30mm";
constexpr const char* kCustomMin = "custom_min_10x10mm";
// Custom labels reach the head's width and 1 m.
constexpr const char* kCustomMax203 = "custom_max_48.05x1000mm";
constexpr const char* kCustomMax300 = "custom_max_48.77x1000mm";
constexpr uint8_t kDefaultDarknessByte = 8;
// Margins of 0.01 mm rather than none: for a printer with borderless sizes only, the PPD
// that CUPS 2.4 makes for a driverless queue names a default size it does not offer
// ("50x30mm" among "50x30mm.Borderless" ...), and every job then comes as Letter.
constexpr int kMarginHmm = 1;

void setMedia(pappl_media_col_t& media, const char* name) {
    media = {};
    pwg_media_t* pwg = pwgMediaForPWG(name);
    if (pwg != nullptr) {
        media.size_width = pwg->width;
        media.size_length = pwg->length;
    }
    media.bottom_margin = media.top_margin = kMarginHmm;
    media.left_margin = media.right_margin = kMarginHmm;
    papplCopyString(media.size_name, name, sizeof media.size_name);
    papplCopyString(media.source, "main-roll", sizeof media.source);
    papplCopyString(media.type, "labels", sizeof media.type);
    media.tracking = PAPPL_MEDIA_TRACKING_GAP;
}

// Only rasters reach a T58; a document PAPPL could not type is ended, never sent raw.
bool refuseRaw(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*) {
    papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
    papplJobSetMessage(job, "The document is not a PDF, a raster, or a PNG or JPEG image.");
    return false;
}

void deletePrinterData(pappl_printer_t*, pappl_pr_driver_data_t* data) {
    delete static_cast<PrinterState*>(data->extension);
    data->extension = nullptr;
}

void setHead(pappl_pr_driver_data_t* data, int dpi) {
    data->num_resolution = 1;
    data->x_resolution[0] = dpi;
    data->y_resolution[0] = dpi;
    data->x_default = dpi;
    data->y_default = dpi;
}

void setMediaTable(pappl_pr_driver_data_t* data, bool head300) {
    data->num_media = 0;
    for (const char* name : kLabels) {
        data->media[data->num_media++] = name;
    }
    data->media[data->num_media++] = kCustomMin;
    data->media[data->num_media++] = head300 ? kCustomMax300 : kCustomMax203;
    setMedia(data->media_default, kDefaultLabel);
    setMedia(data->media_ready[0], kDefaultLabel);
    data->num_source = 1;
    data->source[0] = "main-roll";
    data->num_type = 1;
    data->type[0] = "labels";
    data->tracking_supported = PAPPL_MEDIA_TRACKING_GAP;
    data->left_offset_supported[0] = -kMaxLeftOffsetMm * 100;
    data->left_offset_supported[1] = kMaxLeftOffsetMm * 100;
    data->top_offset_supported[0] = -kMaxTopOffsetMm * 100;
    data->top_offset_supported[1] = kMaxTopOffsetMm * 100;
    data->borderless = false;
    data->left_right = kMarginHmm;
    data->bottom_top = kMarginHmm;
}

void setImaging(pappl_pr_driver_data_t* data) {
    data->kind = PAPPL_KIND_LABEL;
    data->ppm = 60;
    data->color_supported =
        PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME | PAPPL_COLOR_MODE_BI_LEVEL;
    data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
    data->raster_types = PAPPL_PWG_RASTER_TYPE_BLACK_1 | PAPPL_PWG_RASTER_TYPE_BLACK_8 |
                         PAPPL_PWG_RASTER_TYPE_SGRAY_8;
    data->force_raster_type = PAPPL_PWG_RASTER_TYPE_BLACK_1;
    data->quality_default = IPP_QUALITY_NORMAL;
    data->scaling_default = PAPPL_SCALING_AUTO;
    data->content_default = PAPPL_CONTENT_AUTO;
    data->sides_supported = PAPPL_SIDES_ONE_SIDED;
    data->sides_default = PAPPL_SIDES_ONE_SIDED;
    data->orient_default = IPP_ORIENT_PORTRAIT;
    data->input_face_up = true;
    data->output_face_up = true;
    data->darkness_supported = kDarknessLevels;
    data->darkness_configured = darknessPercent(kDefaultDarknessByte);
    data->darkness_default = 0;
    data->num_features = 1;
    data->features[0] = "airprint-2.1";
}

void setVendor(pappl_pr_driver_data_t* data, ipp_t** attrs) {
    data->num_vendor = 2;
    data->vendor[0] = "tarvik-cutter";
    data->vendor[1] = "tarvik-rotation";
    *attrs = ippNew();
    // Keywords of the numbers, named on the T58 Settings page (settings_page.cpp); a client's
    // integer reaches the job as the same text.
    static const char* const kNumbers[] = {"0", "1", "2", "3", "4", "5", "6", "7"};
    static_assert(std::size(kNumbers) == kMaxCutter + 1);
    ippAddStrings(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "tarvik-cutter-supported",
                  kMaxCutter + 1, nullptr, kNumbers);
    ippAddString(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "tarvik-cutter-default", nullptr, "0");
    // Quarter turns: 0 none, 1 anticlockwise, 2 half, 3 clockwise.
    ippAddStrings(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "tarvik-rotation-supported", 4, nullptr,
                  kNumbers);
    ippAddString(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "tarvik-rotation-default", nullptr, "0");
}

// What IPP Everywhere asks of every printer and PAPPL 1.3 leaves to its drivers, as true of a
// T58: no per-page overrides beyond their selectors, no preferred attributes for a document,
// one rendering (the page is cut to black and white dots), one side.
void setEverywhere(ipp_t* attrs) {
    static const char* const kOverrides[] = {"document-number", "pages"};
    ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "overrides-supported", 2, nullptr,
                  kOverrides);
    ippAddBoolean(attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-default", nullptr,
                 "auto");
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-supported",
                 nullptr, "auto");
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "pwg-raster-document-sheet-back", nullptr,
                 "normal");
}

} // namespace

// Asks the printer its head: the driver of that head, or nullptr when it does not answer.
const char* autoaddDriver(const char*, const char* device_uri, const char*, void*) {
    if (device_uri == nullptr || std::strncmp(device_uri, "tarvik:", 7) != 0) {
        return nullptr;
    }
    try {
        auto dev = std::make_unique<DeviceData>(serialOfDeviceUri(device_uri));
        if (!dev->printer.link.work.ready() || openLink(*dev) != OpenResult::Opened) {
            return nullptr;
        }
        const bool head300 = dev->printer.link.head.xDpi == kHead300.xDpi;
        closeLink(*dev);
        return head300 ? kDriver300 : kDriver203;
    } catch (...) {
        return nullptr;
    }
}

bool driverSetup(pappl_system_t*, const char* driver_name, const char*, const char*,
                 pappl_pr_driver_data_t* data, ipp_t** attrs, void*) {
    const bool head300 = driver_name != nullptr && std::strcmp(driver_name, kDriver300) == 0;
    if (!head300 && (driver_name == nullptr || std::strcmp(driver_name, kDriver203) != 0)) {
        return false;
    }
    auto* state = new (std::nothrow) PrinterState;
    if (state == nullptr) {
        return false;
    }
    data->extension = state;
    data->delete_cb = deletePrinterData;
    data->printfile_cb = refuseRaw;
    // PAPPL 1.3 compares every job's format with this one; without it a job of a format
    // it has no filter for crashes the server.
    data->format = "application/octet-stream";
    data->rstartjob_cb = startJob;
    data->rstartpage_cb = startPage;
    data->rwriteline_cb = writeLine;
    data->rendpage_cb = endPage;
    data->rendjob_cb = endJob;
    data->status_cb = updateStatus;
    data->testpage_cb = testPageJob;
    setIcons(data);
    papplCopyString(data->make_and_model, head300 ? "Tarvik T58 300dpi" : "Tarvik T58 203dpi",
                    sizeof data->make_and_model);
    setHead(data, head300 ? kHead300.xDpi : kHead203.xDpi);
    setImaging(data);
    setMediaTable(data, head300);
    setVendor(data, attrs);
    setEverywhere(*attrs);
    return true;
}

const char* driverNameOf(pappl_printer_t* printer) {
    pappl_pr_driver_data_t data;
    if (printer == nullptr || papplPrinterGetDriverData(printer, &data) == nullptr) {
        return nullptr;
    }
    return data.x_default == kHead300.xDpi ? kDriver300 : kDriver203;
}

PrinterState* printerState(pappl_printer_t* printer) {
    pappl_pr_driver_data_t data;
    if (printer == nullptr || papplPrinterGetDriverData(printer, &data) == nullptr) {
        return nullptr;
    }
    return static_cast<PrinterState*>(data.extension);
}

void printerCreated(pappl_printer_t* printer, void*) {
    addWebPages(printer);
}

} // namespace tarvik_app
