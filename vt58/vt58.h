#pragma once

// The virtual T58: an emulated label printer served through umockdev. A test creates a
// VirtualT58 with a Scenario, runs a program with childEnv() added to its environment (the
// program uses the real libusb under umockdev's preload), and then reads the record: every
// frame received, every reply sent, the USB events and the pages the printer printed.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vt58 {

using Clock = std::chrono::steady_clock;
using EnvPairs = std::vector<std::pair<std::string, std::string>>;

constexpr uint16_t kVendorId = 0x0525;
constexpr uint16_t kProductId = 0xA4B6;
constexpr uint8_t kFrameStart = 0x66;
constexpr uint8_t kCmdStatus = 0x10;
constexpr uint8_t kCmdPrint = 0x1B;
constexpr int kForever = -1;       // a count without end
constexpr int kReplyLength = 64;   // default length of a status reply
constexpr int kMinReplyLength = 6; // start, length, command, byte 4 ... checksum

// What is on the emulated bus. Device 0 is always the first T58 in a fresh enumeration.
enum class Layout : uint8_t {
    T58,                // the printer alone: interface 0, class 7, bulk IN 0x81, bulk OUT 0x02
    OthersFirst,        // two other devices (a hub and a keyboard) before the printer
    OthersOnly,         // the two other devices, no printer
    NoDevice,           // an empty bus
    TwoPrinters,        // two printers with the same ids and different serials
    MissingOut,         // the printer interface has bulk IN 0x81 only
    MissingIn,          // the printer interface has bulk OUT 0x02 only
    InterruptEndpoints, // bulk IN 0x81, bulk OUT 0x02, then interrupt IN 0x83, interrupt OUT 0x04
    TwoBulkIn,          // bulk IN 0x81, bulk OUT 0x02, bulk IN 0x83
    KernelDriver,       // the T58 with the kernel's "usblp" bound to its printer interface
    SecondInterface,    // a vendor-class interface 0 (bulk 0x83/0x04) before printer interface 1
};

// Which frames a rule counts (indices are 1-based and per device).
enum class Match : uint8_t {
    Status, // status requests (command 0x10)
    Print,  // print-data frames (command 0x1B)
    Any,    // every frame received
};

// Bits a script puts into the replies to a run of frames.
struct ReplyRule {
    Match on = Match::Status;
    int first = 1;     // index of the first frame affected, among frames of `on`
    int count = 1;     // number of frames affected; kForever: all from `first` on
    uint8_t byte4 = 0; // ORed into byte 4: 0x80 busy, 0x40 refusal, 0x3F not-ready bits
    int jobState = -1; // byte 35 & 0x60 for these replies (0x00, 0x20, 0x40, 0x60); -1 keeps it
};

enum class Fault : uint8_t {
    None,
    TransferError, // the transfer completes with an I/O error (EPROTO)
    Timeout,       // the transfer never completes; libusb times out and discards it
    Short,         // only `shortLength` bytes move (the reply's first bytes, or part of a write)
    Vanish,        // the device is gone: ENODEV from then on (optionally back later)
};

// Where a fault strikes.
enum class Site : uint8_t {
    StatusReply, // the reply to the index-th status request (the request itself is received)
    PrintReply,  // the reply to the index-th print-data frame (the frame is received)
    Write,       // the index-th OUT transfer overall (the frame is not received, or in part)
    Read,        // the index-th IN transfer overall
};

struct FaultRule {
    Site at = Site::StatusReply;
    int index = 1; // 1-based, per device
    int count = 1; // consecutive exchanges affected; kForever: all from `index` on
    Fault fault = Fault::TransferError;
    int shortLength = 12;       // Short: bytes that move
    int backAfterMs = -1;       // Vanish: back this long after vanishing; -1 never
    int backAfterRequests = -1; // Vanish: back after this many requests refused with ENODEV
};

// A reply as the printer is about to send it; a hook may change any of it.
struct Reply {
    std::vector<uint8_t> bytes; // what the IN transfer delivers (empty with Timeout)
    Fault fault = Fault::None;  // Short delivers `bytes` as they are (already cut)
    int backAfterMs = -1;       // with Vanish, as in FaultRule
    int backAfterRequests = -1;
};

enum class FrameKind : uint8_t {
    Status,  // a well-formed status request
    Print,   // a well-formed print-data frame
    Bad,     // envelope, length, checksum or command wrong (see the record's errors)
    Partial, // a write cut short by a scripted fault; not taken as a frame
};

struct FrameRecord {
    int seq = 0;    // 1-based over all frames of all devices, in arrival order
    int device = 0; // 0 is the first printer in libusb's list
    uint8_t endpoint = 0;
    Clock::time_point at{};
    FrameKind kind = FrameKind::Bad;
    int kindIndex = 0; // 1-based among this device's frames of the same kind
    std::vector<uint8_t> bytes;
    bool refused = false; // the reply set the refusal bit; the block was not taken
    bool taken = false;   // a print-data block that went into a page
};

