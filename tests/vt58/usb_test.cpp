// The virtual T58 on the bus: a libusb client runs as a child under umockdev's preload and
// the tests check what it saw against what the emulator recorded.

#include "tests/vt58/frames.h"
#include "vt58/vt58.h"

#include <gtest/gtest.h>

#include <libusb-1.0/libusb.h>
#include <png.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

using namespace vt58;

namespace {

struct ClientRun {
    int status = -1;
    std::vector<std::string> lines;

    // The first line starting with prefix, from the n-th such line on (0-based).
    std::string line(const std::string& prefix, int nth = 0) const {
        for (const std::string& l : lines)
            if (l.rfind(prefix, 0) == 0 && nth-- == 0)
                return l;
        return {};
    }
    std::vector<std::string> all(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const std::string& l : lines)
            if (l.rfind(prefix, 0) == 0)
                out.push_back(l);
        return out;
    }
};

ClientRun runClient(const VirtualT58& printer, std::vector<std::string> steps) {
    steps.insert(steps.begin(), VT58_CLIENT);
    std::string out;
    ClientRun r;
    r.status =
        runCommand(steps, printer.withChildEnv(currentEnv()), std::chrono::seconds(30), &out);
    printer.waitClosed();
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);)
        r.lines.push_back(l);
    return r;
}

// Steps that claim interface 0 of the first T58 and exchange the given frames, each a write
// to 0x02 and a read of 64 bytes from 0x81.
std::vector<std::string> exchange(const std::vector<std::vector<uint8_t>>& frames,
                                  std::vector<std::string> before = {}) {
    std::vector<std::string> steps{"open", "claim", "0"};
    steps.insert(steps.end(), before.begin(), before.end());
    for (const auto& f : frames) {
        steps.insert(steps.end(), {"write", "02", vt58test::hex(f), "read", "81", "64"});
    }
    steps.insert(steps.end(), {"release", "0", "close"});
    return steps;
}

std::vector<UsbEventKind> kindsOf(const std::vector<UsbEvent>& events) {
    std::vector<UsbEventKind> k;
    for (const UsbEvent& e : events)
        if (e.kind != UsbEventKind::Control)
            k.push_back(e.kind);
    return k;
}

std::string readData(const std::string& line) {
    size_t at = line.find(" data ");
    return at == std::string::npos ? std::string() : line.substr(at + 6);
}

std::vector<uint8_t> unhex(const std::string& s) {
    std::vector<uint8_t> b;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        b.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
    return b;
}

const auto kStatus = vt58test::statusFrame();

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

} // namespace

TEST(Vt58Bus, EachLayoutEnumeratesAsDescribed) {
    struct Case {
        Layout layout;
        int count;
        int printerAt; // index of the first T58 in libusb's list
        std::string printerLine;
    };
    const Case cases[] = {
        {Layout::T58, 1, 0, "  interface 0 class 7 ep 81/2 ep 02/2"},
        {Layout::OthersFirst, 3, 2, "  interface 0 class 7 ep 81/2 ep 02/2"},
        {Layout::OthersOnly, 2, -1, ""},
        {Layout::NoDevice, 0, -1, ""},
        {Layout::TwoPrinters, 2, 0, "  interface 0 class 7 ep 81/2 ep 02/2"},
        {Layout::MissingOut, 1, 0, "  interface 0 class 7 ep 81/2"},
        {Layout::MissingIn, 1, 0, "  interface 0 class 7 ep 02/2"},
        {Layout::InterruptEndpoints, 1, 0, "  interface 0 class 7 ep 81/2 ep 02/2 ep 83/3 ep 04/3"},
        {Layout::TwoBulkIn, 1, 0, "  interface 0 class 7 ep 81/2 ep 02/2 ep 83/2"},
        {Layout::SecondInterface, 1, 0, "  interface 1 class 7 ep 81/2 ep 02/2"},
    };
    for (const Case& c : cases) {
        Scenario s;
        s.layout = c.layout;
        VirtualT58 printer(s);
        ASSERT_TRUE(printer.ok()) << printer.setupError();
        ClientRun r = runClient(printer, {"list"});
        SCOPED_TRACE(static_cast<int>(c.layout));
        EXPECT_EQ(r.line("count"), "count " + std::to_string(c.count));
        std::vector<std::string> devices = r.all("device ");
        ASSERT_EQ(devices.size(), static_cast<size_t>(c.count));
        for (int i = 0; i < c.count; ++i) {
            bool isT58 =
                devices[static_cast<size_t>(i)].find("vid 0525 pid a4b6") != std::string::npos;
            // Every other device comes before the first printer.
            if (c.printerAt < 0 || i <= c.printerAt) {
                EXPECT_EQ(isT58, i == c.printerAt) << devices[static_cast<size_t>(i)];
            }
        }
        if (c.printerAt >= 0) {
            std::string expected = "device " + std::to_string(c.printerAt) + " bus 1 addr " +
                                   std::to_string(printer.deviceAddress(0)) +
                                   " vid 0525 pid a4b6 configs 1";
            EXPECT_EQ(devices[static_cast<size_t>(c.printerAt)], expected);
            EXPECT_NE(std::find(r.lines.begin(), r.lines.end(), c.printerLine), r.lines.end());
        }
    }
}

