// PNG and JPEG jobs: the file's header is held to a label's bounds before a pixel is
// decoded, the image is decoded to 8-bit grey, and PAPPL's image path prints it through the
// driver's raster callbacks. A file that is too large, damaged or cut short ends its own job.
#include "printer-app/image_filter.h"

#include "printer-app/app.h"

#include <png.h>

#include <chrono>
#include <csetjmp>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

// After <cstdio>: jpeglib.h uses FILE and size_t without including their headers.
#include <jerror.h>
#include <jpeglib.h>

namespace tarvik_app {

namespace {

// The drivers' format: PAPPL looks for a filter to it before its own filters.
constexpr const char* kDriverFormat = "application/octet-stream";
// A label is at most 576 dots wide and 1 m (11,811 lines) long; no label needs more.
constexpr uint32_t kMaxSide = 16384;
constexpr uint64_t kMaxPixels = 16u * 1024 * 1024;
// libjpeg decodes at n/8 of the file's size: a JPEG up to 8 times the bounds still prints.
constexpr int kJpegScaleDenom = 8;
// A progressive or multi-scan JPEG keeps every coefficient of the file's full size while it
// decodes (2 bytes a pixel and component); past this libjpeg fails instead of taking more.
constexpr long kJpegMemory = 160L * 1024 * 1024;
// Each scan of a progressive JPEG walks the whole image again: a few bytes buy one.
constexpr int kJpegMaxScans = 256;
// libpng skips pHYs; the chunks before the image data are walked for it, this many at most.
constexpr int kPngMaxChunksBeforeData = 4096;
// PAPPL 1.3's papplJobFilterImage sizes the image on the page in int and divides by that
// size: within this many dots a side its products stay in range.
constexpr int64_t kMaxPlacedDots = int64_t{1} << 17;

struct CloseFile {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, CloseFile>;

struct Decoded {
    std::vector<uint8_t> pixels; // width x height grey, top row first
    uint32_t width = 0;
    uint32_t height = 0;
    int ppi = 0;                                 // 0: unknown
    pappl_jreason_t reason = PAPPL_JREASON_NONE; // set when the job ends unprinted
    std::string message;
};

[[gnu::format(printf, 1, 2)]] std::string text(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

Decoded failure(pappl_jreason_t reason, std::string message) {
    Decoded d;
    d.reason = reason;
    d.message = std::move(message);
    return d;
}

bool withinBounds(uint64_t width, uint64_t height) {
    return width >= 1 && height >= 1 && width <= kMaxSide && height <= kMaxSide &&
           width * height <= kMaxPixels;
}

Decoded tooLarge(uint64_t width, uint64_t height, const char* more) {
    return failure(PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                   text("The image is %llu x %llu pixels; a label takes at most %u pixels a side "
                        "and %llu million pixels in all%s.",
                        static_cast<unsigned long long>(width),
                        static_cast<unsigned long long>(height), kMaxSide,
                        static_cast<unsigned long long>(kMaxPixels >> 20), more));
}

bool allocate(Decoded& d, uint32_t width, uint32_t height) {
    try {
        d.pixels.resize(size_t{width} * height);
    } catch (const std::bad_alloc&) {
        return false;
    }
    d.width = width;
    d.height = height;
    return true;
}

Decoded noMemory() {
    return failure(PAPPL_JREASON_ERRORS_DETECTED, "Not enough memory to decode the image.");
}

Decoded unopened() {
    return failure(PAPPL_JREASON_ABORTED_BY_SYSTEM, "The document's file could not be opened.");
}

File openDocument(const char* filename) {
    return File(filename != nullptr ? std::fopen(filename, "rbe") : nullptr);
}

// ---- PNG

uint32_t bigEndian32(const unsigned char* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// Pixels per metre in both directions; unknown when not square.
int pngPhysPpi(FILE* file) {
    unsigned char phys[9];
    if (std::fread(phys, 1, sizeof phys, file) != sizeof phys || phys[8] != 1) {
        return 0;
    }
    const uint32_t x = bigEndian32(phys);
    if (x != bigEndian32(phys + 4)) {
        return 0;
    }
    return static_cast<int>((uint64_t{x} * 254 + 5000) / 10000);
}

int pngPpi(FILE* file) {
    unsigned char signature[8];
    if (std::fread(signature, 1, sizeof signature, file) != sizeof signature) {
        return 0;
    }
    for (int i = 0; i < kPngMaxChunksBeforeData; ++i) {
        unsigned char chunk[8];
        if (std::fread(chunk, 1, sizeof chunk, file) != sizeof chunk ||
            std::memcmp(chunk + 4, "IDAT", 4) == 0) {
            return 0;
        }
        const uint32_t length = bigEndian32(chunk);
        if (std::memcmp(chunk + 4, "pHYs", 4) == 0 && length == 9) {
            return pngPhysPpi(file);
        }
        if (std::fseek(file, static_cast<long>(length) + 4, SEEK_CUR) != 0) {
            return 0;
        }
    }
    return 0;
}

// The simplified API catches libpng's errors itself: nothing jumps over this frame.
struct PngImage {
    png_image image{};
    PngImage() { image.version = PNG_IMAGE_VERSION; }
    ~PngImage() { png_image_free(&image); }
    PngImage(const PngImage&) = delete;
    PngImage& operator=(const PngImage&) = delete;
};

Decoded pngDamaged(const png_image& image) {
    return failure(PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                   text("The PNG image is damaged or incomplete (%s).", image.message));
}

Decoded decodePng(const char* filename) {
    File file = openDocument(filename);
    if (!file) {
        return unopened();
    }
    Decoded d;
    d.ppi = pngPpi(file.get());
    std::rewind(file.get());
    PngImage png;
    if (!png_image_begin_read_from_stdio(&png.image, file.get())) {
        return pngDamaged(png.image);
    }
    if (!withinBounds(png.image.width, png.image.height)) {
        return tooLarge(png.image.width, png.image.height, "");
    }
    if (!allocate(d, png.image.width, png.image.height)) {
        return noMemory();
    }
    png.image.format = PNG_FORMAT_GRAY;
    const png_color white{255, 255, 255};
    if (!png_image_finish_read(&png.image, &white, d.pixels.data(), 0, nullptr)) {
        return pngDamaged(png.image);
    }
    return d;
}

// ---- JPEG
// libjpeg reports an error by calling error_exit, which must not return: it jumps back to
// the setjmp of jpegPrepare or jpegDecode. Only C frames and frames without destructors lie
// between, and those two functions keep nothing of their own across the jump.

struct JpegError {
    jpeg_error_mgr mgr; // first: libjpeg hands back a pointer to it
    std::jmp_buf jump;
    int code; // libjpeg's message code, or one of ours below
    char message[JMSG_LENGTH_MAX];
};

constexpr int kPastBounds = -1;
constexpr int kDamaged = -2;

[[noreturn]] void jpegStop(j_common_ptr cinfo, int code, const char* why) {
    auto* error = reinterpret_cast<JpegError*>(cinfo->err);
    error->code = code;
    std::snprintf(error->message, sizeof error->message, "%s", why);
    std::longjmp(error->jump, 1);
}

[[noreturn]] void jpegErrorExit(j_common_ptr cinfo) {
    auto* error = reinterpret_cast<JpegError*>(cinfo->err);
    error->code = cinfo->err->msg_code;
    (*cinfo->err->format_message)(cinfo, error->message);
    std::longjmp(error->jump, 1);
}

// At the end of the data libjpeg warns and goes on with grey blocks: a label from a file cut
// short is not the label sent.
void jpegMessage(j_common_ptr cinfo, int level) {
    if (level >= 0) {
        return;
    }
    const int code = cinfo->err->msg_code;
    if (code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER) {
        jpegErrorExit(cinfo);
    }
    ++cinfo->err->num_warnings;
}

void jpegProgress(j_common_ptr cinfo) {
    if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kJpegMaxScans) {
        jpegStop(cinfo, kPastBounds, "it has more scans than a label image needs");
    }
}

struct JpegDecoder {
    jpeg_decompress_struct cinfo{};
    JpegError error{};
    jpeg_progress_mgr progress{};

    JpegDecoder() {
        cinfo.err = jpeg_std_error(&error.mgr);
        error.mgr.error_exit = jpegErrorExit;
        error.mgr.emit_message = jpegMessage;
        progress.progress_monitor = jpegProgress;
    }
    ~JpegDecoder() { jpeg_destroy_decompress(&cinfo); }
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;
};

bool isCmyk(J_COLOR_SPACE space) {
    return space == JCS_CMYK || space == JCS_YCCK;
}

// The largest scale of n/8 that brings the image within the bounds, else 1/8.
void jpegChooseScale(j_decompress_ptr cinfo) {
    cinfo->scale_denom = kJpegScaleDenom;
    for (cinfo->scale_num = kJpegScaleDenom; cinfo->scale_num > 1; --cinfo->scale_num) {
        jpeg_calc_output_dimensions(cinfo);
        if (withinBounds(cinfo->output_width, cinfo->output_height)) {
            return;
        }
    }
    jpeg_calc_output_dimensions(cinfo);
}

bool jpegPrepare(JpegDecoder* d, FILE* file) {
    if (setjmp(d->error.jump) != 0) {
        return false;
    }
    jpeg_create_decompress(&d->cinfo);
    d->cinfo.mem->max_memory_to_use = kJpegMemory;
    d->cinfo.progress = &d->progress;
    jpeg_stdio_src(&d->cinfo, file);
    jpeg_read_header(&d->cinfo, TRUE);
    // libjpeg turns no CMYK file grey: it hands over CMYK and cmykToGrey does.
    d->cinfo.out_color_space = isCmyk(d->cinfo.jpeg_color_space) ? JCS_CMYK : JCS_GRAYSCALE;
    jpegChooseScale(&d->cinfo);
    return true;
}

// Adobe's CMYK JPEGs, nearly all of them, store each ink inverted (255: no ink).
void cmykToGrey(const JSAMPLE* cmyk, uint8_t* grey, JDIMENSION width, bool inverted) {
    for (JDIMENSION x = 0; x < width; ++x, cmyk += 4) {
        unsigned light[4];
        for (int i = 0; i < 4; ++i) {
            light[i] = inverted ? cmyk[i] : 255u - cmyk[i];
        }
        const unsigned r = light[0] * light[3] / 255;
        const unsigned g = light[1] * light[3] / 255;
        const unsigned b = light[2] * light[3] / 255;
        grey[x] = static_cast<uint8_t>((r * 77 + g * 150 + b * 29) >> 8);
    }
}

void jpegReadRows(j_decompress_ptr cinfo, uint8_t* pixels) {
    auto* common = reinterpret_cast<j_common_ptr>(cinfo);
    const bool cmyk = cinfo->out_color_space == JCS_CMYK;
    if (cinfo->output_components != (cmyk ? 4 : 1)) {
        jpegStop(common, kPastBounds, "its colours cannot be turned grey");
    }
    JSAMPARRAY cmykRow =
        cmyk ? (*cinfo->mem->alloc_sarray)(common, JPOOL_IMAGE, cinfo->output_width * 4, 1)
             : nullptr;
    while (cinfo->output_scanline < cinfo->output_height) {
        uint8_t* out = pixels + size_t{cinfo->output_scanline} * cinfo->output_width;
        JSAMPROW row = cmyk ? cmykRow[0] : out;
        if (jpeg_read_scanlines(cinfo, &row, 1) != 1) {
            jpegStop(common, kDamaged, "it ends early");
        }
        if (cmyk) {
            cmykToGrey(cmykRow[0], out, cinfo->output_width, cinfo->saw_Adobe_marker);
        }
    }
}

bool jpegDecode(JpegDecoder* d, uint8_t* pixels) {
    if (setjmp(d->error.jump) != 0) {
        return false;
    }
    jpeg_start_decompress(&d->cinfo);
    jpegReadRows(&d->cinfo, pixels);
    jpeg_finish_decompress(&d->cinfo);
    return true;
}

Decoded jpegFailed(const JpegDecoder& d) {
    const int code = d.error.code;
    const bool tooBig = code == kPastBounds || code == JERR_NO_BACKING_STORE ||
                        code == JERR_OUT_OF_MEMORY || code == JERR_IMAGE_TOO_BIG;
    if (tooBig && d.cinfo.image_width > 0) {
        return failure(PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                       text("The JPEG image (%u x %u pixels) cannot be printed: %s.",
                            d.cinfo.image_width, d.cinfo.image_height,
                            code == kPastBounds
                                ? d.error.message
                                : "it needs more memory to decode than a label may take"));
    }
    return failure(PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                   text("The JPEG image is damaged or incomplete (%s).", d.error.message));
}

// The file's JFIF density, as pixels per inch of the decoded (scaled) image.
int jpegPpi(const jpeg_decompress_struct& cinfo) {
    if (!cinfo.saw_JFIF_marker || cinfo.X_density != cinfo.Y_density || cinfo.image_width == 0) {
        return 0;
    }
    const int64_t density = cinfo.X_density;
    const int64_t ppi = cinfo.density_unit == 1   ? density
                        : cinfo.density_unit == 2 ? density * 254 / 100
                                                  : 0;
    return static_cast<int>(ppi * cinfo.output_width / cinfo.image_width);
}

Decoded decodeJpeg(const char* filename) {
    File file = openDocument(filename);
    if (!file) {
        return unopened();
    }
    JpegDecoder decoder;
    if (!jpegPrepare(&decoder, file.get())) {
        return jpegFailed(decoder);
    }
    const jpeg_decompress_struct& cinfo = decoder.cinfo;
    if (!withinBounds(cinfo.output_width, cinfo.output_height)) {
        return tooLarge(cinfo.image_width, cinfo.image_height,
                        " (a JPEG image at most 8 times that a side)");
    }
    Decoded d;
    if (!allocate(d, cinfo.output_width, cinfo.output_height)) {
        return noMemory();
    }
    if (!jpegDecode(&decoder, d.pixels.data())) {
        return jpegFailed(decoder);
    }
    d.ppi = jpegPpi(cinfo);
    return d;
}

// ---- Printing

// Whether papplJobFilterImage of PAPPL 1.3.1 can place the image: its own sizing, in 64
// bits, must give each side at least one dot and no more than its int products allow.
bool placeable(const pappl_pr_options_t& o, int64_t width, int64_t height, int64_t ppi) {
    const int64_t xres = o.printer_resolution[0];
    const int64_t yres = o.printer_resolution[1];
    if (xres <= 0 || yres <= 0 || xres > 10000 || yres > 10000) {
        return false;
    }
    const pappl_media_col_t& m = o.media;
    const bool noMargins =
        m.left_margin == 0 && m.right_margin == 0 && m.top_margin == 0 && m.bottom_margin == 0;
    pappl_scaling_t scaling = o.print_scaling;
    int64_t iwidth = o.header.cupsWidth;
    int64_t iheight = o.header.cupsHeight;
    if (scaling != PAPPL_SCALING_FILL) {
        iwidth -= (int64_t{m.left_margin} + m.right_margin) * xres / 2540;
        iheight -= (int64_t{m.bottom_margin} + m.top_margin) * yres / 2540;
    }
    if (iwidth <= 0 || iheight <= 0) {
        return true; // PAPPL refuses the media itself
    }
    ipp_orient_t orient = o.orientation_requested;
    if (orient == IPP_ORIENT_NONE) {
        orient = width > height && o.header.cupsWidth < o.header.cupsHeight ? IPP_ORIENT_LANDSCAPE
                                                                            : IPP_ORIENT_PORTRAIT;
    }
    const bool turned = orient == IPP_ORIENT_LANDSCAPE || orient == IPP_ORIENT_REVERSE_LANDSCAPE;
    const int64_t imgWidth = turned ? height : width;
    const int64_t imgHeight = turned ? width : height;
    if (scaling == PAPPL_SCALING_AUTO || scaling == PAPPL_SCALING_AUTO_FIT) {
        const bool fits =
            ppi > 0 && imgWidth * xres / ppi <= iwidth && imgHeight * yres / ppi <= iheight;
        scaling = fits                                         ? PAPPL_SCALING_NONE
                  : scaling == PAPPL_SCALING_AUTO && noMargins ? PAPPL_SCALING_FILL
                                                               : PAPPL_SCALING_FIT;
    } else if (scaling == PAPPL_SCALING_NONE && ppi <= 0) {
        ppi = 200;
    }
    int64_t xsize = iwidth;
    int64_t ysize = xsize * imgHeight / imgWidth;
    if (scaling == PAPPL_SCALING_NONE) {
        xsize = imgWidth * xres / ppi;
        ysize = imgHeight * yres / ppi;
    } else if ((ysize > iheight && scaling == PAPPL_SCALING_FIT) ||
               (ysize < iheight && scaling == PAPPL_SCALING_FILL)) {
        ysize = iheight;
        xsize = ysize * imgWidth / imgHeight;
    }
    return xsize >= 1 && ysize >= 1 && xsize <= kMaxPlacedDots && ysize <= kMaxPlacedDots;
}

// A resolution that would print the image smaller than a dot or past PAPPL's sizes is the
// file's mistake: the image is then fitted to the label as one without a resolution.
int usablePpi(pappl_job_t* job, const pappl_pr_options_t& options, const Decoded& image) {
    if (image.ppi == 0 || placeable(options, image.width, image.height, image.ppi)) {
        return image.ppi;
    }
    papplLogJob(job, PAPPL_LOGLEVEL_WARN, "The image's resolution of %d ppi is ignored.",
                image.ppi);
    return 0;
}

// The image brought to the plan's label by the app's own scaler, as grey: PAPPL then places
// it dot for dot. Black-and-white images stay black and white.
std::vector<uint8_t> scaledImage(const Decoded& image, const ScalePlan& plan) {
    PageScaler scaler;
    if (!scaler.start(plan, image.width, image.height)) {
        return {};
    }
    std::vector<uint8_t> darkness(image.width);
    for (uint32_t y = 0; y < image.height; ++y) {
        const uint8_t* row = image.pixels.data() + size_t{y} * image.width;
        for (uint32_t x = 0; x < image.width; ++x) {
            darkness[x] = static_cast<uint8_t>(255 - row[x]);
        }
        scaler.addLine(y, darkness.data());
    }
    scaler.finish();
    std::vector<uint8_t> grey(size_t{plan.width} * plan.height);
    for (uint32_t y = 0; y < plan.height; ++y) {
        const uint8_t* line = scaler.line(y);
        for (uint32_t x = 0; x < plan.width; ++x) {
            grey[size_t{y} * plan.width + x] = static_cast<uint8_t>(255 - line[x]);
        }
    }
    return grey;
}

// PAPPL places a label-sized image, or any under 'none', as it always has; every other one
// is scaled and turned by the rule every format follows, then handed to PAPPL at the head's
// resolution with nothing left to scale.
bool filterImage(pappl_job_t* job, pappl_device_t* device, pappl_pr_options_t& options,
                 const Decoded& image, int ppi, bool smoothing) {
    const ipp_orient_t orient = options.orientation_requested;
    const int32_t turns =
        orient == IPP_ORIENT_LANDSCAPE || orient == IPP_ORIENT_REVERSE_LANDSCAPE ? 1 : 0;
    const ScalePlan plan =
        planJobPage(job, options, {image.width, image.height, double(ppi), double(ppi)}, turns, 1);
    if (plan.keep) {
        return papplJobFilterImage(job, device, &options, image.pixels.data(),
                                   static_cast<int>(image.width), static_cast<int>(image.height), 1,
                                   ppi, smoothing);
    }
    const std::vector<uint8_t> grey = scaledImage(image, plan);
    if (grey.empty()) {
        return refuseJob(job, PAPPL_JREASON_ERRORS_DETECTED, "Not enough memory for the job.");
    }
    options.print_scaling = PAPPL_SCALING_NONE;
    return papplJobFilterImage(job, device, &options, grey.data(), static_cast<int>(plan.width),
                               static_cast<int>(plan.height), 1, options.printer_resolution[0],
                               false);
}

bool printImage(pappl_job_t* job, pappl_device_t* device, const Decoded& image, bool smoothing) {
    if (image.reason != PAPPL_JREASON_NONE) {
        return refuseJob(job, image.reason, image.message.c_str());
    }
    pappl_pr_options_t* options = papplJobCreatePrintOptions(job, 1, false);
    if (options == nullptr) {
        return refuseJob(job, PAPPL_JREASON_ERRORS_DETECTED, "Not enough memory for the job.");
    }
    const int ppi = usablePpi(job, *options, image);
    bool printed = false;
    if (!placeable(*options, image.width, image.height, ppi)) {
        const std::string why = text("The image is %u x %u pixels, too long and thin to "
                                     "scale onto this label.",
                                     image.width, image.height);
        refuseJob(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, why.c_str());
    } else {
        printed = filterImage(job, device, *options, image, ppi, smoothing);
    }
    papplJobDeletePrintOptions(options);
    return printed;
}

template <class Decode>
bool filter(pappl_job_t* job, pappl_device_t* device, const char* kind, Decode decode,
            bool smoothing) {
    try {
        const auto start = std::chrono::steady_clock::now();
        const Decoded image = decode(papplJobGetFilename(job));
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "%s image %u x %u at %d ppi, decoded in %lld ms.",
                    kind, image.width, image.height, image.ppi, static_cast<long long>(ms));
        return printImage(job, device, image, smoothing);
    } catch (...) {
        return refuseJob(job, PAPPL_JREASON_ERRORS_DETECTED, "The image could not be printed.");
    }
}

bool filterPng(pappl_job_t* job, pappl_device_t* device, void*) {
    // Nearest-neighbour sampling, as PAPPL's own PNG filter: a PNG label's edges stay sharp.
    return filter(job, device, "PNG", decodePng, false);
}

bool filterJpeg(pappl_job_t* job, pappl_device_t* device, void*) {
    return filter(job, device, "JPEG", decodeJpeg, true);
}

} // namespace

void registerImageFilters(pappl_system_t* system) {
    papplSystemAddMIMEFilter(system, "image/png", kDriverFormat, filterPng, nullptr);
    papplSystemAddMIMEFilter(system, "image/jpeg", kDriverFormat, filterJpeg, nullptr);
}

} // namespace tarvik_app
