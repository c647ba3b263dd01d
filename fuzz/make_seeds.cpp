// Writes the seed corpora into <folder>/raster, <folder>/ppd, <folder>/replies and
// <folder>/app-page: raster streams from libcups's own writer behind an option prefix, small
// PPD files, reply scripts for the usual printer behaviours, and client pages for the
// printer app. Run by hand: fuzz_make_seeds fuzz/corpus
#include <cups/raster.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Page {
    uint32_t w, h, bytesPerLine;
};

bool save(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return bool(out);
}

Bytes rasterOf(const std::vector<Page>& pages, cups_mode_t mode, const std::string& scratch) {
    const int fd = open(scratch.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return {};
    }
    cups_raster_t* ras = cupsRasterOpen(fd, mode);
    for (const Page& p : pages) {
        cups_page_header2_t header{};
        header.HWResolution[0] = header.HWResolution[1] = 203;
        header.cupsWidth = p.w;
        header.cupsHeight = p.h;
        header.cupsBytesPerLine = p.bytesPerLine;
        header.cupsBitsPerColor = header.cupsBitsPerPixel = 1;
        header.cupsColorSpace = CUPS_CSPACE_K;
        cupsRasterWriteHeader2(ras, &header);
        Bytes row(p.bytesPerLine);
        for (uint32_t y = 0; y < p.h; ++y) {
            for (uint32_t x = 0; x < p.bytesPerLine; ++x) {
                row[x] = static_cast<uint8_t>((y % 7 == 0) ? 0xFF : ((x + y) % 3 ? 0 : 0x3C));
            }
            cupsRasterWritePixels(ras, row.data(), p.bytesPerLine);
        }
    }
    cupsRasterClose(ras);
    std::ifstream in(scratch, std::ios::binary);
    Bytes bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    close(fd);
    unlink(scratch.c_str());
    return bytes;
}

// Options prefix: head, rotation, x and y offset values, x and y directions, template
// selector, template centimetres (4 bytes), template millimetres.
Bytes options(uint8_t head, int8_t rot, int8_t xv, int8_t yv, int8_t xd, int8_t yd, uint8_t sel,
              int32_t cm, int8_t mm) {
    const auto u = static_cast<uint32_t>(cm);
    return {head,
            static_cast<uint8_t>(rot),
            static_cast<uint8_t>(xv),
            static_cast<uint8_t>(yv),
            static_cast<uint8_t>(xd),
            static_cast<uint8_t>(yd),
            sel,
            static_cast<uint8_t>(u),
            static_cast<uint8_t>(u >> 8),
            static_cast<uint8_t>(u >> 16),
            static_cast<uint8_t>(u >> 24),
            static_cast<uint8_t>(mm)};
}

Bytes join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void rasterSeeds(const std::string& dir) {
    const std::string scratch = dir + "/.scratch";
    const Bytes small = rasterOf({{384, 40, 48}}, CUPS_RASTER_WRITE, scratch);
    const Bytes odd =
        rasterOf({{100, 30, 13}, {576, 50, 72}}, CUPS_RASTER_WRITE_COMPRESSED, scratch);
    const Bytes padded = rasterOf({{100, 20, 20}}, CUPS_RASTER_WRITE, scratch);
    const Bytes wide = rasterOf({{640, 25, 80}}, CUPS_RASTER_WRITE_COMPRESSED, scratch);
    const Bytes empty = rasterOf({{0, 3, 1}}, CUPS_RASTER_WRITE, scratch);
    save(dir + "/plain-203", join(options(0, 0, 0, 0, 0, 0, 0, 0, 0), small));
    save(dir + "/turn-left-offsets-300", join(options(1, 1, 5, 3, 0, 1, 0, 0, 0), odd));
    save(dir + "/turn-right-template", join(options(1, 3, 0, 2, 1, 0, 1, 4, 5), odd));
    save(dir + "/half-turn-padded-rows", join(options(0, 2, 1, 0, 1, 0, 0, 0, 0), padded));
    save(dir + "/wide-rows-offset", join(options(1, 0, 2, 0, 1, 2, 1, 0, 0), wide));
    save(dir + "/zero-width", join(options(1, 0, 0, 0, 0, 0, 0, 0, 0), empty));
    save(dir + "/template-huge", join(options(0, 0, 0, 1, 0, 0, 3, 0x7FFFFFF0, 9), small));
}