struct ReplyRecord {
    int frameSeq = 0; // the frame answered; 0 for a read when no reply was due
    int device = 0;
    uint8_t endpoint = 0; // the IN endpoint that was read
    Clock::time_point at{};
    std::vector<uint8_t> bytes; // bytes delivered
    Fault fault = Fault::None;
};

enum class UsbEventKind : uint8_t {
    Open,        // a client opened the node
    Close,       // the client closed it
    Claim,       // interface claimed
    ClaimBusy,   // claim refused with EBUSY (a kernel driver holds the interface)
    Release,     // interface released
    DriverQuery, // USBDEVFS_GETDRIVER
    Detach,      // kernel driver detached (USBDEVFS_DISCONNECT)
    DetachNone,  // detach asked with no kernel driver bound (ENODATA)
    Discard,     // a pending transfer was discarded (libusb's timeout)
    Vanish,      // the device went away
    Back,        // the device came back
    Refused,     // a request answered ENODEV while the device was gone
    Control,     // a control transfer (string descriptor, GET_DEVICE_ID)
    Unknown,     // an ioctl the emulator does not serve (answered ENOTTY)
    Unplug,      // taken off the bus (VirtualT58::unplug)
    Replug,      // put back on the bus
};

struct UsbEvent {
    int device = 0;
    Clock::time_point at{};
    UsbEventKind kind = UsbEventKind::Unknown;
    int interface = -1; // the interface concerned, -1 where none
    int value = 0;      // ioctl request for Unknown, endpoint for Discard, errno where refused
};

struct ProtocolError {
    int device = 0;
    int frameSeq = 0; // 0 when not about one frame
    Clock::time_point at{};
    std::string what;
};

// One printed copy of one page, as the printer assembled it (the 16-bit swap undone).
struct PrintedPage {
    int device = 0;
    int copyNumber = 0;             // frame bytes 8-9
    int copies = 0;                 // frame bytes 6-7
    int pageLines = 0;              // frame bytes 11-12
    uint8_t darkness = 0;           // frame byte 4 (0xE0 | darkness)
    uint8_t cutter = 0;             // frame byte 5
    int rowBytes = 0;               // 48 on the 203 dpi head, 72 on the 300 dpi head
    int rows = 0;                   // lines received
    int blocks = 0;                 // blocks taken
    std::vector<int> missingBlocks; // block indices never taken (e.g. given up after refusals)
    bool complete = false;     // every block of the page arrived, the last one with 0 to follow
    std::vector<uint8_t> data; // pageLines * rowBytes bytes; missing blocks stay blank (0)
    Clock::time_point started{}, ended{};
    bool dot(int x, int y) const; // x from the row's start, y from the top
};

struct Record {
    Clock::time_point start{};
    std::vector<FrameRecord> frames;
    std::vector<ReplyRecord> replies;
    std::vector<UsbEvent> events;
    std::vector<ProtocolError> errors;
    std::vector<PrintedPage> pages; // finished pages, then any page still being received
    size_t bytesReceived = 0;
    size_t reapCalls = 0; // URB reaps served; few while libusb waits in poll() as it should
};

// Decides the reply to each frame after the script has built it; runs on umockdev's worker
// thread. It may call the VirtualT58's accessors; an exception it throws is caught and
// reported as a protocol error.
using ReplyHook = std::function<void(const FrameRecord& frame, Reply& reply)>;

// Shorthands for a script's common cases, on a Scenario and on a PrinterSetup alike: each
// appends a rule and returns the script.
template <class Script> struct Shorthands {
    Script& busy(int polls, int first = 1);                          // byte 4 bit 7
    Script& notReady(int polls, uint8_t bits = 0x01, int first = 1); // byte 4 bits 0..5
    Script& jobWait(int polls, int first = 1);                       // job state 0x20
    Script& jobStop(int first = 1, int count = kForever);            // job state 0x60
    Script& refusePrint(int frame, int count = 1);                   // byte 4 bit 6
    Script& refuseEveryPrint();
    Script& fail(Site at, int index, Fault fault, int count = 1);
    Script& shortReply(Site at, int index, int length);
    Script& vanish(Site at, int index, int backAfterMs = -1, int backAfterRequests = -1);
};

constexpr int kMaxPrinters = 8;

