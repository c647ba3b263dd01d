// The printer link against the virtual T58: device search, claim, head query, status polls,
// and what one initialisation leaves behind. The link calls run in link_probe (or the
// backend itself) as a child under umockdev, with a private /dev/shm.
#include "backend/spool_path.h"
#include "tests/support/job.h"
#include "tests/support/support.h"
#include "vt58/vt58.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {

using namespace std::chrono_literals;
using tjob::framesOf;
using tsupport::countOf;

struct ProbeRun {
    tsupport::RunResult run;
    vt58::Record record;
};

vt58::Scenario onBus(vt58::Layout layout) {
    vt58::Scenario sc;
    sc.layout = layout;
    return sc;
}

vt58::ReplyRule statusRule(int first, int count, uint8_t byte4, int jobState = -1) {
    vt58::ReplyRule rule;
    rule.on = vt58::Match::Status;
    rule.first = first;
    rule.count = count;
    rule.byte4 = byte4;
    rule.jobState = jobState;
    return rule;
}

using TermWhen = std::function<bool(const vt58::VirtualT58&)>;

std::optional<ProbeRun> runProbe(vt58::Scenario scenario, std::vector<std::string> args,
                                 TermWhen termWhen = {}) {
    vt58::VirtualT58 vt(std::move(scenario));
    if (!vt.ok()) {
        ADD_FAILURE() << "virtual T58: " << vt.setupError();
        return std::nullopt;
    }
    tsupport::TempDir shm("link-shm");
    tsupport::RunOptions options;
    options.exe = tsupport::binPath("link_probe");
    options.args = std::move(args);
    options.env = vt.withChildEnv(tsupport::withSanitizerOptions({}));
    options.shmDir = shm.path();
    options.timeout = 60s;
    if (termWhen) {
        options.sigtermWhen = [&] { return termWhen(vt); };
    }
    ProbeRun result{tsupport::runBackend(options), vt.record()};
    EXPECT_EQ(result.run.exitStatus, 0) << result.run.out << result.run.log;
    // In a sanitizer build a leak or a fault shows in the log.
    EXPECT_EQ(countOf(result.run.log, "Sanitizer"), 0u) << result.run.log;
    EXPECT_FALSE(result.run.timedOut);
    return result;
}

size_t eventCount(const vt58::Record& record, vt58::UsbEventKind kind) {
    return std::count_if(record.events.begin(), record.events.end(),
                         [&](const vt58::UsbEvent& e) { return e.kind == kind; });
}

// Interfaces released by the program itself (the emulator also notes the release that a
// close of the node implies, with value 1).
size_t releases(const vt58::Record& record) {
    return std::count_if(record.events.begin(), record.events.end(), [](const vt58::UsbEvent& e) {
        return e.kind == vt58::UsbEventKind::Release && e.value == 0;
    });
}

// Shortest gap between consecutive status requests from index `from` (0-based) on.
std::chrono::milliseconds shortestGap(const std::vector<vt58::FrameRecord>& frames, size_t from) {
    auto gap = std::chrono::milliseconds::max();
    for (size_t i = from + 1; i < frames.size(); ++i) {
        gap = std::min(gap, std::chrono::duration_cast<std::chrono::milliseconds>(
                                frames[i].at - frames[i - 1].at));
    }
    return gap;
}

const std::string kInit300 = "init 0 geometry 300 300 72 24 endpoints 81 02 interface 0\n";
const std::string kInitFailed = "init 1 geometry 300 300 72 24";

// ---- Device search, endpoints, claim ----------------------------------------------------