std::string ppd(const std::vector<std::pair<std::string, std::string>>& defaults) {
    std::string text =
        "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
        "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"T58.PPD\"\n"
        "*Manufacturer: \"Tarvik\"\n*Product: \"(T58)\"\n*ModelName: \"Tarvik T58\"\n"
        "*ShortNickName: \"Tarvik T58\"\n*NickName: \"Tarvik T58\"\n"
        "*PSVersion: \"(3010.000) 0\"\n*LanguageLevel: \"3\"\n*ColorDevice: False\n"
        "*DefaultColorSpace: Gray\n*FileSystem: False\n*Throughput: \"1\"\n"
        "*LandscapeOrientation: Plus90\n*TTRasterizer: Type42\n"
        "*OpenUI *PageSize/Media Size: PickOne\n*DefaultPageSize: w164h113\n"
        "*PageSize w164h113/58 x 40 mm: \"<</PageSize[164 113]>>setpagedevice\"\n"
        "*CloseUI: *PageSize\n";
    for (const auto& [keyword, choice] : defaults) {
        text += "*OpenUI *" + keyword + "/" + keyword + " label: PickOne\n*Default" + keyword +
                ": " + choice + "\n*" + keyword + " " + choice + "/Choice: \"\"\n*CloseUI: *" +
                keyword + "\n";
    }
    return text;
}

void ppdSeeds(const std::string& dir) {
    auto put = [&](const std::string& name, const std::string& text) {
        save(dir + "/" + name, Bytes(text.begin(), text.end()));
    };
    put("all-options", ppd({{"RotationAngle", "1"},
                            {"Blackness", "12"},
                            {"CutterSet", "1"},
                            {"HorizontalOffset", "0"},
                            {"HorizontalOffsetValue", "5"},
                            {"VerticalOffset", "1"},
                            {"VerticalOffsetValue", "3"},
                            {"IsDebug", "0"},
                            {"StpTemplateCM", "4"},
                            {"StpTemplateMM", "0"}}));
    put("absurd-values", ppd({{"RotationAngle", "-2147483648"},
                              {"Blackness", "300"},
                              {"HorizontalOffsetValue", "200"},
                              {"VerticalOffsetValue", "-1"},
                              {"StpTemplateCM", "99999999999"},
                              {"StpTemplateMM", "-5"}}));
    put("not-numbers", ppd({{"RotationAngle", "Left"},
                            {"Blackness", "12abc"},
                            {"StpTemplateCM", "+3"},
                            {"StpTemplateMM", "7mm"}}));
    put("template-only-mm", ppd({{"StpTemplateMM", "5"}}));
    put("no-options", ppd({}));
}

void scriptSeeds(const std::string& dir) {
    // Replies: op byte (0 = whole transfer), then for reads a length and bytes 4, 6, 35.
    const Bytes ok = {0, 0, 64, 0, 1, 0};    // write ok, read 64 bytes: free, 300 dpi, job 0
    const Bytes ok203 = {0, 0, 64, 0, 0, 0}; // the same on the 203 dpi head
    auto repeat = [](const Bytes& unit, int n) {
        Bytes out;
        for (int i = 0; i < n; ++i) {
            out.insert(out.end(), unit.begin(), unit.end());
        }
        return out;
    };
    auto reply = [](uint8_t b4, uint8_t b35, uint8_t len = 64) {
        return Bytes{0, 0, len, b4, 1, b35};
    };
    // Job: copies, lines (low, high), blackness, cutter, seed.
    save(dir + "/two-copies-ok", join({2, 50, 0, 12, 1, 3}, repeat(ok, 12)));
    save(dir + "/one-copy-203", join({1, 100, 0, 40, 9, 1}, repeat(ok203, 8)));
    save(dir + "/refusals",
         join(join({1, 60, 0, 0, 0, 0}, repeat(ok, 3)), repeat(join(reply(0x40, 0), ok), 12)));
    save(dir + "/busy-then-free", join(join({1, 30, 0, 5, 2, 0}, repeat(ok, 2)),
                                       join(repeat(reply(0x81, 0), 5), repeat(ok, 6))));
    save(dir + "/job-stop",
         join(join({3, 80, 0, 5, 2, 0}, repeat(ok, 2)), repeat(reply(0, 0x60), 4)));
    save(dir + "/job-wait-short",
         join(join({1, 24, 0, 5, 2, 0}, ok),
              join(repeat(reply(0, 0x20), 3), repeat(reply(0, 0, 20), 4))));
    save(dir + "/errors", Bytes{2, 48, 0, 0, 0, 0, 0, 0, 64, 0, 1, 0, 0, 5, 6, 0, 7, 0x80, 0, 64});
    save(dir + "/many-blocks", join({1, 0x10, 0x1B, 1, 1, 7}, repeat(ok, 300)));
}

// The app page target's input (see fuzz_app_page.cpp), every field given as it is (mode 6)
// or as zero (mode 5): run bytes, the header, the settings, a reply script, the lines.
struct AppHeader {
    uint32_t w, h, bitsPerPixel, bitsPerColor, space, bytesPerLine;
};
struct AppJob {
    uint8_t flags = 0; // head, dither, copies, copies printed before, orientation
    uint8_t level = 0;
    std::vector<int32_t> settings = {26, 0, 0, 0, 0, 0, 0};
};

