// A client's raster page -> the printer app's page path, as the app's job runs it for every
// page: PageBuilder's header check and its lines, then for a page it took the mask past the
// width, the label settings and t58_Print over the scripted link. The input:
//   3 run bytes: the 300 dpi head (bit 0), the dither (bits 1-2: none, ordered, flat,
//     pattern), copies (bits 3-4), copies printed before a restart (bits 5-6) and the turn
//     as an orientation-requested value (bit 7); the flat level or pattern seed; a stop
//     before the n-th copy (low 2 bits, 0 none)
//   7 header fields, then 7 label settings, 5 bytes each: a mode byte (0-4 a usual value made
//     from the 4 bytes that follow, 5 zero, 6 the 4 bytes as they are, 7 one of the limits)
//   2 bytes: the length of the reply script (low 11 bits), then the script (transport.cpp)
//   the lines, until the input ends: a control byte each, below 0xC0 a line of
//     cupsBytesPerLine bytes, else one of ((c & 0x3F) << 8 | next byte) bytes; the last
//     line gets what is left.
#include "fuzz/sandbox.h"
#include "fuzz/transport.h"
#include "image/page_data.h"
#include "link/transmit.h"
#include "printer-app/page.h"
#include "printer-app/settings.h"

#include <cups/raster.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