// One printer of the bus with its own script.
struct PrinterSetup : Shorthands<PrinterSetup> {
    std::string serial;             // empty: "VT58-0001", "VT58-0002", ... by position
    uint8_t headByte = 1;           // reply byte 6: type 0 (203 dpi), 1 (300 dpi), 2..7 unsupported
    int replyLength = kReplyLength; // bytes in every reply, 6..64 (36 and more hold byte 35)
    uint8_t baseByte4 = 0;          // byte 4 of every reply before rules apply
    int baseJobState = 0x00;        // byte 35 of every reply before rules apply
    std::vector<ReplyRule> rules;
    std::vector<FaultRule> faults;
    bool kernelDriver = false; // "usblp" bound to the printer interface
    bool unplugged = false;    // off the bus at the start, until VirtualT58::replug
    int plugInAtMs = -1;       // put on the bus at this time (with unplugged), -1 never
    int unplugAtMs = -1;       // taken off the bus at this time, -1 never
};

struct Scenario : Shorthands<Scenario> {
    Layout layout = Layout::T58;
    bool kernelDriver = false;      // "usblp" bound to the printer interface (any layout)
    uint8_t headByte = 1;           // reply byte 6: type 0 (203 dpi), 1 (300 dpi), 2..7 unsupported
    int replyLength = kReplyLength; // bytes in every reply, 6..64 (36 and more hold byte 35)
    uint8_t baseByte4 = 0;          // byte 4 of every reply before rules apply
    int baseJobState = 0x00;        // byte 35 of every reply before rules apply
    std::vector<ReplyRule> rules;
    std::vector<FaultRule> faults;
    std::string serial = "VT58-0001"; // the second printer gets "VT58-0002"
    ReplyHook hook;

    // The printers on the bus, each with its own script: device i is printers[i], at most
    // kMaxPrinters. The layout still gives their interfaces and any other devices. Empty:
    // the layout's printers all follow the fields above.
    std::vector<PrinterSetup> printers;

    // The setup device i is served with, from either form (its serial filled in).
    PrinterSetup printerSetup(int device) const;
};

// Parses the line-based scenario format of README.md; false with a message naming the line.
bool parseScenario(const std::string& text, Scenario& out, std::string& error);
bool loadScenario(const std::string& path, Scenario& out, std::string& error);

class PlugTimer;

class VirtualT58 {
  public:
    // Builds the testbed and attaches the devices; check ok() before use.
    explicit VirtualT58(Scenario scenario = {});
    ~VirtualT58();
    VirtualT58(const VirtualT58&) = delete;
    VirtualT58& operator=(const VirtualT58&) = delete;

    bool ok() const;
    const std::string& setupError() const;

    // The variables a child needs: LD_PRELOAD and UMOCKDEV_DIR.
    EnvPairs childEnv() const;
    // base with childEnv() added (replacing entries of the same name).
    EnvPairs withChildEnv(EnvPairs base) const;
    std::string rootDir() const;

    int printerCount() const;              // T58s on the bus, plugged in or not
    std::string devnode(int device) const; // e.g. "/dev/bus/usb/001/003"
    std::string serialOf(int device) const;
    uint8_t busNumber(int device) const;
    uint8_t deviceAddress(int device) const;

    void setHook(ReplyHook hook);

    // Thread-safe snapshots.
    Record record() const;
    std::vector<PrintedPage> pages() const;
    std::vector<ProtocolError> errors() const;
    std::vector<UsbEvent> events() const;
    size_t frameCount() const;
    size_t pageCount() const;            // finished pages
    bool vanished(int device = 0) const; // gone by a scripted fault or unplugged

    // Takes a printer off the bus: a new enumeration (or a running libusb, by the "remove"
    // uevent) no longer lists it, its node is gone and open handles get ENODEV. replug puts
    // it back with the same serial, address and script; handles from before stay dead.
    // Both return false for a device that is not there or already in that state; a reply
    // hook may call them.
    bool unplug(int device);
    bool replug(int device);

    // Waits until every client that opened a device node has closed it (the close of a
    // child's last handle reaches the emulator shortly after the child ends).
    bool waitClosed(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) const;

    // Polls pred on snapshots until it holds or the time runs out.
    bool waitFor(const std::function<bool(const Record&)>& pred,
                 std::chrono::milliseconds timeout) const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
    std::unique_ptr<PlugTimer> plugs_;
};

// The page as a PNG, 1 bit per dot, a 1 bit black; false with a message on failure.
bool writePng(const PrintedPage& page, const std::string& path, std::string* error = nullptr);

// A few lines: pages, copies, blocks, bytes received, errors.
std::string summary(const Record& record);

// Text names for the enums (record dumps, messages).
const char* name(FrameKind kind);
const char* name(Fault fault);
const char* name(UsbEventKind kind);

// A human-readable dump of the whole record, one event a line in time order.
std::string dumpRecord(const Record& record);

// Runs argv with the given whole environment, waits up to timeout (then SIGKILL) and
// returns the exit status (128 + signal when killed, -1 when it could not be started).
int runCommand(const std::vector<std::string>& argv, const EnvPairs& env,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(60000),
               std::string* output = nullptr);

// This process's environment as pairs.
EnvPairs currentEnv();

} // namespace vt58