TEST(Vt58Bus, StringsAndDeviceIdNameThePrinter) {
    Scenario s;
    s.layout = Layout::TwoPrinters;
    VirtualT58 printer(s);
    ASSERT_TRUE(printer.ok()) << printer.setupError();
    ClientRun r = runClient(
        printer, {"open", "strings", "device-id", "close", "open-index", "1", "strings", "close"});
    EXPECT_EQ(r.line("manufacturer"), "manufacturer rc 0 Tarvik");
    EXPECT_EQ(r.line("product"), "product rc 0 T58");
    EXPECT_EQ(r.line("serial"), "serial rc 0 VT58-0001");
    EXPECT_EQ(r.line("serial", 1), "serial rc 0 VT58-0002");
    EXPECT_EQ(r.line("device-id"),
              "device-id rc 69 len 69 "
              "MFG:Tarvik;MDL:T58;CMD:T58;CLS:PRINTER;DES:Tarvik T58;SN:VT58-0001;");
}

TEST(Vt58Bus, ClaimWithAndWithoutAKernelDriver) {
    {
        VirtualT58 printer;
        ClientRun r = runClient(printer, {"open", "active", "0", "claim", "0", "active", "0",
                                          "detach", "0", "claim", "1", "release", "0", "close"});
        EXPECT_EQ(r.line("active 0", 0), "active 0 rc 0");
        EXPECT_EQ(r.line("claim 0"), "claim 0 rc 0");
        EXPECT_EQ(r.line("detach"), "detach 0 rc " + std::to_string(LIBUSB_ERROR_NOT_FOUND));
        EXPECT_EQ(r.line("claim 1"), "claim 1 rc " + std::to_string(LIBUSB_ERROR_NOT_FOUND));
        EXPECT_EQ(r.line("release"), "release 0 rc 0");
        std::vector<UsbEventKind> want{UsbEventKind::Open,        UsbEventKind::DriverQuery,
                                       UsbEventKind::Claim,       UsbEventKind::DriverQuery,
                                       UsbEventKind::DriverQuery, UsbEventKind::Release,
                                       UsbEventKind::Close};
        EXPECT_EQ(kindsOf(printer.events()), want);
    }
    {
        Scenario s;
        s.layout = Layout::KernelDriver;
        VirtualT58 printer(s);
        // The backend's order: claim fails, ask twice, detach, claim again; next open: no driver.
        ClientRun r = runClient(printer, {"open", "claim", "0", "active", "0", "active", "0",
                                          "detach", "0", "claim", "0", "close", "open", "active",
                                          "0", "claim", "0", "close"});
        EXPECT_EQ(r.line("claim 0", 0), "claim 0 rc " + std::to_string(LIBUSB_ERROR_BUSY));
        EXPECT_EQ(r.line("active 0", 0), "active 0 rc 1");
        EXPECT_EQ(r.line("detach 0"), "detach 0 rc 0");
        EXPECT_EQ(r.line("claim 0", 1), "claim 0 rc 0");
        EXPECT_EQ(r.line("active 0", 2), "active 0 rc 0");
        EXPECT_EQ(r.line("claim 0", 2), "claim 0 rc 0");
        std::vector<UsbEvent> ev = printer.events();
        std::vector<UsbEventKind> kinds = kindsOf(ev);
        std::vector<UsbEventKind> head(kinds.begin(), kinds.begin() + 7);
        std::vector<UsbEventKind> want{UsbEventKind::Open,        UsbEventKind::ClaimBusy,
                                       UsbEventKind::DriverQuery, UsbEventKind::DriverQuery,
                                       UsbEventKind::DriverQuery, UsbEventKind::Detach,
                                       UsbEventKind::Claim};
        EXPECT_EQ(head, want);
        for (const UsbEvent& e : ev) {
            if (e.kind == UsbEventKind::Detach) {
                EXPECT_EQ(e.interface, 0);
            }
        }
    }
}

