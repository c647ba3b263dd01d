// The backend run as CUPS runs it, on real raster files and PPDs, against the virtual T58:
// every copy of every page the printer put together is compared with the page expected for
// the options and the head, and the frames with what each reply asks for.
#include "tests/support/job.h"
#include "tests/support/support.h"
#include "vt58/vt58.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>

namespace {

using namespace std::chrono_literals;
using tjob::framesOf;
using tsupport::countOf;
using tsupport::labelPage;
using tsupport::RasterPage;

// ---- The expected page, worked out from the source page -------------------------------

struct Options {
    int rotation = 0;
    int xDir = 0;
    int xValue = 0;
    int yDir = 0;
    int yValue = 0;
    int templateCM = 999;
    int templateMM = 0;
};

struct Head {
    int rowBytes; // 48 or 72
    int dpi;      // 203 or 300
    uint8_t headByte;
};
constexpr Head kHead203{48, 203, 0};
constexpr Head kHead300{72, 300, 1};

struct Bitmap {
    int w = 0;
    int h = 0;
    int rowBytes = 0;
    std::vector<uint8_t> bytes;
    bool dot(int x, int y) const { return (bytes[y * rowBytes + x / 8] >> (7 - x % 8)) & 1; }
    void set(int x, int y) { bytes[y * rowBytes + x / 8] |= uint8_t(0x80 >> (x % 8)); }
};

Bitmap asRead(const RasterPage& page) {
    Bitmap b{int(page.width), int(page.height), int(page.bytesPerLine), page.pixels};
    // Dots past the width are not part of the page.
    for (int y = 0; y < b.h; ++y) {
        for (int x = b.w; x < b.rowBytes * 8; ++x) {
            b.bytes[y * b.rowBytes + x / 8] &= uint8_t(~(0x80 >> (x % 8)));
        }
    }
    return b;
}

// Quarter turns: counter-clockwise (1) or clockwise (3), width padded to 32 dots; 2: half.
Bitmap turned(const Bitmap& src, int code) {
    if (code != 1 && code != 2 && code != 3) {
        return src;
    }
    Bitmap dst;
    dst.w = code == 2 ? src.w : (src.h + 31) / 32 * 32;
    dst.h = code == 2 ? src.h : src.w;
    dst.rowBytes = code == 2 ? src.rowBytes : dst.w / 8;
    dst.bytes.assign(size_t(dst.rowBytes) * dst.h, 0);
    for (int y = 0; y < src.h; ++y) {
        for (int x = 0; x < src.w; ++x) {
            if (!src.dot(x, y)) {
                continue;
            }
            if (code == 1) {
                dst.set(y, src.w - 1 - x);
            } else if (code == 3) {
                dst.set(dst.w - 1 - y, x);
            } else {
                dst.set(src.w - 1 - x, src.h - 1 - y);
            }
        }
    }
    return dst;
}

int evenHalf(int a, int b) {
    int d = std::abs(a - b) / 2;
    return d % 2 ? d + 1 : d;
}

// Where source byte s of a row lands on the head line, or -1 when it falls off.
int landing(int s, int rowBytes, const Options& o, const Head& head, int xBytes) {
    const int T = head.rowBytes;
    const int shift = o.xDir == 0 ? xBytes : -xBytes;
    if (o.xValue == 0) {
        int p = rowBytes <= T ? s + evenHalf(T, rowBytes) : s - evenHalf(rowBytes, T);
        return p >= 0 && p < T ? p : -1;
    }
    if (rowBytes < T) { // centred on the head line, then moved along it
        int p = s + evenHalf(T, rowBytes) + shift;
        return p >= 0 && p < T ? p : -1;
    }
    int q = s + shift; // moved along its own row, then the middle kept
    if (q < 0 || q >= rowBytes) {
        return -1;
    }
    int p = q - evenHalf(rowBytes, T);
    return p >= 0 && p < T ? p : -1;
}

// The page as the printer should print it: head-width lines, top first.
std::vector<uint8_t> expectedPage(const RasterPage& raster, const Options& o, const Head& head) {
    const Bitmap page = turned(asRead(raster), o.rotation);
    const int xBytes = int((o.xValue * head.dpi / 25.4 + 7.0) / 8.0);
    const int yLines = int(o.yValue * head.dpi / 25.4);
    const bool bTemplate = o.templateCM != 999;
    const int templateLines =
        bTemplate ? int((o.templateCM * 10 + o.templateMM) * head.dpi / 25.4) : 0;
    const int lines = bTemplate ? templateLines : page.h;
    const int workLines = bTemplate && templateLines > page.h ? templateLines : page.h;
    std::vector<uint8_t> out(size_t(lines) * head.rowBytes, 0);
    const bool bBlank =
        bTemplate ? (yLines >= templateLines && o.yDir == 0) || (yLines >= page.h && o.yDir == 1)
                  : yLines >= page.h;
    if (bBlank) {
        return out;
    }
    for (int i = 0; i < lines; ++i) {
        int r = i;
        if (o.yValue != 0) {
            r = o.yDir == 1 ? i + yLines : (i < workLines ? i - yLines : -1);
        }
        if (r < 0 || r >= page.h) {
            continue;
        }
        for (int s = 0; s < page.rowBytes; ++s) {
            const int p = landing(s, page.rowBytes, o, head, xBytes);
            if (p >= 0) {
                out[size_t(i) * head.rowBytes + p] = page.bytes[size_t(r) * page.rowBytes + s];
            }
        }
    }
    return out;
}

// ---- Running a job -----------------------------------------------------------------------

std::vector<std::pair<std::string, std::string>> ppdFor(const Options& o, int blackness = 0,
                                                        int cutter = 0) {
    std::vector<std::pair<std::string, std::string>> d = {
        {"RotationAngle", std::to_string(o.rotation)},
        {"Blackness", std::to_string(blackness)},
        {"CutterSet", std::to_string(cutter)},
        {"HorizontalOffset", std::to_string(o.xDir)},
        {"HorizontalOffsetValue", std::to_string(o.xValue)},
        {"VerticalOffset", std::to_string(o.yDir)},
        {"VerticalOffsetValue", std::to_string(o.yValue)},
        {"StpTemplateMM", std::to_string(o.templateMM)}};
    if (o.templateCM != 999) {
        d.push_back({"StpTemplateCM", std::to_string(o.templateCM)});
    }
    return d;
}

// A job with every option of the PPD at its default.
struct Job : tjob::PrinterJob {
    Job() {
        ppd = ppdFor({});
        timeout = 120s;
    }
};
using tjob::runJob;

// S for a status request, P for print data, in arrival order.
std::string frameKinds(const vt58::Record& record) {
    std::string s;
    for (const auto& f : record.frames) {
        s += f.kind == vt58::FrameKind::Status ? 'S' : f.kind == vt58::FrameKind::Print ? 'P' : '?';
    }
    return s;
}

int le16(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8);
}

