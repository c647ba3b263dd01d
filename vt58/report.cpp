// What a person reads of a run: PNGs of the printed pages, a summary and a record dump.

#include "vt58/vt58.h"

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <memory>
#include <string>

namespace vt58 {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f)
            std::fclose(f);
    }
};

// libpng reports errors by longjmp; route them into a flag and plain returns instead.
struct PngState {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngState() { png_destroy_write_struct(&png, &info); }
};

// Nothing with a destructor lives in here: a longjmp out of libpng must skip none.
bool writeRows(PngState& s, std::FILE* f, const PrintedPage& page, std::vector<png_byte>& row) {
    if (setjmp(png_jmpbuf(s.png)))
        return false;
    const int width = page.rowBytes * 8;
    png_init_io(s.png, f);
    png_set_IHDR(s.png, s.info, static_cast<png_uint_32>(width),
                 static_cast<png_uint_32>(page.pageLines), 1, PNG_COLOR_TYPE_GRAY,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(s.png, s.info);
    png_set_invert_mono(s.png); // the page's 1 is a black dot, PNG's 1 is white
    for (int y = 0; y < page.pageLines; ++y) {
        const uint8_t* from = page.data.data() + static_cast<size_t>(y) * page.rowBytes;
        std::copy(from, from + page.rowBytes, row.data());
        png_write_row(s.png, row.data());
    }
    png_write_end(s.png, nullptr);
    return true;
}

std::string hexBytes(const std::vector<uint8_t>& bytes, size_t max) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < bytes.size() && i < max; ++i) {
        std::snprintf(b, sizeof b, "%02x", bytes[i]);
        if (i)
            out += ' ';
        out += b;
    }
    if (bytes.size() > max)
        out += " ...";
    return out;
}

double ms(const Record& r, Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(t - r.start).count();
}

} // namespace

bool writePng(const PrintedPage& page, const std::string& path, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    if (page.rowBytes <= 0 || page.pageLines <= 0 ||
        page.data.size() != static_cast<size_t>(page.rowBytes) * page.pageLines)
        return fail("page has no image");
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "wb"));
    if (!f)
        return fail("cannot create " + path);
    PngState s;
    s.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (s.png)
        s.info = png_create_info_struct(s.png);
    if (!s.png || !s.info)
        return fail("libpng could not start");
    std::vector<png_byte> row(static_cast<size_t>(page.rowBytes));
    if (!writeRows(s, f.get(), page, row))
        return fail("libpng failed writing " + path);
    if (std::fflush(f.get()) != 0)
        return fail("cannot write " + path);
    return true;
}

const char* name(FrameKind kind) {
    switch (kind) {
    case FrameKind::Status:
        return "status";
    case FrameKind::Print:
        return "print";
    case FrameKind::Bad:
        return "bad";
    case FrameKind::Partial:
        return "partial";
    }
    return "?";
}

const char* name(Fault fault) {
    switch (fault) {
    case Fault::None:
        return "none";
    case Fault::TransferError:
        return "error";
    case Fault::Timeout:
        return "timeout";
    case Fault::Short:
        return "short";
    case Fault::Vanish:
        return "vanish";
    }
    return "?";
}

const char* name(UsbEventKind kind) {
    switch (kind) {
    case UsbEventKind::Open:
        return "open";
    case UsbEventKind::Close:
        return "close";
    case UsbEventKind::Claim:
        return "claim";
    case UsbEventKind::ClaimBusy:
        return "claim-busy";
    case UsbEventKind::Release:
        return "release";
    case UsbEventKind::DriverQuery:
        return "driver-query";
    case UsbEventKind::Detach:
        return "detach";
    case UsbEventKind::DetachNone:
        return "detach-none";
    case UsbEventKind::Discard:
        return "discard";
    case UsbEventKind::Vanish:
        return "vanish";
    case UsbEventKind::Back:
        return "back";
    case UsbEventKind::Refused:
        return "refused";
    case UsbEventKind::Control:
        return "control";
    case UsbEventKind::Unknown:
        return "unknown-ioctl";
    case UsbEventKind::Unplug:
        return "unplug";
    case UsbEventKind::Replug:
        return "replug";
    }
    return "?";
}

