// The virtual T58's printer logic without a bus: frame checks, scripted replies, block
// decoding and page reassembly, and the scenario format.

#include "tests/vt58/frames.h"
#include "vt58/internal.h"

#include <gtest/gtest.h>

#include <numeric>

using namespace vt58;
using namespace vt58::detail;
using vt58test::BlockSpec;

namespace {

const Head kHead300{72, 24};
const Head kHead203{48, 36};

std::vector<std::string> problemsOf(const std::vector<uint8_t>& f, FrameKind& kind) {
    std::vector<std::string> p;
    kind = classifyFrame(f, p);
    return p;
}

bool mentions(const std::vector<std::string>& problems, const std::string& word) {
    for (const std::string& p : problems)
        if (p.find(word) != std::string::npos)
            return true;
    return false;
}

struct Assembly {
    PageAssembler assembler;
    std::vector<PrintedPage> done;
    std::vector<std::string> problems;
    int taken = 0;

    void send(const std::vector<uint8_t>& f, const Head& head, bool take = true) {
        bool t = false;
        auto p = assembler.block(f, head, take, 0, Clock::now(), done, t);
        problems.insert(problems.end(), p.begin(), p.end());
        taken += t;
    }
};

} // namespace

TEST(Vt58Frames, EnvelopeFaultsAreEachNamed) {
    FrameKind kind;
    EXPECT_TRUE(problemsOf(vt58test::statusFrame(), kind).empty());
    EXPECT_EQ(kind, FrameKind::Status);

    std::vector<uint8_t> f = vt58test::statusFrame();
    f[5] ^= 1;
    EXPECT_TRUE(mentions(problemsOf(f, kind), "checksum"));
    EXPECT_EQ(kind, FrameKind::Bad);

    f = vt58test::statusFrame();
    f[1] = 7; // length field no longer the bytes received (checksum kept right)
    f[5] = static_cast<uint8_t>(f[5] - 1);
    auto p = problemsOf(f, kind);
    EXPECT_TRUE(mentions(p, "length field 7"));
    EXPECT_FALSE(mentions(p, "checksum"));

    f = vt58test::frame(0x10, {0x00});
    f[0] = 0x67;
    f[5] = static_cast<uint8_t>(f[5] - 1);
    EXPECT_TRUE(mentions(problemsOf(f, kind), "start byte 0x67"));

    EXPECT_TRUE(mentions(problemsOf(vt58test::frame(0x42, {0}), kind), "unknown command 0x42"));
    EXPECT_TRUE(mentions(problemsOf(vt58test::frame(0x10, {0, 0}), kind), "7 bytes, not 6"));
    EXPECT_TRUE(mentions(problemsOf(vt58test::frame(0x10, {1}), kind), "payload 0x01"));
    EXPECT_TRUE(mentions(problemsOf({0x66, 4, 0}, kind), "shorter than the 5-byte envelope"));
    EXPECT_TRUE(mentions(problemsOf(vt58test::frame(0x1B, {0xE0, 0}), kind), "no room"));
}

TEST(Vt58Frames, RepliesFollowTheScript) {
    Scenario s;
    s.busy(2).jobStop(4, 1).refusePrint(2);
    s.headByte = 0;
    for (int i = 1; i <= 4; ++i) {
        std::vector<uint8_t> r = scriptedReply(s, FrameKind::Status, 0x10, i, i);
        ASSERT_EQ(r.size(), 64u);
        EXPECT_EQ(r[0], 0x66);
        EXPECT_EQ(r[1] | (r[2] << 8), 64);
        EXPECT_EQ(std::accumulate(r.begin(), r.end(), 0u) % 256, 0u);
        EXPECT_EQ(r[6], 0);
        EXPECT_EQ(r[4], i <= 2 ? 0x80 : 0x00) << i;
        EXPECT_EQ(r[35], i == 4 ? 0x60 : 0x00) << i;
    }
    // Refusals count print-data frames only.
    EXPECT_EQ(scriptedReply(s, FrameKind::Print, 0x1B, 1, 5)[4], 0x00);
    EXPECT_EQ(scriptedReply(s, FrameKind::Print, 0x1B, 2, 6)[4], 0x40);
    EXPECT_EQ(scriptedReply(s, FrameKind::Status, 0x10, 2, 7)[4] & 0x40, 0);

    s.replyLength = 13; // too short for byte 35: the job state cannot appear
    std::vector<uint8_t> r = scriptedReply(s, FrameKind::Status, 0x10, 4, 4);
    EXPECT_EQ(r.size(), 13u);
    EXPECT_EQ(std::accumulate(r.begin(), r.end(), 0u) % 256, 0u);
}

