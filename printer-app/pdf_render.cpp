// The PDF renderer: a process of its own for one job, so that a document Poppler cannot
// render in bounded time or memory, or crashes on, ends only that process. Each page is
// rendered once, at the head's resolution and the final scale, without anti-aliasing, onto
// a label of the size asked.
#include "printer-app/pdf_filter.h"
#include "printer-app/scaling.h"

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace tarvik_app {

namespace {

constexpr size_t kMaxPdfBytes = size_t{128} << 20;
// Poppler and the document together; a label page needs a small part of it.
constexpr rlim_t kMaxMemory = rlim_t{1} << 30;
// A page smaller than this (in points) or a render past this resolution is not a label.
constexpr double kMinPagePoints = 1.0;
constexpr double kMaxPagePoints = 1e6;
constexpr double kMaxResolution = 1e5;

struct Request {
    int width = 0; // the label, in dots
    int height = 0;
    int xdpi = 0;
    int ydpi = 0;
    Scaling scaling = Scaling::Auto;
    int first = 1; // page-ranges, from 1
    int last = 0;
    int copies = 1;
    int seconds = 20;
};

class Failure {
  public:
    Failure(PdfError error, std::string text) : error_(error), text_(std::move(text)) {}
    PdfError error() const { return error_; }
    const std::string& text() const { return text_; }

  private:
    PdfError error_;
    std::string text_;
};

bool writeAll(const void* data, size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(STDOUT_FILENO, p, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool sendRecord(PdfRecordKind kind, uint32_t a, uint32_t b, const void* data, uint32_t length) {
    PdfRecord r;
    r.kind = kind;
    r.a = a;
    r.b = b;
    r.length = length;
    return writeAll(&r, sizeof r) && (length == 0 || writeAll(data, length));
}

void sendError(PdfError error, const std::string& text) {
    const auto length = static_cast<uint32_t>(std::min<size_t>(text.size(), kMaxPdfMessage));
    sendRecord(PdfRecordKind::Error, static_cast<uint32_t>(error), 0, text.data(), length);
}

bool parseInt(const char* text, int low, int high, int* out) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
        return false;
    }
    *out = static_cast<int>(value);
    return true;
}

// render-pdf WIDTH HEIGHT XDPI YDPI SCALING FIRST LAST COPIES SECONDS
bool parseRequest(int argc, char** argv, Request& r) {
    constexpr int kMax = 1 << 20;
    return argc == 11 && parseInt(argv[2], 1, 65535, &r.width) &&
           parseInt(argv[3], 1, 65535, &r.height) && parseInt(argv[4], 1, 10000, &r.xdpi) &&
           parseInt(argv[5], 1, 10000, &r.ydpi) && parseScaling(argv[6], &r.scaling) &&
           parseInt(argv[7], 1, kMax, &r.first) && parseInt(argv[8], 0, kMax, &r.last) &&
           parseInt(argv[9], 1, 9999, &r.copies) && parseInt(argv[10], 1, 3600, &r.seconds);
}

// The CPU and memory bounds, and no process of the app left behind: the renderer ends with
// the thread that started it.
// The CPU limit starts at one pass through the document; allowPasses raises it once the
// passes are known, up to one pass per copy.
void limitSelf(int seconds, int copies) {
    close_range(STDERR_FILENO + 1, ~0u, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const auto perPass = static_cast<rlim_t>(seconds);
    const rlimit cpu{perPass, perPass * static_cast<rlim_t>(copies) + 1};
    setrlimit(RLIMIT_CPU, &cpu);
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
#if !defined(__SANITIZE_ADDRESS__)
    // The address sanitizer reserves far more address space than it uses.
    const rlimit memory{kMaxMemory, kMaxMemory};
    setrlimit(RLIMIT_AS, &memory);
#endif
}

void allowPasses(int seconds, int passes) {
    rlimit cpu{};
    if (getrlimit(RLIMIT_CPU, &cpu) == 0) {
        cpu.rlim_cur = std::min(cpu.rlim_max, static_cast<rlim_t>(seconds) * passes);
        setrlimit(RLIMIT_CPU, &cpu);
    }
}

std::vector<char> readDocument() {
    std::vector<char> bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw Failure(PdfError::Damaged, "The PDF could not be read.");
        }
        if (n == 0) {
            return bytes;
        }
        if (bytes.size() + static_cast<size_t>(n) > kMaxPdfBytes) {
            throw Failure(PdfError::TooLarge, "The PDF is larger than the 128 MiB a job may be.");
        }
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
}

// Where a page lands on the label: the turn, the resolution Poppler renders at, the part of
// the rendered page that is kept and where it goes on the label.
struct Placement {
    poppler::rotation_enum turn = poppler::rotate_0;
    double xres = 0;
    double yres = 0;
    int sx = 0, sy = 0, sw = 0, sh = 0; // slice of the rendered page
    int dx = 0, dy = 0;                 // its place on the label
};

void placeAxis(double rendered, int label, int* from, int* size, int* to) {
    const int full = std::max(1, static_cast<int>(std::ceil(rendered - 1e-6)));
    *size = std::min(full, label);
    *from = std::max(0, (full - label) / 2);
    *to = std::max(0, (label - full) / 2);
}

Placement place(const poppler::page& page, const Request& r) {
    const poppler::rectf box = page.page_rect(poppler::crop_box);
    double w = box.width();
    double h = box.height();
    if (!(w >= kMinPagePoints && h >= kMinPagePoints && w <= kMaxPagePoints &&
          h <= kMaxPagePoints)) {
        throw Failure(PdfError::Unprintable, "A page of the PDF has no usable size.");
    }
    const poppler::page::orientation_enum o = page.orientation();
    if (o == poppler::page::landscape || o == poppler::page::seascape) {
        std::swap(w, h);
    }
    // The label in points.
    const double labelW = r.width * 72.0 / r.xdpi;
    const double labelH = r.height * 72.0 / r.ydpi;
    Placement p;
    const Fit fit = chooseFit(r.scaling, w, h, labelW, labelH);
    if (fit.turn) {
        p.turn = poppler::rotate_270;
        std::swap(w, h);
    }
    p.xres = fit.scale * r.xdpi;
    p.yres = fit.scale * r.ydpi;
    if (p.xres > kMaxResolution || p.yres > kMaxResolution) {
        throw Failure(PdfError::Unprintable, "A page of the PDF is too small to scale to a label.");
    }
    placeAxis(w * p.xres / 72.0, r.width, &p.sx, &p.sw, &p.dx);
    placeAxis(h * p.yres / 72.0, r.height, &p.sy, &p.sh, &p.dy);
    return p;
}

class Renderer {
  public:
    explicit Renderer(const Request& r) : request_(r) {
        renderer_.set_image_format(poppler::image::format_gray8);
        // No anti-aliasing: edges fall on whole dots, so bars and strokes keep their width
        // when the page is made 1-bit.
        renderer_.set_render_hints(0);
        renderer_.set_line_mode(poppler::page_renderer::line_solid);
        label_.resize(size_t(r.width) * size_t(r.height));
    }

    void send(const poppler::page& page) {
        const Placement p = place(page, request_);
        const poppler::image image =
            renderer_.render_page(&page, p.xres, p.yres, p.sx, p.sy, p.sw, p.sh, p.turn);
        if (!image.is_valid() || image.format() != poppler::image::format_gray8) {
            throw Failure(PdfError::Damaged, "A page of the PDF could not be rendered.");
        }
        std::fill(label_.begin(), label_.end(), uint8_t{255});
        const int rows = std::min({image.height(), p.sh, request_.height - p.dy});
        const int cols = std::min({image.width(), p.sw, request_.width - p.dx});
        for (int y = 0; y < rows; ++y) {
            const char* from = image.const_data() + size_t(y) * size_t(image.bytes_per_row());
            std::memcpy(label_.data() + size_t(p.dy + y) * size_t(request_.width) + size_t(p.dx),
                        from, size_t(cols));
        }
        if (!sendRecord(PdfRecordKind::Page, uint32_t(request_.width), uint32_t(request_.height),
                        label_.data(), static_cast<uint32_t>(label_.size()))) {
            std::_Exit(0); // the job is gone
        }
    }

  private:
    const Request& request_;
    poppler::page_renderer renderer_;
    std::vector<uint8_t> label_;
};

void quiet(const std::string&, void*) {}

void render(const Request& r) {
    poppler::set_debug_error_function(quiet, nullptr);
    std::vector<char> bytes = readDocument();
    std::unique_ptr<poppler::document> doc(poppler::document::load_from_data(&bytes));
    if (!doc) {
        throw Failure(PdfError::Damaged, "The document is not a PDF, or it is damaged.");
    }
    if (doc->is_locked()) {
        throw Failure(PdfError::Unprintable, "The PDF is locked with a password.");
    }
    const int pages = doc->pages();
    const int first = r.first;
    const int last = std::min(r.last, pages);
    if (pages <= 0 || first > last) {
        throw Failure(PdfError::Unprintable, "The PDF has no page in the pages asked for.");
    }
    const auto chosen = static_cast<uint32_t>(last - first + 1);
    if (chosen > kMaxPdfPages) {
        throw Failure(PdfError::TooLarge, "The PDF has " + std::to_string(chosen) +
                                              " pages to print; a job prints at most " +
                                              std::to_string(kMaxPdfPages) + ".");
    }
    // One page: the printer repeats it. More: rendered again for each copy, in order.
    const int rounds = chosen == 1 ? 1 : r.copies;
    const auto perLabel = static_cast<uint32_t>(chosen == 1 ? r.copies : 1);
    sendRecord(PdfRecordKind::Document, chosen * static_cast<uint32_t>(rounds), perLabel, nullptr,
               0);
    allowPasses(r.seconds, rounds);
    Renderer renderer(r);
    for (int round = 0; round < rounds; ++round) {
        for (int i = first; i <= last; ++i) {
            std::unique_ptr<poppler::page> page(doc->create_page(i - 1));
            if (!page) {
                throw Failure(PdfError::Damaged, "A page of the PDF is damaged.");
            }
            renderer.send(*page);
        }
    }
    sendRecord(PdfRecordKind::End, 0, 0, nullptr, 0);
}

} // namespace

int runPdfRenderer(int argc, char** argv) {
    Request r;
    if (!parseRequest(argc, argv, r)) {
        std::fprintf(stderr, "tarvik-printer-app: %s is run by the app itself.\n",
                     kPdfRenderCommand);
        return 2;
    }
    limitSelf(r.seconds, r.copies);
    try {
        render(r);
        return 0;
    } catch (const Failure& f) {
        sendError(f.error(), f.text());
    } catch (const std::bad_alloc&) {
        sendError(PdfError::TooLarge, "The PDF needs more memory to render than a job may take.");
    } catch (...) {
        sendError(PdfError::Damaged, "The PDF could not be rendered.");
    }
    return 1;
}

} // namespace tarvik_app