// Every printed copy, in order: page p's copies 1..copies, each the expected page.
void expectPrinted(const vt58::Record& record, const std::vector<std::vector<uint8_t>>& pages,
                   int copies, const Head& head) {
    ASSERT_EQ(record.pages.size(), pages.size() * copies);
    for (size_t i = 0; i < record.pages.size(); ++i) {
        const vt58::PrintedPage& got = record.pages[i];
        const std::vector<uint8_t>& want = pages[i / copies];
        SCOPED_TRACE("page " + std::to_string(i / copies + 1) + " copy " +
                     std::to_string(i % copies + 1));
        EXPECT_EQ(got.copyNumber, int(i % copies) + 1);
        EXPECT_EQ(got.copies, copies);
        EXPECT_EQ(got.rowBytes, head.rowBytes);
        EXPECT_EQ(got.pageLines, int(want.size()) / head.rowBytes);
        EXPECT_TRUE(got.complete);
        EXPECT_TRUE(got.data == want) << "the printed dots differ from the expected page";
    }
}

// ---- Blocks, headers, copies --------------------------------------------------------------

TEST(E2E, BlocksOnBothHeads) {
    struct Case {
        Head head;
        uint32_t lines;
        std::vector<int> blockLines;
    };
    for (const Case& c : {Case{kHead300, 50, {24, 24, 2}}, Case{kHead300, 48, {24, 24}},
                          Case{kHead203, 36, {36}}}) {
        SCOPED_TRACE(std::to_string(c.head.dpi) + " dpi, " + std::to_string(c.lines) + " lines");
        Job job;
        job.scenario.headByte = c.head.headByte;
        job.pages = {tsupport::randomPage(c.head.rowBytes * 8, c.lines, c.lines)};
        auto r = runJob(job);
        ASSERT_TRUE(r);
        auto frames = framesOf(r->record);
        ASSERT_EQ(frames.size(), c.blockLines.size());
        for (size_t j = 0; j < frames.size(); ++j) {
            const auto& b = frames[j].bytes;
            EXPECT_EQ(le16(b, 1), int(b.size()));
            EXPECT_EQ(le16(b, 11), int(c.lines));
            EXPECT_EQ(le16(b, 13), c.blockLines[j]);
            EXPECT_EQ(b[15], frames.size() - 1 - j);
            EXPECT_EQ(b[10], 1);
            EXPECT_EQ(b[16], 0);
        }
        expectPrinted(r->record, {expectedPage(job.pages[0], {}, c.head)}, 1, c.head);
        EXPECT_EQ(r->end, 0) << r->run.log;
    }
}