TEST(LinkSearch, FindsClaimsAndLearnsEachHead) {
    struct Case {
        uint8_t headByte;
        const char* line;
    };
    for (const Case& c : {Case{0, "init 0 geometry 203 203 48 36 endpoints 81 02 interface 0\n"},
                          Case{1, kInit300.c_str()}, Case{0x09, kInit300.c_str()}}) {
        vt58::Scenario sc;
        sc.headByte = c.headByte;
        auto r = runProbe(sc, {"init"});
        ASSERT_TRUE(r);
        EXPECT_EQ(r->run.out, c.line) << "head byte " << int(c.headByte);
        EXPECT_EQ(r->run.log, "PID:a4b6 VID:0525\n");
        // One status request; the interface claimed and released, the node closed.
        ASSERT_EQ(r->record.frames.size(), 1u);
        EXPECT_EQ(r->record.frames[0].bytes,
                  (std::vector<uint8_t>{0x66, 0x06, 0x00, 0x10, 0x00, 0x84}));
        EXPECT_EQ(eventCount(r->record, vt58::UsbEventKind::Claim), 1u);
        EXPECT_EQ(releases(r->record), 1u);
        EXPECT_EQ(eventCount(r->record, vt58::UsbEventKind::Close), 1u);
    }
}

TEST(LinkSearch, UnsupportedHeadFailsAndKeepsTheGeometry) {
    // First query: the 203 dpi head; second: type 2, which must leave 203 dpi in place.
    vt58::Scenario sc;
    sc.headByte = 0;
    int statusSeen = 0;
    sc.hook = [&statusSeen](const vt58::FrameRecord& f, vt58::Reply& reply) {
        if (f.kind == vt58::FrameKind::Status && ++statusSeen >= 2 && reply.bytes.size() > 6) {
            reply.bytes[6] = 0x02;
        }
    };
    auto r = runProbe(sc, {"twice"});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->run.out, "init 0 geometry 203 203 48 36 endpoints 81 02 interface 0\n"
                          "init 1 geometry 203 203 48 36 endpoints 81 02 interface 0\n");
    EXPECT_EQ(framesOf(r->record).size(), 0u);
}

TEST(LinkSearch, OtherDevicesAreLoggedAndPassedOver) {
    auto r = runProbe(onBus(vt58::Layout::OthersFirst), {"init"});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->run.out, kInit300);
    EXPECT_EQ(countOf(r->run.log, "PID:"), 3u);
    EXPECT_TRUE(r->run.log.ends_with("PID:a4b6 VID:0525\n")) << r->run.log;
}

TEST(LinkSearch, NoPrinterOrEmptyBusFailsWithoutReadingConfigurations) {
    auto others = runProbe(onBus(vt58::Layout::OthersOnly), {"init"});
    ASSERT_TRUE(others);
    EXPECT_TRUE(others->run.out.starts_with(kInitFailed)) << others->run.out;
    EXPECT_EQ(countOf(others->run.log, "PID:"), 2u);
    EXPECT_EQ(countOf(others->run.log, "PID:a4b6"), 0u);
    EXPECT_TRUE(others->run.log.ends_with("*** initial USB lib failed! \n")) << others->run.log;
    EXPECT_EQ(countOf(others->run.log, "libusb_get_config_descriptor"), 0u);

    auto empty = runProbe(onBus(vt58::Layout::NoDevice), {"init"});
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->run.out.starts_with(kInitFailed)) << empty->run.out;
    EXPECT_EQ(empty->run.log, "*** initial USB lib failed! \n");
}

TEST(LinkSearch, PrinterInterfaceNeedsBulkInAndBulkOut) {
    for (vt58::Layout layout : {vt58::Layout::MissingOut, vt58::Layout::MissingIn}) {
        auto r = runProbe(onBus(layout), {"init"});
        ASSERT_TRUE(r);
        EXPECT_TRUE(r->run.out.starts_with("init 1 ")) << r->run.out;
        EXPECT_EQ(r->run.log, "PID:a4b6 VID:0525\n*** initial USB lib failed! \n");
        EXPECT_EQ(eventCount(r->record, vt58::UsbEventKind::Claim), 0u);
        EXPECT_TRUE(r->record.frames.empty());
    }
}