TEST(Vt58Frames, FaultRulesCountTheirSiteOnly) {
    Scenario s;
    s.fail(Site::StatusReply, 3, Fault::Timeout, 2).shortReply(Site::Read, 1, 12);
    EXPECT_EQ(faultAt(s, Site::StatusReply, 2), nullptr);
    ASSERT_NE(faultAt(s, Site::StatusReply, 3), nullptr);
    EXPECT_EQ(faultAt(s, Site::StatusReply, 4)->fault, Fault::Timeout);
    EXPECT_EQ(faultAt(s, Site::StatusReply, 5), nullptr);
    EXPECT_EQ(faultAt(s, Site::PrintReply, 3), nullptr);
    EXPECT_EQ(faultAt(s, Site::Read, 1)->shortLength, 12);
}

TEST(Vt58Pages, BlocksOfEitherHeadReassembleIntoThePage) {
    // 50 lines on the 300 dpi head: blocks of 24, 24 and 2 lines with 2, 1 and 0 to follow.
    std::vector<uint8_t> page = vt58test::randomPage(50, 72, 1);
    Assembly a;
    auto frames = vt58test::pageFrames(page, 72, 24, {});
    ASSERT_EQ(frames.size(), 3u);
    for (auto& f : frames)
        a.send(f, kHead300);
    EXPECT_TRUE(a.problems.empty()) << a.problems.front();
    ASSERT_EQ(a.done.size(), 1u);
    EXPECT_TRUE(a.done[0].complete);
    EXPECT_EQ(a.done[0].rows, 50);
    EXPECT_EQ(a.done[0].blocks, 3);
    EXPECT_EQ(a.done[0].data, page);

    // 36 lines on the 203 dpi head: one block.
    std::vector<uint8_t> small = vt58test::randomPage(36, 48, 2);
    a.send(vt58test::pageFrames(small, 48, 36, {})[0], kHead203);
    ASSERT_EQ(a.done.size(), 2u);
    EXPECT_EQ(a.done[1].data, small);
    EXPECT_EQ(a.done[1].rowBytes, 48);
}

TEST(Vt58Pages, MoreThan256BlocksEndByLinesNotByTheWrappedCounter) {
    // 300 blocks: the first says 43 to follow, and block 43 from the end says 0 (wrapped).
    std::vector<uint8_t> page = vt58test::randomPage(300 * 36 - 5, 48, 3);
    auto frames = vt58test::pageFrames(page, 48, 36, {});
    ASSERT_EQ(frames.size(), 300u);
    EXPECT_EQ(frames[0][15], 43);
    Assembly a;
    for (auto& f : frames)
        a.send(f, kHead203);
    EXPECT_TRUE(a.problems.empty());
    ASSERT_EQ(a.done.size(), 1u);
    EXPECT_TRUE(a.done[0].complete);
    EXPECT_EQ(a.done[0].data, page);
}