TEST(E2E, ThreeCopiesEachAfterAWait) {
    Job job;
    job.copies = "3";
    job.ppd = ppdFor({}, 40, 9);
    job.pages = {labelPage(576, 48, 1)};
    auto r = runJob(job);
    ASSERT_TRUE(r);
    EXPECT_EQ(frameKinds(r->record), "SSPPSPPSPP");
    for (const auto& f : framesOf(r->record)) {
        EXPECT_EQ(f.bytes[4], 0xE8); // 40 & 0x1F = 8
        EXPECT_EQ(f.bytes[5], 0x01); // 9 & 7
        EXPECT_EQ(le16(f.bytes, 6), 3);
    }
    expectPrinted(r->record, {expectedPage(job.pages[0], {}, kHead300)}, 3, kHead300);
}

TEST(E2E, CentringOfNarrowAndWidePages) {
    struct Case {
        Head head;
        uint32_t width;
    };
    // 48 bytes on 72: deviation 12; 62 on 72: 6; 80 on 72: middle from byte 4; 36 on 48: 6;
    // 401 dots on 48: the last byte masked, then cut from byte 2.
    for (const Case& c : {Case{kHead300, 384}, Case{kHead300, 496}, Case{kHead300, 640},
                          Case{kHead203, 288}, Case{kHead203, 401}}) {
        SCOPED_TRACE(std::to_string(c.width) + " dots on " + std::to_string(c.head.dpi));
        Job job;
        job.scenario.headByte = c.head.headByte;
        job.pages = {tsupport::randomPage(c.width, 30, c.width)};
        auto r = runJob(job);
        ASSERT_TRUE(r);
        expectPrinted(r->record, {expectedPage(job.pages[0], {}, c.head)}, 1, c.head);
    }
}

TEST(E2E, PageDumpIsTheHeadPageBeforeTheSwap) {
    Job job;
    job.pages = {labelPage(500, 40, 3)};
    auto r = runJob(job);
    ASSERT_TRUE(r);
    const auto want = expectedPage(job.pages[0], {}, kHead300);
    ASSERT_EQ(r->pageDump.size(), 62 + want.size());
    EXPECT_TRUE(std::equal(want.begin(), want.end(), r->pageDump.begin() + 62,
                           [](uint8_t a, char b) { return a == uint8_t(b); }));
}

TEST(E2E, ZeroLinePageAndZeroCopies) {
    // A template of 0 cm 0 mm gives a page of no lines: a wait per copy, no block.
    Job empty;
    empty.copies = "2";
    empty.ppd = ppdFor({.templateCM = 0});
    empty.pages = {labelPage(576, 40, 4)};
    auto r = runJob(empty);
    ASSERT_TRUE(r);
    EXPECT_EQ(frameKinds(r->record), "SSS");
    EXPECT_EQ(r->end, 0) << r->run.log;

    // No copies: only the head query; the page is still assembled and dumped.
    Job none;
    none.copies = "0";
    none.pages = {labelPage(576, 40, 5)};
    auto n = runJob(none);
    ASSERT_TRUE(n);
    EXPECT_EQ(frameKinds(n->record), "S");
    EXPECT_EQ(n->pageDump.size(), 62u + 40 * 72);
    EXPECT_EQ(n->end, 0) << n->run.log;
}