TEST(Vt58Bus, KernelDriverHoldsThePrinterInterfaceNotInterfaceZero) {
    Scenario s;
    s.layout = Layout::SecondInterface;
    s.kernelDriver = true;
    VirtualT58 printer(s);
    ClientRun r = runClient(printer, {"open", "claim", "1", "active", "0", "active", "1", "detach",
                                      "1", "claim", "1", "claim", "0", "close"});
    EXPECT_EQ(r.line("claim 1", 0), "claim 1 rc " + std::to_string(LIBUSB_ERROR_BUSY));
    EXPECT_EQ(r.line("active 0"), "active 0 rc 0");
    EXPECT_EQ(r.line("active 1"), "active 1 rc 1");
    EXPECT_EQ(r.line("detach 1"), "detach 1 rc 0");
    EXPECT_EQ(r.line("claim 1", 1), "claim 1 rc 0");
    EXPECT_EQ(r.line("claim 0"), "claim 0 rc 0");
}

TEST(Vt58Bus, ClaimHeldByAnOpenHandleIsBusyButAClosedOneIsNot) {
    VirtualT58 printer;
    // Closing and at once claiming again must work, as on a real kernel.
    ClientRun r = runClient(printer, {"open", "claim", "0", "close", "open", "claim", "0", "leak",
                                      "open", "claim", "0", "close"});
    EXPECT_EQ(r.line("claim 0", 0), "claim 0 rc 0");
    EXPECT_EQ(r.line("claim 0", 1), "claim 0 rc 0");
    // The leaked handle still holds interface 0.
    EXPECT_EQ(r.line("claim 0", 2), "claim 0 rc " + std::to_string(LIBUSB_ERROR_BUSY));
}

TEST(Vt58Bus, StatusExchangeAnswersWithTheScriptedReply) {
    Scenario s;
    s.headByte = 0;
    s.busy(1, 2).notReady(1, 0x03, 3).jobWait(1, 4).jobStop(5);
    VirtualT58 printer(s);
    ClientRun r = runClient(printer, exchange({kStatus, kStatus, kStatus, kStatus, kStatus}));
    std::vector<std::string> reads = r.all("read ");
    ASSERT_EQ(reads.size(), 5u);
    const uint8_t byte4[] = {0x00, 0x80, 0x03, 0x00, 0x00};
    const uint8_t job[] = {0x00, 0x00, 0x00, 0x20, 0x60};
    for (size_t i = 0; i < 5; ++i) {
        std::vector<uint8_t> b = unhex(readData(reads[i]));
        ASSERT_EQ(b.size(), 64u) << reads[i];
        EXPECT_EQ(b[0], 0x66);
        EXPECT_EQ(b[1], 64);
        EXPECT_EQ(b[3], 0x10);
        EXPECT_EQ(b[4], byte4[i]) << i;
        EXPECT_EQ(b[6], 0x00);
        EXPECT_EQ(b[35], job[i]) << i;
        EXPECT_EQ(vt58test::checksum(std::span<const uint8_t>(b).first(63)), b[63]);
    }
    Record rec = printer.record();
    ASSERT_EQ(rec.frames.size(), 5u);
    ASSERT_EQ(rec.replies.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(rec.frames[i].kind, FrameKind::Status);
        EXPECT_EQ(rec.frames[i].kindIndex, static_cast<int>(i + 1));
        EXPECT_EQ(rec.frames[i].bytes, kStatus);
        EXPECT_EQ(rec.replies[i].frameSeq, rec.frames[i].seq);
        EXPECT_EQ(rec.replies[i].endpoint, 0x81);
        EXPECT_LE(rec.frames[i].at, rec.replies[i].at);
        EXPECT_EQ(vt58test::hex(rec.replies[i].bytes), readData(reads[i]));
    }
    EXPECT_EQ(rec.bytesReceived, 30u);
    EXPECT_TRUE(rec.errors.empty());
}