namespace {

using tarvik_app::DitherMatrix;
using tarvik_app::LabelSettings;
using tarvik_app::PageBuilder;
using tarvik_app::PageCheck;

constexpr size_t kMaxScriptBytes = 2047;

// Around the bounds of the page check, the block header and the integer types.
constexpr uint32_t kLimits[16] = {1,          8,          9,          2048,      2049,   16384,
                                  16385,      65535,      65536,      262144,    262145, 16u << 20,
                                  0x7FFFFFFF, 0x80000000, 0xFFFFFFF8, 0xFFFFFFFF};
// Around the settings' clamps and roundings (hundredths of mm, percent).
constexpr int32_t kSettingLimits[16] = {
    INT32_MIN, INT32_MIN + 1, -100001, -2450, -2449, -1,   1,    49,
    50,        100,           101,     2449,  2450,  4049, 4050, INT32_MAX};

class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t le32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= uint32_t{u8()} << (8 * i);
        }
        return v;
    }
    // The next n bytes, fewer where the input ends.
    std::span<const uint8_t> take(size_t n) {
        const size_t got = n < size_ - at_ ? n : size_ - at_;
        const std::span<const uint8_t> bytes(data_ + at_, got);
        at_ += got;
        return bytes;
    }
    size_t left() const { return size_ - at_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// A header field or a setting: mostly a usual value, sometimes zero, any value or a limit.
template <typename Limit, typename Usual>
uint32_t field(Input& in, const Limit (&limits)[16], Usual usual) {
    const uint8_t mode = in.u8() % 8;
    const uint32_t v = in.le32();
    switch (mode) {
    case 5:
        return 0;
    case 6:
        return v;
    case 7:
        return static_cast<uint32_t>(limits[v % 16]);
    default:
        return usual(v);
    }
}

int32_t setting(Input& in, int32_t (*usual)(uint32_t)) {
    return static_cast<int32_t>(
        field(in, kSettingLimits, [usual](uint32_t v) { return static_cast<uint32_t>(usual(v)); }));
}

// The enum fields take any 32-bit value a client's stream holds, as libcups reads it.
template <typename Enum> void setRaw(Enum* fieldOf, uint32_t raw) {
    static_assert(sizeof(Enum) == sizeof(raw));
    std::memcpy(fieldOf, &raw, sizeof(raw));
}

cups_page_header2_t headerOf(Input& in) {
    cups_page_header2_t h{};
    h.cupsWidth = field(in, kLimits, [](uint32_t v) { return 1 + v % 1024; });
    h.cupsHeight = field(in, kLimits, [](uint32_t v) { return 1 + v % 1600; });
    h.cupsBitsPerPixel = field(in, kLimits, [](uint32_t v) {
        static constexpr uint32_t kDepths[3] = {1, 8, 24};
        return kDepths[v % 3];
    });
    const uint32_t bpp = h.cupsBitsPerPixel;
    h.cupsBitsPerColor = field(in, kLimits, [bpp](uint32_t v) {
        static constexpr uint32_t kOdd[5] = {1, 2, 4, 8, 16};
        return v % 8 == 7 ? kOdd[(v >> 3) % 5] : (bpp == 1 ? 1u : 8u);
    });
    setRaw(&h.cupsColorSpace, field(in, kLimits, [bpp](uint32_t v) {
        static constexpr uint32_t kGrey[3] = {CUPS_CSPACE_K, CUPS_CSPACE_W, CUPS_CSPACE_SW};
        static constexpr uint32_t kRgb[3] = {CUPS_CSPACE_RGB, CUPS_CSPACE_SRGB,
                                             CUPS_CSPACE_ADOBERGB};
        if (v % 4 == 3) {
            return (v >> 2) % (CUPS_CSPACE_DEVICEF + 1);
        }
        return bpp == 24 ? kRgb[v % 4] : kGrey[v % 4];
    }));
    setRaw(&h.cupsColorOrder, field(in, kLimits, [](uint32_t v) {
        return v % 8 == 7 ? 1 + (v >> 3) % 2 : uint32_t{CUPS_ORDER_CHUNKED};
    }));
    const uint64_t minLine = (uint64_t{h.cupsWidth} * bpp + 7) / 8;
    h.cupsBytesPerLine = field(in, kLimits, [minLine](uint32_t v) {
        const uint32_t pick = v % 16;
        const uint64_t padding = pick < 10 ? 0 : pick < 14 ? pick - 9 : (v >> 4) % 64;
        return static_cast<uint32_t>(pick == 15 ? minLine - 1 : minLine + padding);
    });
    return h;
}

// With orientation: the turn as the app takes it from a job's orientation-requested.
LabelSettings settingsOf(Input& in, bool orientation) {
    LabelSettings s;
    s.darknessConfigured = setting(in, [](uint32_t v) { return static_cast<int32_t>(v % 101); });
    s.printDarkness = setting(in, [](uint32_t v) { return static_cast<int32_t>(v % 201) - 100; });
    s.cutter = setting(in, [](uint32_t v) { return static_cast<int32_t>(v % 8); });
    if (orientation) {
        const int32_t requested =
            setting(in, [](uint32_t v) { return static_cast<int32_t>(3 + v % 4); });
        s.quarterTurns = tarvik_app::quarterTurnsOf(requested);
    } else {
        s.quarterTurns = setting(in, [](uint32_t v) { return static_cast<int32_t>(v % 4); });
    }
    s.leftOffset = setting(in, [](uint32_t v) { return static_cast<int32_t>(v % 6001) - 3000; });
    s.topOffset = setting(in, [](uint32_t v) { return static_cast<int32_t>(v % 10001) - 5000; });
    s.lengthHmm = setting(in, [](uint32_t v) { return static_cast<int32_t>(500 + v % 15000); });
    return s;
}

const DitherMatrix* ditherOf(uint8_t kind, uint8_t level, DitherMatrix& m) {
    if (kind == 0) {
        return nullptr;
    }
    for (uint32_t y = 0; y < 16; ++y) {
        for (uint32_t x = 0; x < 16; ++x) {
            uint32_t ordered = 0;
            for (uint32_t bit = 0; bit < 4; ++bit) {
                ordered = ordered << 2 | (((x ^ y) >> bit) & 1) << 1 | ((y >> bit) & 1);
            }
            m[y][x] = static_cast<unsigned char>(kind == 1   ? ordered
                                                 : kind == 2 ? level
                                                             : (x * 17 + y * level) & 0xFF);
        }
    }
    return &m;
}

[[noreturn]] void fault() {
    __builtin_trap();
}

// What the page check promises of a page it took, and of one it refused.
void checkStart(PageBuilder& page, const cups_page_header2_t& h, PageCheck check) {
    const char* text = tarvik_app::pageCheckText(check);
    if (text == nullptr || text[0] == '\0') {
        fault();
    }
    if (check != PageCheck::Ok) {
        if (page.width() != 0 || page.height() != 0 || page.rowBytes() != 0) {
            fault();
        }
        return;
    }
    if (page.width() != h.cupsWidth || page.height() != h.cupsHeight ||
        page.inputBytesPerLine() != h.cupsBytesPerLine ||
        page.rowBytes() < (uint64_t{page.width()} + 7) / 8 || page.data() == nullptr ||
        uint64_t{page.rowBytes()} * page.height() > tarvik_app::kMaxAppPageBytes) {
        fault();
    }
}

void feedLines(PageBuilder& page, Input& in) {
    for (uint32_t y = 0; in.left() > 0; ++y) {
        const uint8_t control = in.u8();
        size_t size = page.inputBytesPerLine();
        if (control >= 0xC0) {
            size = size_t{control & 0x3Fu} << 8 | in.u8();
        }
        const std::span<const uint8_t> bytes = in.take(size);
        // Each line in a buffer of exactly its size, so that a read past it is caught.
        const std::unique_ptr<uint8_t[]> line(new uint8_t[bytes.size()]);
        if (!bytes.empty()) {
            std::memcpy(line.get(), bytes.data(), bytes.size());
        }
        page.line(y, line.get(), bytes.size());
    }
}

struct Run {
    int32_t copies;
    int32_t firstCopy;
    uint8_t stopAt;
};

void printPage(PageBuilder& page, const LabelSettings& settings, const Run& run,
               std::span<const uint8_t> script) {
    maskPastWidth(page.data(), page.width(), page.height(), page.rowBytes());
    PageData pd{};
    pd.w = static_cast<int32_t>(page.width());
    pd.h = static_cast<int32_t>(page.height());
    pd.rowBytes = static_cast<int32_t>(page.rowBytes());
    pd.data = page.data();
    tarvik_app::applySettings(settings, run.copies, pd);

    T58Link& link = scriptedLink();
    link.bStopAtBlocks = true;
    int32_t stopAsks = 0;
    link.stopBeforeCopy = [&stopAsks, &run] { return ++stopAsks == run.stopAt; };
    link.firstCopy = run.firstCopy;
    std::vector<int32_t> done;
    link.copyDone = [&done](int32_t copyNo) { done.push_back(copyNo); };
    scriptStart(script.data(), script.size(), ScriptJob{run.copies, pd.blackness, pd.cutterSet});
    const int32_t result = numberOf(t58_Print(link, run.copies, &pd));
    link.copyDone = nullptr;
    link.stopBeforeCopy = nullptr;

    const int32_t rowBytes = link.head.t58RowBytes;
    if (pd.rowBytes != rowBytes || pd.w != rowBytes * 8 || pd.h < 0) {
        fault();
    }
    if (result == -1) {
        if (pd.h != 0 || link.work.dstData || link.copiesSent != 0) {
            fault();
        }
    } else {
        scriptCheckPrint(result, link.work.dstData.get(), pd.h, rowBytes);
    }
    // Each copy that went out is told once, in order, numbered after those printed before.
    if (link.copiesSent != static_cast<int32_t>(done.size())) {
        fault();
    }
    for (size_t i = 0; i < done.size(); ++i) {
        if (done[i] <= run.firstCopy || done[i] > run.copies || (i > 0 && done[i] <= done[i - 1])) {
            fault();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!enterPrivateShm()) {
        exit(1);
    }
    // The app's links write no page dumps.
    scriptedLink().work.dumps.enabled = false;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    clearShm();
    Input in(data, size);
    const uint8_t flags = in.u8();
    const uint8_t level = in.u8();
    Run run{};
    run.copies = (flags >> 3) & 3;
    run.firstCopy = std::min<int32_t>((flags >> 5) & 3, run.copies);
    run.stopAt = in.u8() & 3;
    const cups_page_header2_t header = headerOf(in);
    const LabelSettings settings = settingsOf(in, (flags & 0x80) != 0);
    const size_t scriptBytes = (in.u8() | size_t{in.u8()} << 8) & kMaxScriptBytes;
    const std::span<const uint8_t> script = in.take(scriptBytes);

    scriptedLink().head = (flags & 1) ? kHead300 : kHead203;
    DitherMatrix matrix{};
    PageBuilder page;
    const PageCheck check = page.start(header, ditherOf((flags >> 1) & 3, level, matrix));
    checkStart(page, header, check);
    if (check != PageCheck::Ok) {
        return 0;
    }
    feedLines(page, in);
    printPage(page, settings, run, script);
    releaseDstData(scriptedLink().work);
    return 0;
}