TEST(E2E, MoreThan256BlocksCarryTheLow8BitsToFollow) {
    Job job;
    job.pages = {labelPage(576, 300 * 24, 6)}; // 300 blocks on the 300 dpi head
    auto r = runJob(job);
    ASSERT_TRUE(r);
    auto frames = framesOf(r->record);
    ASSERT_EQ(frames.size(), 300u);
    EXPECT_EQ(frames[0].bytes[15], 43); // 299 & 0xFF
    for (size_t j = 0; j < frames.size(); ++j) {
        EXPECT_EQ(frames[j].bytes[15], (299 - j) & 0xFF) << "block " << j;
        EXPECT_EQ(le16(frames[j].bytes, 11), 7200);
    }
    ASSERT_FALSE(r->record.pages.empty());
    EXPECT_TRUE(r->record.pages[0].data == expectedPage(job.pages[0], {}, kHead300));
}

// ---- Replies to print data --------------------------------------------------------------

TEST(E2E, RefusedEveryTimeTenSendsThenTheNextBlock) {
    Job job;
    job.scenario.refuseEveryPrint();
    job.pages = {labelPage(576, 48, 7)};
    auto r = runJob(job);
    ASSERT_TRUE(r);
    // Each refusal is followed by a free poll; after ten sends the block is given up.
    std::string perBlock;
    for (int i = 0; i < 10; ++i) {
        perBlock += "PS";
    }
    EXPECT_EQ(frameKinds(r->record), "SS" + perBlock + perBlock);
    auto frames = framesOf(r->record);
    ASSERT_EQ(frames.size(), 20u);
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(frames[i].bytes, frames[0].bytes); // the same frame again
        EXPECT_EQ(frames[10 + i].bytes[15], 0);      // then the last block
    }
    EXPECT_EQ(r->end, 0) << r->run.log;
}

TEST(E2E, RefusedTwiceThenTaken) {
    Job job;
    job.copies = "2";
    job.scenario.refusePrint(2, 2); // the second block of copy 1, twice
    job.pages = {labelPage(576, 50, 8)};
    auto r = runJob(job);
    ASSERT_TRUE(r);
    EXPECT_EQ(frameKinds(r->record), "SSPPSPSPPSPPP");
    expectPrinted(r->record, {expectedPage(job.pages[0], {}, kHead300)}, 2, kHead300);
}

TEST(E2E, NotReadyBitsInAReplyWaitThenGoOn) {
    Job job;
    vt58::ReplyRule rule;
    rule.on = vt58::Match::Print;
    rule.first = 1;
    rule.byte4 = 0x02;
    job.scenario.rules.push_back(rule);
    job.scenario.busy(2, 3); // the free poll after block 1 waits twice
    job.pages = {labelPage(576, 48, 9)};
    auto r = runJob(job);
    ASSERT_TRUE(r);
    EXPECT_EQ(frameKinds(r->record), "SSPSSSP");
    expectPrinted(r->record, {expectedPage(job.pages[0], {}, kHead300)}, 1, kHead300);
}

TEST(E2E, JobStateStopInReplyToFirstBlockEndsThePage) {
    Job job;
    job.copies = "3";
    vt58::ReplyRule rule;
    rule.on = vt58::Match::Print;
    rule.first = 1;
    rule.jobState = 0x60;
    job.scenario.rules.push_back(rule);
    job.pages = {labelPage(576, 50, 10)};
    auto r = runJob(job);
    ASSERT_TRUE(r);
    EXPECT_EQ(frameKinds(r->record), "SSP");
    EXPECT_EQ(r->end, 0) << r->run.log;
}

TEST(E2E, StopBeforeACopyGivesMinus3) {
    Job job;
    job.copies = "2";
    job.scenario.jobStop(3); // the wait before copy 2
    job.pages = {labelPage(576, 24, 11)};
    auto r = runJob(job);
    ASSERT_TRUE(r);
    EXPECT_EQ(frameKinds(r->record), "SSPS");
    EXPECT_EQ(r->end, -3) << r->run.log;
}

TEST(E2E, FailedWaitSkipsOnlyThatCopy) {
    Job job;
    job.copies = "2";
    job.scenario.fail(vt58::Site::StatusReply, 2, vt58::Fault::TransferError);
    job.pages = {labelPage(576, 48, 12)};
    auto r = runJob(job);
    ASSERT_TRUE(r);
    EXPECT_EQ(frameKinds(r->record), "SSSPP");
    ASSERT_EQ(r->record.pages.size(), 1u);
    EXPECT_EQ(r->record.pages[0].copyNumber, 2);
    EXPECT_TRUE(r->record.pages[0].data == expectedPage(job.pages[0], {}, kHead300));
    EXPECT_EQ(r->end, 0) << r->run.log;
}