std::string summary(const Record& r) {
    size_t complete = 0, blocks = 0, status = 0, print = 0, bad = 0;
    int maxCopies = 0;
    for (const PrintedPage& p : r.pages) {
        complete += p.complete ? 1 : 0;
        blocks += static_cast<size_t>(p.blocks);
        maxCopies = std::max(maxCopies, p.copies);
    }
    for (const FrameRecord& f : r.frames) {
        status += f.kind == FrameKind::Status;
        print += f.kind == FrameKind::Print;
        bad += f.kind == FrameKind::Bad;
    }
    char b[512];
    std::snprintf(b, sizeof b,
                  "vt58: %zu printed page(s), %zu complete, copies per page up to %d, %zu "
                  "block(s)\nvt58: %zu frame(s) (%zu status, %zu print, %zu bad), %zu byte(s) "
                  "received, %zu repl(ies), %zu reap(s)\nvt58: %zu protocol error(s)\n",
                  r.pages.size(), complete, maxCopies, blocks, r.frames.size(), status, print, bad,
                  r.bytesReceived, r.replies.size(), r.reapCalls, r.errors.size());
    std::string out = b;
    for (const ProtocolError& e : r.errors)
        out += "vt58: error (device " + std::to_string(e.device) + ", frame " +
               std::to_string(e.frameSeq) + "): " + e.what + "\n";
    return out;
}

std::string dumpRecord(const Record& r) {
    struct Line {
        Clock::time_point at;
        std::string text;
    };
    std::vector<Line> lines;
    char b[256];
    for (const FrameRecord& f : r.frames) {
        std::snprintf(b, sizeof b, "frame %d dev %d ep 0x%02x %s #%d len %zu%s%s: ", f.seq,
                      f.device, f.endpoint, name(f.kind), f.kindIndex, f.bytes.size(),
                      f.refused ? " refused" : "", f.taken ? " taken" : "");
        lines.push_back({f.at, b + hexBytes(f.bytes, 24)});
    }
    for (const ReplyRecord& p : r.replies) {
        std::snprintf(b, sizeof b, "reply to %d dev %d ep 0x%02x fault %s len %zu: ", p.frameSeq,
                      p.device, p.endpoint, name(p.fault), p.bytes.size());
        lines.push_back({p.at, b + hexBytes(p.bytes, 40)});
    }
    for (const UsbEvent& e : r.events) {
        std::snprintf(b, sizeof b, "usb dev %d %s interface %d value %d", e.device, name(e.kind),
                      e.interface, e.value);
        lines.push_back({e.at, b});
    }
    for (const ProtocolError& e : r.errors)
        lines.push_back({e.at, "error dev " + std::to_string(e.device) + " frame " +
                                   std::to_string(e.frameSeq) + ": " + e.what});
    for (const PrintedPage& p : r.pages) {
        std::snprintf(b, sizeof b,
                      "page dev %d copy %d/%d lines %d rows %d blocks %d darkness 0x%02x cutter "
                      "0x%02x row bytes %d %s missing %zu",
                      p.device, p.copyNumber, p.copies, p.pageLines, p.rows, p.blocks, p.darkness,
                      p.cutter, p.rowBytes, p.complete ? "complete" : "incomplete",
                      p.missingBlocks.size());
        lines.push_back({p.ended, b});
    }
    std::stable_sort(lines.begin(), lines.end(),
                     [](const Line& a, const Line& c) { return a.at < c.at; });
    std::string out;
    for (const Line& l : lines) {
        std::snprintf(b, sizeof b, "%10.3f ", ms(r, l.at));
        out += b + l.text + "\n";
    }
    return out;
}

} // namespace vt58