TEST(Vt58Bus, CompressedPagesAreReassembledAndSavedAsPng) {
    std::vector<uint8_t> page = vt58test::randomPage(50, 72, 7);
    vt58test::BlockSpec spec;
    spec.copies = 2;
    spec.darkness = 0xE8;
    spec.cutter = 1;
    auto frames = vt58test::pageFrames(page, 72, 24, spec);
    spec.copyNumber = 2;
    auto second = vt58test::pageFrames(page, 72, 24, spec);
    frames.insert(frames.end(), second.begin(), second.end());
    frames.insert(frames.begin(), kStatus);

    Scenario s;
    s.refusePrint(2); // block 1 of copy 1 is refused once and sent again
    VirtualT58 printer(s);
    std::vector<std::vector<uint8_t>> sent(frames.begin(), frames.begin() + 3);
    sent.push_back(frames[2]);
    sent.insert(sent.end(), frames.begin() + 3, frames.end());
    ClientRun r = runClient(printer, exchange(sent));
    ASSERT_EQ(r.all("write rc 0").size(), sent.size());

    Record rec = printer.record();
    EXPECT_TRUE(rec.errors.empty()) << rec.errors.front().what;
    ASSERT_EQ(rec.pages.size(), 2u);
    for (int c = 0; c < 2; ++c) {
        const PrintedPage& p = rec.pages[static_cast<size_t>(c)];
        EXPECT_TRUE(p.complete);
        EXPECT_EQ(p.copyNumber, c + 1);
        EXPECT_EQ(p.copies, 2);
        EXPECT_EQ(p.pageLines, 50);
        EXPECT_EQ(p.darkness, 0xE8);
        EXPECT_EQ(p.cutter, 1);
        EXPECT_EQ(p.blocks, 3);
        EXPECT_EQ(p.data, page);
    }
    EXPECT_TRUE(rec.frames[2].refused);
    EXPECT_FALSE(rec.frames[2].taken);
    EXPECT_TRUE(rec.frames[3].taken);
    EXPECT_EQ(unhex(readData(r.all("read ")[2]))[4], 0x40);

    char dir[] = "/tmp/vt58-png-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/page.png";
    std::string err;
    ASSERT_TRUE(writePng(rec.pages[0], path, &err)) << err;
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&img, path.c_str()));
    img.format = PNG_FORMAT_GRAY;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(img));
    ASSERT_TRUE(png_image_finish_read(&img, nullptr, pixels.data(), 0, nullptr));
    EXPECT_EQ(img.width, 576u);
    EXPECT_EQ(img.height, 50u);
    for (int y = 0; y < 50; y += 7)
        for (int x = 0; x < 576; x += 13)
            EXPECT_EQ(pixels[static_cast<size_t>(y) * 576 + x] == 0, rec.pages[0].dot(x, y));
    std::remove(path.c_str());
    rmdir(dir);
}

TEST(Vt58Bus, BadFramesAreReportedNotAccepted) {
    std::vector<uint8_t> page = vt58test::randomPage(24, 72, 9);
    std::vector<uint8_t> badSum = vt58test::pageFrames(page, 72, 24, {})[0];
    badSum.back() ^= 0x01;
    std::vector<uint8_t> badLength = kStatus;
    badLength.push_back(0); // 7 bytes sent, length field says 6
    VirtualT58 printer;
    runClient(printer, exchange({badSum, badLength}));
    Record rec = printer.record();
    ASSERT_EQ(rec.frames.size(), 2u);
    EXPECT_EQ(rec.frames[0].kind, FrameKind::Bad);
    EXPECT_EQ(rec.frames[1].kind, FrameKind::Bad);
    EXPECT_TRUE(rec.pages.empty());
    ASSERT_GE(rec.errors.size(), 2u);
    EXPECT_EQ(rec.errors[0].frameSeq, 1);
    EXPECT_NE(rec.errors[0].what.find("checksum"), std::string::npos);
    bool lengthSeen = false;
    for (const ProtocolError& e : rec.errors)
        lengthSeen = lengthSeen || (e.frameSeq == 2 && e.what == "length field 6 but 7 bytes "
                                                                 "received");
    EXPECT_TRUE(lengthSeen);
    EXPECT_NE(summary(rec).find("protocol error"), std::string::npos);
}

TEST(Vt58Bus, ScriptedReplyFaults) {
    // Each fault in turn on the reply to the first status request; a second exchange shows
    // the printer answering again.
    struct Case {
        Fault fault;
        std::string firstRead;
    };
    const Case cases[] = {
        {Fault::TransferError, "read rc " + std::to_string(LIBUSB_ERROR_IO) + " n 0"},
        {Fault::Timeout, "read rc " + std::to_string(LIBUSB_ERROR_TIMEOUT) + " n 0"},
        {Fault::Short, "read rc 0 n 12"},
    };
    for (const Case& c : cases) {
        Scenario s;
        if (c.fault == Fault::Short)
            s.shortReply(Site::StatusReply, 1, 12);
        else
            s.fail(Site::StatusReply, 1, c.fault);
        VirtualT58 printer(s);
        ClientRun r = runClient(printer, exchange({kStatus, kStatus}, {"timeout", "300"}));
        SCOPED_TRACE(name(c.fault));
        EXPECT_EQ(r.line("read").substr(0, c.firstRead.size()), c.firstRead);
        EXPECT_PRED2(startsWith, r.line("read", 1), "read rc 0 n 64");
        Record rec = printer.record();
        ASSERT_EQ(rec.replies.size(), 2u);
        EXPECT_EQ(rec.replies[0].fault, c.fault);
        EXPECT_TRUE(rec.errors.empty());
        if (c.fault == Fault::Timeout) {
            // libusb waited in poll() for its timeout instead of reaping all the while.
            EXPECT_LT(rec.reapCalls, 100u);
            bool discarded = false;
            for (const UsbEvent& e : rec.events)
                discarded = discarded || (e.kind == UsbEventKind::Discard && e.value == 0x81);
            EXPECT_TRUE(discarded);
        }
    }
}