TEST(E2E, FailedWriteOrShortReplyGivesResult1) {
    struct Case {
        vt58::Site site;
        int index;
        vt58::Fault fault;
    };
    // Write 3 is the first print frame; print reply 1 answers it.
    for (const Case& c : {Case{vt58::Site::Write, 3, vt58::Fault::TransferError},
                          Case{vt58::Site::Write, 3, vt58::Fault::Short},
                          Case{vt58::Site::PrintReply, 1, vt58::Fault::Short}}) {
        SCOPED_TRACE(std::string(vt58::name(c.fault)) + " at " + std::to_string(c.index));
        Job job;
        job.copies = "2";
        job.scenario.fail(c.site, c.index, c.fault);
        job.pages = {labelPage(576, 48, 13)};
        auto r = runJob(job);
        ASSERT_TRUE(r);
        EXPECT_EQ(framesOf(r->record).size(), c.site == vt58::Site::PrintReply ? 1u : 0u);
        EXPECT_EQ(r->end, 1) << r->run.log;
    }
}

TEST(E2E, TimedOutTransfers) {
    // No reply to the first print frame: the read gives up after 2 s, the page ends with 1.
    Job silent;
    silent.scenario.fail(vt58::Site::PrintReply, 1, vt58::Fault::Timeout);
    silent.pages = {labelPage(576, 48, 15)};
    auto r = runJob(silent);
    ASSERT_TRUE(r);
    EXPECT_EQ(frameKinds(r->record), "SSP");
    EXPECT_GE(r->run.seconds, 1.9);
    EXPECT_EQ(r->end, 1) << r->run.log;

    // No reply to the head query: the link is opened again 3 s later and the page prints.
    Job late;
    late.scenario.fail(vt58::Site::StatusReply, 1, vt58::Fault::Timeout);
    late.pages = {labelPage(576, 48, 16)};
    auto l = runJob(late);
    ASSERT_TRUE(l);
    EXPECT_EQ(frameKinds(l->record), "SSSPP");
    EXPECT_GE(l->run.seconds, 4.9);
    expectPrinted(l->record, {expectedPage(late.pages[0], {}, kHead300)}, 1, kHead300);
    EXPECT_EQ(l->end, 0) << l->run.log;
}

TEST(E2E, FailedFreePollAfterABlockGivesResult2) {
    Job job;
    job.scenario.refusePrint(1);
    job.scenario.fail(vt58::Site::StatusReply, 3, vt58::Fault::TransferError);
    job.pages = {labelPage(576, 48, 14)};
    auto r = runJob(job);
    ASSERT_TRUE(r);
    EXPECT_EQ(frameKinds(r->record), "SSPS");
    EXPECT_EQ(r->end, 2) << r->run.log;
}

// ---- Whole jobs ---------------------------------------------------------------------------

TEST(E2E, CancelDuringPage3Of5FinishesPage3Only) {
    Job job;
    job.copies = "2";
    for (uint32_t p = 0; p < 5; ++p) {
        job.pages.push_back(labelPage(576, 48, 20 + p));
    }
    // Page 3's frames are answered slowly, so the cancel lands while it is under way.
    job.scenario.hook = [](const vt58::FrameRecord& f, vt58::Reply&) {
        if (f.kind == vt58::FrameKind::Print && f.kindIndex > 8 && f.kindIndex <= 12) {
            std::this_thread::sleep_for(150ms);
        }
    };
    job.termWhen = [](const vt58::VirtualT58& vt) {
        auto rec = vt.record();
        return framesOf(rec).size() >= 9;
    };
    auto r = runJob(job);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->run.sigtermSent);
    std::vector<std::vector<uint8_t>> want;
    for (int p = 0; p < 3; ++p) {
        want.push_back(expectedPage(job.pages[p], {}, kHead300));
    }
    expectPrinted(r->record, want, 2, kHead300);
    EXPECT_EQ(framesOf(r->record).size(), 12u);
    EXPECT_EQ(countOf(r->run.log, "tarvik_backend: Print, w = "), 3u) << r->run.log;
    const size_t cancel = r->run.log.find("tarvik_backend: cancel_job\n");
    const size_t end = r->run.log.find("tarvik_backend: end, return = 0, ");
    ASSERT_NE(cancel, std::string::npos) << r->run.log;
    ASSERT_NE(end, std::string::npos) << r->run.log;
    EXPECT_LT(cancel, end);
}