TEST(LinkSearch, EndpointChoice) {
    struct Case {
        vt58::Layout layout;
        const char* line;
    };
    for (const Case& c : {Case{vt58::Layout::InterruptEndpoints, kInit300.c_str()},
                          Case{vt58::Layout::TwoBulkIn,
                               "init 0 geometry 300 300 72 24 endpoints 83 02 interface 0\n"},
                          Case{vt58::Layout::SecondInterface,
                               "init 0 geometry 300 300 72 24 endpoints 81 02 interface 1\n"}}) {
        auto r = runProbe(onBus(c.layout), {"free"});
        ASSERT_TRUE(r);
        EXPECT_EQ(r->run.out, std::string(c.line) + "t58IsFree .....\nfree 0\n");
        EXPECT_TRUE(r->record.errors.empty()) << vt58::dumpRecord(r->record);
        for (const auto& reply : r->record.replies) {
            EXPECT_EQ(reply.endpoint, c.layout == vt58::Layout::TwoBulkIn ? 0x83 : 0x81);
        }
    }
}

TEST(LinkSearch, FirstOfTwoPrintersIsUsed) {
    auto r = runProbe(onBus(vt58::Layout::TwoPrinters), {"free"});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->run.out, kInit300 + "t58IsFree .....\nfree 0\n");
    EXPECT_EQ(countOf(r->run.log, "PID:a4b6 VID:0525\n"), 1u); // the walk ends at the first
    ASSERT_EQ(r->record.frames.size(), 2u);
    for (const auto& f : r->record.frames) {
        EXPECT_EQ(f.device, 0);
    }
}

TEST(LinkSearch, KernelDriverIsDetachedBeforeTheClaim) {
    auto r = runProbe(onBus(vt58::Layout::KernelDriver), {"init"});
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->run.out.starts_with("USB Kernel Driver Active \n")) << r->run.out;
    EXPECT_TRUE(r->run.out.ends_with(kInit300)) << r->run.out;
    EXPECT_EQ(countOf(r->run.log, "libusb_claim_interface failed"), 0u);
    EXPECT_EQ(eventCount(r->record, vt58::UsbEventKind::ClaimBusy), 1u);
    EXPECT_EQ(eventCount(r->record, vt58::UsbEventKind::Detach), 1u);
    EXPECT_EQ(eventCount(r->record, vt58::UsbEventKind::Claim), 1u);
}

// ---- Status replies and polls -----------------------------------------------------------

TEST(LinkStatus, ReplyOfTwelveBytesFailsThirteenPass) {
    for (int length : {12, 13}) {
        vt58::Scenario sc;
        sc.replyLength = length;
        auto r = runProbe(sc, {"init"});
        ASSERT_TRUE(r);
        EXPECT_TRUE(r->run.out.starts_with(length == 12 ? "init 1 " : "init 0 ")) << r->run.out;
        // A failed head query closes what it opened.
        EXPECT_EQ(eventCount(r->record, vt58::UsbEventKind::Claim), releases(r->record));
    }
}

TEST(LinkStatus, FreePollWaitsOutBusyAndNotReady) {
    // Status request 1 is the head query; 2..4 report busy (0x80) with not-ready bit 0.
    vt58::Scenario sc;
    sc.rules.push_back(statusRule(2, 3, 0x81));
    auto r = runProbe(sc, {"free"});
    ASSERT_TRUE(r);
    std::string busy = "t58IsFree .....\nt58IsFree .....1   1\n";
    EXPECT_EQ(r->run.out, kInit300 + busy + busy + busy + "t58IsFree .....\nfree 0\n");
    auto status = framesOf(r->record, vt58::FrameKind::Status);
    ASSERT_EQ(status.size(), 5u);
    EXPECT_GE(shortestGap(status, 1), 50ms);
}

TEST(LinkStatus, FreePollIgnoresRefusalBitAndJobState) {
    vt58::Scenario sc;
    sc.baseByte4 = 0x40;
    sc.baseJobState = 0x60;
    auto r = runProbe(sc, {"free"});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->run.out, kInit300 + "t58IsFree .....\nfree 0\n");
}