TEST(Vt58Bus, ScriptedTransferFaults) {
    std::vector<uint8_t> block =
        vt58test::pageFrames(vt58test::randomPage(24, 72, 3), 72, 24, {})[0];
    Scenario s;
    s.fail(Site::Write, 1, Fault::TransferError)
        .shortReply(Site::Write, 2, 10)
        .fail(Site::Read, 1, Fault::TransferError)
        .shortReply(Site::Read, 2, 13);
    VirtualT58 printer(s);
    ClientRun r =
        runClient(printer, exchange({block, block, kStatus, kStatus, kStatus}, {"timeout", "300"}));
    EXPECT_EQ(r.line("write"), "write rc " + std::to_string(LIBUSB_ERROR_IO) + " n 0");
    EXPECT_EQ(r.line("write", 1), "write rc 0 n 10");
    EXPECT_EQ(r.line("write", 2), "write rc 0 n 6");
    std::vector<std::string> reads = r.all("read ");
    ASSERT_EQ(reads.size(), 5u);
    // Reads 1 and 2 follow failed writes; by then the read faults have struck nothing else.
    EXPECT_PRED2(startsWith, reads[0], "read rc " + std::to_string(LIBUSB_ERROR_IO) + " n");
    EXPECT_PRED2(startsWith, reads[1], "read rc " + std::to_string(LIBUSB_ERROR_TIMEOUT) + " n 0");
    EXPECT_PRED2(startsWith, reads[2], "read rc 0 n 64");
    Record rec = printer.record();
    ASSERT_GE(rec.frames.size(), 2u);
    EXPECT_EQ(rec.frames[0].kind, FrameKind::Partial);
    EXPECT_TRUE(rec.frames[0].bytes.empty());
    EXPECT_EQ(rec.frames[1].kind, FrameKind::Partial);
    EXPECT_EQ(rec.frames[1].bytes.size(), 10u);
    EXPECT_TRUE(rec.pages.empty());
}

TEST(Vt58Bus, ShortReadFaultCutsTheReply) {
    Scenario s;
    s.shortReply(Site::Read, 2, 13);
    VirtualT58 printer(s);
    ClientRun r = runClient(printer, exchange({kStatus, kStatus}));
    EXPECT_PRED2(startsWith, r.line("read", 0), "read rc 0 n 64");
    EXPECT_PRED2(startsWith, r.line("read", 1), "read rc 0 n 13");
    EXPECT_EQ(printer.record().replies[1].fault, Fault::Short);
}

TEST(Vt58Bus, VanishedDeviceAnswersNoDeviceUntilBack) {
    Scenario s;
    s.vanish(Site::StatusReply, 2, -1, 2); // back after two refused requests
    VirtualT58 printer(s);
    const std::string noDevice = std::to_string(LIBUSB_ERROR_NO_DEVICE);
    const std::string st = vt58test::hex(kStatus);
    // libusb asks nothing for an interface it holds, so "active" makes the requests here.
    ClientRun r =
        runClient(printer, {"open", "claim",  "0",    "write", "02",   st,      "read", "81",
                            "64",   "write",  "02",   st,      "read", "81",    "64",   "active",
                            "0",    "active", "0",    "close", "open", "claim", "0",    "write",
                            "02",   st,       "read", "81",    "64",   "close"});
    EXPECT_PRED2(startsWith, r.line("read", 0), "read rc 0 n 64");
    EXPECT_EQ(r.line("write", 1), "write rc 0 n 6"); // the frame went in, then it vanished
    EXPECT_PRED2(startsWith, r.line("read", 1), "read rc " + noDevice + " n");
    EXPECT_EQ(r.line("active 0", 0), "active 0 rc " + noDevice); // second refusal: back
    EXPECT_EQ(r.line("active 0", 1), "active 0 rc " + noDevice); // a handle from before: dead
    EXPECT_EQ(r.line("claim 0", 1), "claim 0 rc 0");             // a new one works
    EXPECT_PRED2(startsWith, r.line("read", 2), "read rc 0 n 64");
    EXPECT_FALSE(printer.vanished());
    std::vector<UsbEventKind> k = kindsOf(printer.events());
    auto gone = std::find(k.begin(), k.end(), UsbEventKind::Vanish);
    ASSERT_NE(gone, k.end());
    EXPECT_EQ(std::count(gone, k.end(), UsbEventKind::Refused), 2);
    EXPECT_NE(std::find(gone, k.end(), UsbEventKind::Back), k.end());
}

TEST(Vt58Bus, VanishBackAfterTime) {
    Scenario s;
    s.vanish(Site::Read, 1, 500);
    VirtualT58 printer(s);
    ClientRun r = runClient(printer, {"open", "claim", "0", "write", "02", vt58test::hex(kStatus),
                                      "read", "81", "64", "close"});
    EXPECT_PRED2(startsWith, r.line("read"),
                 "read rc " + std::to_string(LIBUSB_ERROR_NO_DEVICE) + " n");
    EXPECT_TRUE(printer.vanished());
    EXPECT_TRUE(printer.waitFor([&](const Record&) { return !printer.vanished(); },
                                std::chrono::seconds(5)));
    r = runClient(printer, exchange({kStatus}));
    EXPECT_PRED2(startsWith, r.line("read"), "read rc 0 n 64");
}