TEST(E2E, CancelEndsAJobOnAPrinterThatNeverGetsReady) {
    Job job;
    job.copies = "2";
    job.scenario.notReady(vt58::kForever, 0x01, 2); // every wait after the head query
    job.pages = {labelPage(576, 48, 25), labelPage(576, 48, 26)};
    job.termWhen = [](const vt58::VirtualT58& vt) { return vt.frameCount() >= 4; };
    auto r = runJob(job);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->run.sigtermSent);
    EXPECT_TRUE(framesOf(r->record).empty());
    // Both copies of page 1 are given up after one more status each; page 2 is not read.
    EXPECT_EQ(countOf(r->run.log, "tarvik_backend: Print, w = "), 1u) << r->run.log;
    EXPECT_EQ(r->end, 0) << r->run.log;
}

TEST(E2E, MultiPageJobWithRotationOffsetsAndTemplate) {
    struct Case {
        Head head;
        Options options;
        uint32_t w, h;
    };
    Options downRight{.rotation = 1,
                      .xDir = 0,
                      .xValue = 2,
                      .yDir = 0,
                      .yValue = 3,
                      .templateCM = 4,
                      .templateMM = 0};
    Options upLeft{.rotation = 3,
                   .xDir = 1,
                   .xValue = 3,
                   .yDir = 1,
                   .yValue = 2,
                   .templateCM = 3,
                   .templateMM = 5};
    Options halfTurnShort{.rotation = 2,
                          .xDir = 0,
                          .xValue = 1,
                          .yDir = 0,
                          .yValue = 0,
                          .templateCM = 1,
                          .templateMM = 0};
    for (const Case& c : {Case{kHead300, downRight, 400, 300}, Case{kHead203, upLeft, 300, 500},
                          Case{kHead300, halfTurnShort, 640, 200}}) {
        SCOPED_TRACE("rotation " + std::to_string(c.options.rotation) + " on " +
                     std::to_string(c.head.dpi));
        Job job;
        job.copies = "2";
        job.ppd = ppdFor(c.options);
        job.scenario.headByte = c.head.headByte;
        std::vector<std::vector<uint8_t>> want;
        for (uint32_t p = 0; p < 3; ++p) {
            job.pages.push_back(labelPage(c.w, c.h + 8 * p, 30 + p));
            want.push_back(expectedPage(job.pages.back(), c.options, c.head));
        }
        auto r = runJob(job);
        ASSERT_TRUE(r);
        expectPrinted(r->record, want, 2, c.head);
        EXPECT_EQ(r->end, 0) << r->run.log;
    }
}

// The device URI's serial picks the printer: named first on the bus, the job is the same
// byte for byte as without a serial; named second, every label goes to that printer.
TEST(EndToEnd, TheDeviceUrisSerialPicksThePrinter) {
    Job job;
    job.pages = {tsupport::randomPage(384, 100, 5)};
    job.copies = "2";
    job.scenario.layout = vt58::Layout::TwoPrinters;
    const auto plain = runJob(job);
    job.env = {{"DEVICE_URI", "tarvik://T58?serial=VT58-0001"}};
    const auto first = runJob(job);
    job.env = {{"DEVICE_URI", "tarvik://T58?serial=VT58%2D0002"}};
    const auto second = runJob(job);
    ASSERT_TRUE(plain && first && second);
    // The logs differ only in the spool folder's name.
    const auto fromSpool = [](const std::string& log) {
        return log.substr(log.find("tarvik_backend: RasterFile"));
    };
    EXPECT_EQ(fromSpool(first->run.log), fromSpool(plain->run.log));
    EXPECT_EQ(first->pageDump, plain->pageDump);
    ASSERT_EQ(first->record.frames.size(), plain->record.frames.size());
    for (size_t i = 0; i < plain->record.frames.size(); ++i) {
        EXPECT_EQ(first->record.frames[i].device, 0);
        EXPECT_EQ(first->record.frames[i].bytes, plain->record.frames[i].bytes) << i;
    }
    ASSERT_EQ(second->record.pages.size(), 2u);
    for (const vt58::PrintedPage& p : second->record.pages) {
        EXPECT_EQ(p.device, 1);
        EXPECT_TRUE(p.complete);
    }
    EXPECT_EQ(second->record.pages[0].data, plain->record.pages[0].data);
}

} // namespace