TEST(LinkStatus, ReadyWaitPollsUntilACopyMayStart) {
    vt58::Scenario sc;
    sc.notReady(2, 0x01, 2).jobWait(2, 4); // 2, 3 not ready; 4, 5 job state 0x20
    auto r = runProbe(sc, {"wait"});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->run.out, kInit300 + "wait 0\n"); // the wait writes no line
    auto status = framesOf(r->record, vt58::FrameKind::Status);
    ASSERT_EQ(status.size(), 6u);
    EXPECT_GE(shortestGap(status, 1), 200ms);
}

TEST(LinkStatus, ReadyWaitTakesJobState40AndRefusalBit) {
    vt58::Scenario sc;
    sc.baseByte4 = 0x40;
    sc.baseJobState = 0x40;
    auto r = runProbe(sc, {"wait"});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->run.out, kInit300 + "wait 0\n");
    EXPECT_EQ(framesOf(r->record, vt58::FrameKind::Status).size(), 2u);
}

TEST(LinkStatus, JobState60StopsTheWaitWhateverByte4Says) {
    vt58::Scenario sc;
    sc.rules.push_back(statusRule(2, vt58::kForever, 0x01, 0x60));
    auto r = runProbe(sc, {"wait"});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->run.out, kInit300 + "wait -99\n");
    EXPECT_EQ(framesOf(r->record, vt58::FrameKind::Status).size(), 2u);
}

TEST(LinkStatus, ShortReplyDoesNotReuseAnEarlierJobState) {
    // Request 2 answers "wait" (job state 0x20) in full; request 3 answers in 20 bytes, so
    // byte 35 is not in it and must not be the 0x20 of the reply before.
    vt58::Scenario sc;
    sc.jobWait(1, 2).shortReply(vt58::Site::StatusReply, 3, 20);
    auto r = runProbe(sc, {"wait"});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->run.out, kInit300 + "wait 0\n");
    EXPECT_EQ(framesOf(r->record, vt58::FrameKind::Status).size(), 3u);
}

TEST(LinkStatus, FailedExchangeEndsThePolls) {
    for (const char* what : {"free", "wait"}) {
        vt58::Scenario sc;
        sc.busy(vt58::kForever, 2).fail(vt58::Site::StatusReply, 4, vt58::Fault::TransferError);
        auto r = runProbe(sc, {what});
        ASSERT_TRUE(r);
        EXPECT_TRUE(r->run.out.ends_with(std::string(what) + " -1\n")) << r->run.out;
        EXPECT_EQ(framesOf(r->record, vt58::FrameKind::Status).size(), 4u);
    }
}

TEST(LinkStatus, CancelEndsAPollOnAPrinterThatNeverGetsReady) {
    for (const char* what : {"free", "wait"}) {
        vt58::Scenario sc;
        sc.busy(vt58::kForever, 2);
        auto r = runProbe(sc, {what}, [](const vt58::VirtualT58& vt) {
            return vt.frameCount() >= 4; // polling for a while already
        });
        ASSERT_TRUE(r);
        EXPECT_TRUE(r->run.sigtermSent);
        EXPECT_TRUE(r->run.out.ends_with(std::string(what) + " -1\n")) << r->run.out;
        EXPECT_EQ(countOf(r->run.log, "tarvik_backend: cancel_job\n"), 1u);
        // The link is still closed properly after the cancelled poll.
        EXPECT_EQ(releases(r->record), 1u);
    }
}

// ---- What one initialisation leaves behind ----------------------------------------------