void putField(Bytes& out, uint32_t v) {
    out.push_back(v == 0 ? 5 : 6);
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

Bytes appPage(const AppJob& job, const AppHeader& h, const Bytes& script) {
    Bytes out = {job.flags, job.level, 0};
    for (uint32_t v : {h.w, h.h, h.bitsPerPixel, h.bitsPerColor, h.space, 0u, h.bytesPerLine}) {
        putField(out, v);
    }
    for (int32_t v : job.settings) {
        putField(out, static_cast<uint32_t>(v));
    }
    out.push_back(static_cast<uint8_t>(script.size()));
    out.push_back(static_cast<uint8_t>(script.size() >> 8));
    return join(out, script);
}

// Lines of the page: whole lines of a ruler and stripes, every fifth one short.
Bytes appLines(uint32_t lines, uint32_t bytesPerLine, bool someShort) {
    Bytes out;
    for (uint32_t y = 0; y < lines; ++y) {
        uint32_t n = bytesPerLine;
        if (someShort && y % 5 == 4) {
            n = bytesPerLine / 2;
            out.push_back(static_cast<uint8_t>(0xC0 | (n >> 8)));
            out.push_back(static_cast<uint8_t>(n));
        } else {
            out.push_back(0);
        }
        for (uint32_t x = 0; x < n; ++x) {
            out.push_back(static_cast<uint8_t>((y % 9 == 0) ? 0xFF : (x * 13 + y * 7) & 0xF3));
        }
    }
    return out;
}

void appPageSeeds(const std::string& dir) {
    // A printer that takes everything: each exchange a whole write, then a 64-byte reply.
    auto okReplies = [](int n) {
        Bytes out;
        for (int i = 0; i < n; ++i) {
            out.insert(out.end(), {0, 0, 64, 0, 0, 0});
        }
        return out;
    };
    auto put = [&](const std::string& name, const AppJob& job, const AppHeader& h,
                   const Bytes& script, const Bytes& lines) {
        save(dir + "/" + name, join(appPage(job, h, script), lines));
    };
    constexpr uint32_t K = CUPS_CSPACE_K, W = CUPS_CSPACE_W, SW = CUPS_CSPACE_SW;
    constexpr uint32_t SRGB = CUPS_CSPACE_SRGB;
    AppJob one;
    one.flags = 1 << 3;
    one.settings = {26, 0, 1, 0, 0, 0, 0};
    put("label-1bit-203", one, {384, 80, 1, 1, K, 48}, okReplies(8), appLines(80, 48, false));
    AppJob turned;
    turned.flags = 1 | 2 << 1 | 2 << 3;
    turned.level = 100;
    turned.settings = {50, 20, 3, 1, 150, -250, 4000};
    put("label-1bit-300-turned-two-copies", turned, {576, 120, 1, 1, K, 72}, okReplies(48),
        appLines(120, 72, true));
    AppJob grey = one;
    grey.flags |= 1 << 1;
    put("grey-8bit-ordered", grey, {300, 60, 8, 8, SW, 300}, okReplies(6), appLines(60, 300, true));
    AppJob colour = one;
    colour.flags |= 1 | 3 << 1 | 0x80;
    colour.level = 7;
    colour.settings = {80, -30, 0, 6, -500, 300, 2500}; // reverse-portrait: a half turn
    put("colour-24bit", colour, {200, 50, 24, 8, SRGB, 600}, okReplies(16),
        appLines(50, 600, false));
    put("white-1bit-short-and-few-lines", one, {100, 40, 1, 1, W, 16}, okReplies(4),
        appLines(25, 16, true));
    put("lines-past-height", one, {384, 10, 1, 1, K, 48}, okReplies(4), appLines(30, 48, true));
    put("zero-width", one, {0, 40, 1, 1, K, 48}, {}, appLines(4, 48, false));
    put("huge-header", one, {0xFFFFFFFF, 0xFFFFFFFF, 1, 1, K, 0xFFFFFFFF}, {},
        appLines(2, 64, false));
    put("huge-colour-header", colour, {0xFFFFFFFF, 0xFFFFFFFF, 24, 8, SRGB, 0xFFFFFFFF}, {},
        appLines(2, 64, false));
    AppJob none;
    put("largest-page-no-copies", none, {16384, 8192, 1, 1, K, 2048}, {}, appLines(3, 2048, false));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s corpus-folder\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    rasterSeeds(root + "/raster");
    ppdSeeds(root + "/ppd");
    scriptSeeds(root + "/replies");
    appPageSeeds(root + "/app-page");
    return 0;
}