TEST(Vt58Pages, RefusedAndGivenUpBlocksAreNotTaken) {
    std::vector<uint8_t> page = vt58test::randomPage(72, 72, 4);
    auto frames = vt58test::pageFrames(page, 72, 24, {});
    Assembly a;
    a.send(frames[0], kHead300);
    a.send(frames[1], kHead300, false); // refused
    a.send(frames[1], kHead300);        // the resend
    a.send(frames[2], kHead300);
    ASSERT_EQ(a.done.size(), 1u);
    EXPECT_EQ(a.taken, 3);
    EXPECT_TRUE(a.done[0].complete);
    EXPECT_EQ(a.done[0].data, page);

    // Block 1 given up: the page ends incomplete with that block blank.
    a.send(frames[0], kHead300);
    a.send(frames[2], kHead300);
    ASSERT_EQ(a.done.size(), 2u);
    EXPECT_FALSE(a.done[1].complete);
    EXPECT_EQ(a.done[1].missingBlocks, std::vector<int>{1});
    EXPECT_TRUE(std::all_of(a.done[1].data.begin() + 24 * 72, a.done[1].data.begin() + 48 * 72,
                            [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(a.problems.empty());
}

TEST(Vt58Pages, CopiesAndStoppedPagesAreSeparatePages) {
    std::vector<uint8_t> page = vt58test::randomPage(48, 72, 5);
    BlockSpec spec;
    spec.copies = 2;
    spec.darkness = 0xE8;
    spec.cutter = 1;
    Assembly a;
    a.send(vt58test::pageFrames(page, 72, 24, spec)[0], kHead300); // copy 1 stops after a block
    spec.copyNumber = 2;
    for (auto& f : vt58test::pageFrames(page, 72, 24, spec))
        a.send(f, kHead300);
    ASSERT_EQ(a.done.size(), 2u);
    EXPECT_FALSE(a.done[0].complete);
    EXPECT_EQ(a.done[0].copyNumber, 1);
    EXPECT_TRUE(a.done[1].complete);
    EXPECT_EQ(a.done[1].copyNumber, 2);
    EXPECT_EQ(a.done[1].copies, 2);
    EXPECT_EQ(a.done[1].darkness, 0xE8);
    EXPECT_EQ(a.done[1].cutter, 1);
    EXPECT_TRUE(a.problems.empty());
}

TEST(Vt58Pages, HeaderInconsistenciesAreReported) {
    std::vector<uint8_t> block(24 * 72, 0x5A);
    auto problems = [&](BlockSpec s, size_t bytes, const Head& head) {
        Assembly a;
        a.send(vt58test::printFrame(s, std::span<const uint8_t>(block).first(bytes)), head);
        return a.problems;
    };
    BlockSpec good{0xE0, 0, 1, 1, 48, 24, 1};
    EXPECT_TRUE(problems(good, 24 * 72, kHead300).empty());
    BlockSpec s = good;
    s.toFollow = 5;
    EXPECT_TRUE(mentions(problems(s, 24 * 72, kHead300), "fits no block"));
    EXPECT_TRUE(mentions(problems(good, 23 * 72, kHead300), "decompresses to 1656 bytes"));
    EXPECT_TRUE(mentions(problems(good, 24 * 72, kHead203), "not 24 lines x 48"));
    s = good;
    s.darkness = 0x08;
    EXPECT_TRUE(mentions(problems(s, 24 * 72, kHead300), "darkness byte 0x08"));
    s = good;
    s.copyNumber = 0;
    EXPECT_TRUE(mentions(problems(s, 24 * 72, kHead300), "copy number 0"));
    s = good;
    s.blockLines = 36; // more than a 300 dpi block holds
    s.pageLines = 36;
    s.toFollow = 0;
    EXPECT_TRUE(mentions(problems(s, 24 * 72, kHead300), "not 1..24"));
    s = good;
    s.cutter = 9;
    EXPECT_TRUE(mentions(problems(s, 24 * 72, kHead300), "cutter byte 0x09"));

    // A block header followed by bytes that are no LZO1X stream.
    std::vector<uint8_t> f = vt58test::printFrame(good, block);
    std::vector<uint8_t> payload(f.begin() + 4, f.begin() + 17);
    for (uint8_t b : {0x11, 0xFF, 0xFF, 0xFF})
        payload.push_back(b);
    f = vt58test::frame(0x1B, payload);
    Assembly a;
    a.send(f, kHead300);
    EXPECT_FALSE(a.problems.empty());
    EXPECT_EQ(a.taken, 0);
}

TEST(Vt58Scenario, FileSetsTheScript) {
    Scenario s;
    std::string err;
    ASSERT_TRUE(parseScenario("# a printer that makes the backend work\n"
                              "layout two-bulk-in\n"
                              "kernel-driver\n"
                              "head 203\n"
                              "busy 3\n"
                              "not-ready 2 bits 0x05 from 4\n"
                              "job-wait 2\n"
                              "job-stop from 9\n"
                              "refuse print 2 for 3\n"
                              "fail status 5 timeout\n"
                              "fail read 2 short 12\n"
                              "fail print 1 vanish back-after-ms 300\n"
                              "byte4 0x01 on print from 2 for 1\n"
                              "reply-length 40   # trailing comment\n"
                              "serial ABC-1\n",
                              s, err))
        << err;
    EXPECT_EQ(s.layout, Layout::TwoBulkIn);
    EXPECT_TRUE(s.kernelDriver);
    EXPECT_EQ(s.headByte, 0);
    EXPECT_EQ(s.replyLength, 40);
    EXPECT_EQ(s.serial, "ABC-1");
    ASSERT_EQ(s.rules.size(), 6u);
    EXPECT_EQ(s.rules[1].byte4, 0x05);
    EXPECT_EQ(s.rules[1].first, 4);
    EXPECT_EQ(s.rules[3].count, kForever);
    EXPECT_EQ(s.rules[4].count, 3);
    EXPECT_EQ(s.rules[5].on, Match::Print);
    ASSERT_EQ(s.faults.size(), 3u);
    EXPECT_EQ(s.faults[0].fault, Fault::Timeout);
    EXPECT_EQ(s.faults[1].shortLength, 12);
    EXPECT_EQ(s.faults[2].backAfterMs, 300);

    Scenario raw;
    ASSERT_TRUE(parseScenario("head 6\n", raw, err));
    EXPECT_EQ(raw.headByte, 6);
}

TEST(Vt58Scenario, PrinterSectionsSetEachPrinter) {
    Scenario s;
    std::string err;
    ASSERT_TRUE(parseScenario("layout others-first\n"
                              "busy 2          # every printer starts from these lines\n"
                              "printer BENCH-1\n"
                              "head 203\n"
                              "fail status 3 vanish\n"
                              "printer\n"
                              "reply-length 40\n"
                              "kernel-driver\n"
                              "unplugged\n"
                              "plug-in-at-ms 300\n"
                              "unplug-at-ms 900\n",
                              s, err))
        << err;
    EXPECT_EQ(s.layout, Layout::OthersFirst);
    ASSERT_EQ(s.printers.size(), 2u);
    PrinterSetup a = s.printerSetup(0), b = s.printerSetup(1);
    EXPECT_EQ(a.serial, "BENCH-1");
    EXPECT_EQ(a.headByte, 0);
    EXPECT_EQ(a.rules.size(), 1u);
    ASSERT_EQ(a.faults.size(), 1u);
    EXPECT_FALSE(a.unplugged);
    EXPECT_EQ(b.serial, "VT58-0002"); // by position
    EXPECT_EQ(b.headByte, 1);
    EXPECT_EQ(b.replyLength, 40);
    EXPECT_EQ(b.rules.size(), 1u);
    EXPECT_TRUE(b.faults.empty());
    EXPECT_TRUE(b.kernelDriver);
    EXPECT_TRUE(b.unplugged);
    EXPECT_EQ(b.plugInAtMs, 300);
    EXPECT_EQ(b.unplugAtMs, 900);
    EXPECT_EQ(a.plugInAtMs, -1);

    Scenario late, stray, nine;
    EXPECT_FALSE(parseScenario("printer A\nlayout two-printers\n", late, err));
    EXPECT_EQ(err, "line 2: the layout goes before the first printer line");
    EXPECT_FALSE(parseScenario("unplugged\n", stray, err));
    EXPECT_FALSE(parseScenario("plug-in-at-ms 5\n", stray, err));
    std::string text;
    for (int i = 0; i <= kMaxPrinters; ++i)
        text += "printer\n";
    EXPECT_FALSE(parseScenario(text, nine, err));
    EXPECT_EQ(err, "line 9: at most 8 printers on a bus");
}

TEST(Vt58Scenario, MistakesNameTheirLine) {
    Scenario s;
    std::string err;
    EXPECT_FALSE(parseScenario("head 300\nbusy\n", s, err));
    EXPECT_EQ(err, "line 2: a number is missing after \"busy\"");
    EXPECT_FALSE(parseScenario("layout moon\n", s, err));
    EXPECT_EQ(err, "line 1: unknown layout");
    EXPECT_FALSE(parseScenario("\n\nfail status 0 timeout\n", s, err));
    EXPECT_EQ(err.substr(0, 7), "line 3:");
    EXPECT_FALSE(parseScenario("busy 2 3\n", s, err));
    EXPECT_EQ(err, "line 1: unexpected \"3\"");
    EXPECT_FALSE(parseScenario("reply-length 100\n", s, err));
    EXPECT_FALSE(parseScenario("jump 3\n", s, err));
    EXPECT_EQ(err, "line 1: unknown directive \"jump\"");
}