TEST(Vt58Bus, EndpointsBeyondThePrinterPairAreReported) {
    {
        Scenario s;
        s.layout = Layout::TwoBulkIn;
        VirtualT58 printer(s);
        ClientRun r = runClient(printer, {"open", "claim", "0", "write", "02",
                                          vt58test::hex(kStatus), "read", "83", "64", "close"});
        EXPECT_PRED2(startsWith, r.line("read"), "read rc 0 n 64");
        Record rec = printer.record();
        ASSERT_EQ(rec.replies.size(), 1u);
        EXPECT_EQ(rec.replies[0].endpoint, 0x83); // the test can see which IN was read
        EXPECT_TRUE(rec.errors.empty());
    }
    {
        Scenario s;
        s.layout = Layout::InterruptEndpoints;
        VirtualT58 printer(s);
        ClientRun r = runClient(printer, {"open", "claim", "0", "timeout", "200", "write", "04",
                                          vt58test::hex(kStatus), "read", "83", "64", "close"});
        EXPECT_PRED2(startsWith, r.line("read"),
                     "read rc " + std::to_string(LIBUSB_ERROR_TIMEOUT) + " n");
        Record rec = printer.record();
        EXPECT_TRUE(rec.frames.empty());
        ASSERT_EQ(rec.errors.size(), 2u);
        EXPECT_EQ(rec.errors[0].what, "transfer on interrupt endpoint 0x04 of interface 0");
    }
    {
        VirtualT58 printer; // writing without claiming works on usbfs, but is reported
        runClient(printer, {"open", "write", "02", vt58test::hex(kStatus), "close"});
        ASSERT_EQ(printer.errors().size(), 1u);
        EXPECT_EQ(printer.errors()[0].what, "transfer on interface 0 before claiming it");
    }
}

TEST(Vt58Bus, TwoPrintersRecordWhichOneGotTheData) {
    Scenario s;
    s.layout = Layout::TwoPrinters;
    VirtualT58 printer(s);
    ASSERT_EQ(printer.printerCount(), 2);
    runClient(printer, exchange({kStatus}));
    runClient(printer, {"open-index", "1", "claim", "0", "write", "02", vt58test::hex(kStatus),
                        "read", "81", "64", "close"});
    Record rec = printer.record();
    ASSERT_EQ(rec.frames.size(), 2u);
    EXPECT_EQ(rec.frames[0].device, 0);
    EXPECT_EQ(rec.frames[1].device, 1);
    EXPECT_EQ(rec.frames[1].kindIndex, 1); // each printer counts its own frames
}

TEST(Vt58Bus, HookDecidesArbitraryReplies) {
    VirtualT58 printer;
    printer.setHook([&](const FrameRecord& f, Reply& reply) {
        if (f.kindIndex == 1) {
            reply.bytes = {0x01, 0x02, 0x03};
        } else {
            reply.fault = Fault::TransferError;
            (void)printer.frameCount(); // accessors may be called from the hook
        }
    });
    ClientRun r = runClient(printer, exchange({kStatus, kStatus}));
    EXPECT_EQ(r.line("read", 0), "read rc 0 n 3 data 010203");
    EXPECT_PRED2(startsWith, r.line("read", 1),
                 "read rc " + std::to_string(LIBUSB_ERROR_IO) + " n");
}

TEST(Vt58Bus, ThrowingHookIsReportedAndTheScriptAnswers) {
    VirtualT58 printer;
    printer.setHook([](const FrameRecord&, Reply&) { throw std::runtime_error("hook"); });
    ClientRun r = runClient(printer, exchange({kStatus}));
    EXPECT_PRED2(startsWith, r.line("read"), "read rc 0 n 64");
    ASSERT_EQ(printer.errors().size(), 1u);
    EXPECT_EQ(printer.errors()[0].what, "the reply hook threw; the scripted reply was sent");
}

TEST(Vt58Bus, UnreadReplyIsReported) {
    VirtualT58 printer;
    runClient(printer, {"open", "claim", "0", "write", "02", vt58test::hex(kStatus), "write", "02",
                        vt58test::hex(kStatus), "read", "81", "64", "close"});
    std::vector<ProtocolError> e = printer.errors();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].what, "frame sent while the reply to frame 1 was not read");
}