TEST(LinkResources, ManyPagesDoNotGrowDescriptorsOrMemory) {
    auto r = runProbe({}, {"cycle", "300"});
    ASSERT_TRUE(r);
    int ok = 0, fdsBefore = 0, fdsAfter = 0;
    long rssBefore = 0, rssAfter = 0;
    ASSERT_EQ(std::sscanf(r->run.out.c_str(), "rounds ok %d fds %d %d rss %ld %ld", &ok, &fdsBefore,
                          &fdsAfter, &rssBefore, &rssAfter),
              5)
        << r->run.out;
    EXPECT_EQ(ok, 305);
    EXPECT_EQ(fdsAfter, fdsBefore) << r->run.out;
    EXPECT_LT(rssAfter - rssBefore, 1024) << "KiB grown over 300 pages";
    EXPECT_EQ(eventCount(r->record, vt58::UsbEventKind::Open), 305u);
    EXPECT_EQ(releases(r->record), 305u);
    EXPECT_EQ(eventCount(r->record, vt58::UsbEventKind::Close), 305u);
}

TEST(LinkResources, FailedAttemptsLeaveNothingOpen) {
    vt58::Scenario unsupportedHead;
    unsupportedHead.headByte = 2; // fails after the claim
    for (const vt58::Scenario& sc :
         {unsupportedHead, onBus(vt58::Layout::NoDevice), onBus(vt58::Layout::MissingOut)}) {
        auto r = runProbe(sc, {"retry", "300"});
        ASSERT_TRUE(r);
        int ok = -1, fdsBefore = 0, fdsAfter = 0;
        long rssBefore = 0, rssAfter = 0;
        ASSERT_EQ(std::sscanf(r->run.out.c_str(), "rounds ok %d fds %d %d rss %ld %ld", &ok,
                              &fdsBefore, &fdsAfter, &rssBefore, &rssAfter),
                  5)
            << r->run.out;
        EXPECT_EQ(ok, 0);
        EXPECT_EQ(fdsAfter, fdsBefore) << r->run.out;
        EXPECT_LT(rssAfter - rssBefore, 1024) << "KiB grown over 300 failed attempts";
        EXPECT_EQ(eventCount(r->record, vt58::UsbEventKind::Claim), releases(r->record));
        EXPECT_EQ(eventCount(r->record, vt58::UsbEventKind::Open),
                  eventCount(r->record, vt58::UsbEventKind::Close));
    }
}

// ---- The backend with no printer -------------------------------------------------------

TEST(LinkBackend, NoPrinterRetriesEveryThreeSecondsUntilCancelled) {
    vt58::VirtualT58 vt(onBus(vt58::Layout::OthersOnly));
    ASSERT_TRUE(vt.ok()) << vt.setupError();
    tsupport::TempDir shm("link-shm");
    tsupport::TempDir spool("link-spool");
    ASSERT_TRUE(tsupport::writeRaster(
        spoolPath(spool.path(), 7),
        {tsupport::makePage(576, 40, [](uint32_t x, uint32_t y) { return (x + y) % 5 == 0; })}));
    tsupport::RunOptions options;
    options.exe = tsupport::binPath("tarvik");
    options.args = tsupport::jobArgs(7, "1");
    options.env = vt.withChildEnv(tsupport::withSanitizerOptions({{"TMPDIR", spool.path()}}));
    options.shmDir = shm.path();
    const auto start = vt58::Clock::now();
    options.sigtermWhen = [&] { return vt58::Clock::now() - start > 7500ms; };
    tsupport::RunResult run = tsupport::runBackend(options);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_TRUE(run.sigtermSent);
    // Attempts at about 0, 3 and 6 s; none reaches the printer, none sends a frame.
    EXPECT_EQ(countOf(run.log, "*** initial USB lib failed! \n"), 3u) << run.log;
    EXPECT_EQ(countOf(run.log, "PID:"), 6u);
    EXPECT_EQ(vt.frameCount(), 0u);
    const size_t cancel = run.log.find("tarvik_backend: cancel_job\n");
    const size_t end = run.log.find("tarvik_backend: end, return = 0, fd = ");
    ASSERT_NE(cancel, std::string::npos) << run.log;
    ASSERT_NE(end, std::string::npos) << run.log;
    EXPECT_LT(cancel, end);
}

} // namespace