TEST(Vt58Bus, EachPrinterOfTheBusFollowsItsOwnSetup) {
    Scenario s;
    s.printers.resize(2);
    s.printers[0].serial = "BENCH-203";
    s.printers[0].headByte = 0;
    s.printers[0].busy(1);
    s.printers[1].serial = "BENCH-300";
    s.printers[1].kernelDriver = true;
    s.printers[1].fail(Site::StatusReply, 2, Fault::TransferError);
    VirtualT58 printer(s);
    ASSERT_TRUE(printer.ok()) << printer.setupError();
    ASSERT_EQ(printer.printerCount(), 2);
    EXPECT_EQ(printer.serialOf(1), "BENCH-300");
    EXPECT_NE(printer.devnode(0), printer.devnode(1));

    // A page for each head: a block decoded with the other printer's head would not fit.
    std::vector<uint8_t> page203 = vt58test::randomPage(36, 48, 5);
    std::vector<uint8_t> page300 = vt58test::randomPage(24, 72, 6);
    const std::string st = vt58test::hex(kStatus);
    const std::string block203 = vt58test::hex(vt58test::pageFrames(page203, 48, 36, {})[0]);
    const std::string block300 = vt58test::hex(vt58test::pageFrames(page300, 72, 24, {})[0]);
    ClientRun r = runClient(
        printer,
        {"open-serial", "BENCH-300", "claim", "0",      "detach", "0",     "claim", "0",    "write",
         "02",          st,          "read",  "81",     "64",     "write", "02",    st,     "read",
         "81",          "64",        "write", "02",     block300, "read",  "81",    "64",   "close",
         "open-serial", "BENCH-203", "claim", "0",      "write",  "02",    st,      "read", "81",
         "64",          "write",     "02",    block203, "read",   "81",    "64",    "close"});
    EXPECT_EQ(r.line("claim 0", 0), "claim 0 rc " + std::to_string(LIBUSB_ERROR_BUSY));
    EXPECT_EQ(r.line("claim 0", 2), "claim 0 rc 0"); // the 203 dpi printer has no driver bound
    std::vector<std::string> reads = r.all("read ");
    ASSERT_EQ(reads.size(), 5u);
    std::vector<uint8_t> first300 = unhex(readData(reads[0]));
    ASSERT_EQ(first300.size(), 64u);
    EXPECT_EQ(first300[4], 0x00);
    EXPECT_EQ(first300[6], 1);
    EXPECT_PRED2(startsWith, reads[1], "read rc " + std::to_string(LIBUSB_ERROR_IO) + " n");
    std::vector<uint8_t> first203 = unhex(readData(reads[3]));
    ASSERT_EQ(first203.size(), 64u);
    EXPECT_EQ(first203[4], 0x80); // its first status request, not the bus's fourth
    EXPECT_EQ(first203[6], 0);

    Record rec = printer.record();
    EXPECT_TRUE(rec.errors.empty()) << rec.errors.front().what;
    ASSERT_EQ(rec.pages.size(), 2u);
    EXPECT_EQ(rec.pages[0].device, 1);
    EXPECT_EQ(rec.pages[0].data, page300);
    EXPECT_EQ(rec.pages[1].device, 0);
    EXPECT_EQ(rec.pages[1].rowBytes, 48);
    EXPECT_EQ(rec.pages[1].data, page203);
}

TEST(Vt58Bus, EightPrintersServeEightThreadsAtOnce) {
    Scenario s;
    s.printers.resize(kMaxPrinters);
    std::string serials = "serials", list;
    for (int i = 0; i < kMaxPrinters; ++i) {
        s.printers[static_cast<size_t>(i)].headByte = static_cast<uint8_t>(i % 2);
        std::string serial = "VT58-000" + std::to_string(i + 1);
        serials += " " + serial;
        list += (i ? "," : "") + serial;
    }
    VirtualT58 printer(s);
    ASSERT_TRUE(printer.ok()) << printer.setupError();
    ClientRun r = runClient(printer, {"serials", "parallel", "20", list});
    EXPECT_EQ(r.line("serials"), serials); // in device order
    for (int i = 0; i < kMaxPrinters; ++i)
        EXPECT_EQ(r.line("parallel VT58-000" + std::to_string(i + 1)),
                  "parallel VT58-000" + std::to_string(i + 1) + " ok 20 head " +
                      std::to_string(i % 2));
    Record rec = printer.record();
    EXPECT_TRUE(rec.errors.empty()) << rec.errors.front().what;
    std::vector<int> perDevice(kMaxPrinters, 0);
    for (const FrameRecord& f : rec.frames)
        perDevice[static_cast<size_t>(f.device)]++;
    EXPECT_EQ(perDevice, std::vector<int>(kMaxPrinters, 20));
}

namespace {

std::vector<std::string> sortedWords(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string x; in >> x;)
        w.push_back(x);
    std::sort(w.begin(), w.end());
    return w;
}

bool awaitFile(const std::string& path) {
    for (int i = 0; i < 2000 && access(path.c_str(), F_OK) != 0; ++i)
        usleep(5000);
    return access(path.c_str(), F_OK) == 0;
}

} // namespace

TEST(Vt58Bus, UnplugAndReplugReachARunningClient) {
    Scenario s;
    s.layout = Layout::TwoPrinters;
    VirtualT58 printer(s);
    ASSERT_TRUE(printer.ok()) << printer.setupError();
    char dir[] = "/tmp/vt58-plug-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string d = dir, st = vt58test::hex(kStatus);
    ClientRun r;
    // One libusb context throughout: it learns of both changes from the uevents.
    std::thread client([&] {
        r = runClient(printer, {"serials",   "open-serial", "VT58-0002", "claim",  "0",
                                "signal",    d + "/1",      "await",     d + "/2", "serials",
                                "write",     "02",          st,          "close",  "open-serial",
                                "VT58-0002", "signal",      d + "/3",    "await",  d + "/4",
                                "serials",   "open-serial", "VT58-0002", "claim",  "0",
                                "write",     "02",          st,          "read",   "81",
                                "64",        "close"});
    });
    bool ready = awaitFile(d + "/1");
    EXPECT_TRUE(ready && printer.unplug(1));
    EXPECT_FALSE(printer.unplug(1));
    std::ofstream(d + "/2") << "1";
    ready = awaitFile(d + "/3");
    EXPECT_TRUE(printer.vanished(1));
    EXPECT_TRUE(ready && printer.replug(1));
    std::ofstream(d + "/4") << "1";
    client.join();
    runCommand({"/bin/rm", "-rf", d}, {});

    EXPECT_EQ(sortedWords(r.line("serials", 0)),
              (std::vector<std::string>{"VT58-0001", "VT58-0002", "serials"}));
    EXPECT_EQ(r.line("serials", 1), "serials VT58-0001");
    EXPECT_PRED2(startsWith, r.line("write"), "write rc " + std::to_string(LIBUSB_ERROR_NO_DEVICE));
    EXPECT_EQ(r.line("open-serial", 1), "open-serial VT58-0002 failed");
    EXPECT_EQ(sortedWords(r.line("serials", 2)), sortedWords(r.line("serials", 0)));
    EXPECT_EQ(r.line("open-serial", 2), "open-serial VT58-0002 ok");
    EXPECT_PRED2(startsWith, r.line("read"), "read rc 0 n 64");
    std::vector<UsbEventKind> k = kindsOf(printer.events());
    EXPECT_EQ(std::count(k.begin(), k.end(), UsbEventKind::Unplug), 1);
    EXPECT_EQ(std::count(k.begin(), k.end(), UsbEventKind::Replug), 1);
}

TEST(Vt58Bus, PrinterUnpluggedAtTheStartOrByAHook) {
    Scenario s;
    s.printers.resize(2);
    s.printers[1].unplugged = true;
    VirtualT58 printer(s);
    ASSERT_TRUE(printer.ok()) << printer.setupError();
    EXPECT_EQ(runClient(printer, {"serials"}).line("serials"), "serials VT58-0001");
    ASSERT_TRUE(printer.replug(1));
    EXPECT_EQ(runClient(printer, {"serials"}).line("serials"), "serials VT58-0001 VT58-0002");

    // Pulled out just as it takes a frame: the frame is in, its reply never comes.
    printer.setHook([&](const FrameRecord& f, Reply&) {
        if (f.device == 1)
            printer.unplug(1);
    });
    ClientRun r =
        runClient(printer, {"open-serial", "VT58-0002", "claim", "0", "write", "02",
                            vt58test::hex(kStatus), "read", "81", "64", "close", "serials"});
    EXPECT_EQ(r.line("write"), "write rc 0 n 6");
    EXPECT_PRED2(startsWith, r.line("read"), "read rc " + std::to_string(LIBUSB_ERROR_NO_DEVICE));
    EXPECT_EQ(r.line("serials"), "serials VT58-0001");
}

TEST(Vt58Bus, PrinterPluggedInAndPulledOutOnTime) {
    Scenario s;
    s.printers.resize(2);
    s.printers[1].unplugged = true;
    s.printers[1].plugInAtMs = 100;
    s.printers[1].unplugAtMs = 400;
    VirtualT58 printer(s);
    ASSERT_TRUE(printer.ok()) << printer.setupError();
    auto seen = [&](UsbEventKind kind) {
        return printer.waitFor(
            [&](const Record& r) {
                return std::any_of(r.events.begin(), r.events.end(),
                                   [&](const UsbEvent& e) { return e.kind == kind; });
            },
            std::chrono::seconds(10));
    };
    ASSERT_TRUE(seen(UsbEventKind::Replug));
    ASSERT_TRUE(seen(UsbEventKind::Unplug));
    EXPECT_EQ(runClient(printer, {"serials"}).line("serials"), "serials VT58-0001");
}
