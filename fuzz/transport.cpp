// The scripted transport (see transport.h). Script bytes, consumed in order:
//   each usbWrite: one byte; bit 7 is the cancel flag from then on, bits 0-2 the outcome:
//     0-4 whole write, 5 short write (one more byte: how much is missing), 6 I/O error,
//     7 timeout (nothing moves);
//   each usbRead: one byte; bit 7 the cancel flag, bits 0-2 the outcome: 0-4 a reply
//     (then its length 0..64 unless bit 3 asks for a full 64, and bytes 4, 6 and 35),
//     5 I/O error, 6 timeout, 7 device gone.
#include "fuzz/transport.h"

#include "link/status.h"

#include <libusb-1.0/libusb.h>
#include <lzo/lzo1x.h>

#include <cstring>
#include <vector>

namespace {

constexpr int kMaxTransfers = 20000;
constexpr int kMaxSends = 10;
constexpr size_t kSendBuffBytes = 4096;

struct PrintFrame {
    std::vector<uint8_t> bytes;
    int copyNo = 0;
    int follow = 0;
};

struct Script {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t at = 0;
    int transfers = 0;
    ScriptJob job;
    // What the backend has been told and has sent.
    bool replyDue = false;     // a write succeeded; its reply may be read
    bool lastWasPrint = false; // the last frame written was print data
    bool stopSeen = false;     // a counted reply to print data carried job state 0x60
    bool lastPrintRefused = false;
    int lastStatusJobState = 0;
    int sendsOfFrame = 0;
    PrintFrame lastPrint;
    std::vector<PrintFrame> taken; // print frames whose reply was counted and not refused
    bool cancel = false;           // the job's cancel request, as the script sets it
};

Script script;

class ScriptedTransport final : public T58Transport {
  public:
    int open() override { return 0; }
    int write(const uint8_t* buf, int32_t len, int32_t* transferred) override;
    int read(uint8_t* buf, int32_t len, int32_t* transferred) override;
    void close() override {}
    void pause(uint32_t) override {}
};

// The link over the scripted transport; its cancel request is the script's.
struct ScriptedLink {
    ScriptedLink() {
        link.cancelRequested = [] { return script.cancel; };
    }
    ScriptedTransport transport;
    T58Link link{transport};
};

[[noreturn]] void violation() {
    __builtin_trap();
}

bool next(uint8_t* out) {
    if (script.at >= script.size || ++script.transfers > kMaxTransfers) {
        return false;
    }
    *out = script.data[script.at++];
    return true;
}

uint8_t nextOr(uint8_t fallback) {
    uint8_t v = fallback;
    return next(&v) ? v : fallback;
}

int le16(const uint8_t* p) {
    return p[0] | (p[1] << 8);
}

// Every frame is closed: start byte, its own length, a checksum that sums it to zero.
void checkEnvelope(const uint8_t* buf, int32_t len) {
    if (len < 6 || static_cast<size_t>(len) > kSendBuffBytes || buf[0] != 0x66 ||
        le16(buf + 1) != len) {
        violation();
    }
    uint8_t sum = 0;
    for (int32_t i = 0; i < len; ++i) {
        sum = static_cast<uint8_t>(sum + buf[i]);
    }
    if (sum != 0 || (buf[3] != 0x10 && buf[3] != 0x1B)) {
        violation();
    }
    if (buf[3] == 0x10 && (len != 6 || std::memcmp(buf, heartBeat, 6) != 0)) {
        violation();
    }
}

void checkPrintFrame(const uint8_t* buf, int32_t len) {
    if (script.stopSeen) {
        violation(); // the printer said stop this page
    }
    const uint8_t* h = buf + 4;
    if (len < 18 || h[0] != (0xE0 | (script.job.blackness & 0x1F)) ||
        h[1] != (script.job.cutterSet & 7) || le16(h + 2) != (script.job.copies & 0xFFFF) ||
        h[6] != 1 || h[12] != 0) {
        violation();
    }
    PrintFrame frame{std::vector<uint8_t>(buf, buf + len), le16(h + 4), h[11]};
    if (frame.copyNo < 1 || frame.copyNo > script.job.copies) {
        violation();
    }
    // Consecutive blocks differ in the blocks to follow, copies in the copy number: the
    // same frame twice in a row is a resend, which only a refusal asks for, ten sends at most.
    if (!script.lastPrint.bytes.empty() && frame.bytes == script.lastPrint.bytes) {
        if (!script.lastPrintRefused || ++script.sendsOfFrame > kMaxSends) {
            violation();
        }
    } else {
        script.sendsOfFrame = 1;
    }
    script.lastPrint = frame;
    script.lastPrintRefused = false;
}

int failTransfer(int32_t* transferred, int rc) {
    *transferred = 0;
    return rc;
}

} // namespace

void scriptStart(const uint8_t* data, size_t size, const ScriptJob& job) {
    script = Script{};
    script.data = data;
    script.size = size;
    script.job = job;
}

T58Link& scriptedLink() {
    static ScriptedLink scripted;
    return scripted.link;
}

int ScriptedTransport::write(const uint8_t* buf, int32_t len, int32_t* transferred) {
    checkEnvelope(buf, len);
    const bool print = buf[3] == 0x1B;
    if (print) {
        checkPrintFrame(buf, len);
    }
    script.replyDue = false;
    script.lastWasPrint = print;
    uint8_t op = 0;
    if (!next(&op)) {
        return failTransfer(transferred, LIBUSB_ERROR_NO_DEVICE);
    }
    script.cancel = (op & 0x80) != 0;
    switch (op & 7) {
    case 5:
        *transferred = len - 1 - nextOr(0) % len;
        // A status poll does not look at how much of its request went out; a print-data
        // frame not sent whole ends the page without a read.
        script.replyDue = !print;
        return 0;
    case 6:
        return failTransfer(transferred, LIBUSB_ERROR_IO);
    case 7:
        return failTransfer(transferred, LIBUSB_ERROR_TIMEOUT);
    default:
        *transferred = len;
        script.replyDue = true;
        return 0;
    }
}

int ScriptedTransport::read(uint8_t* buf, int32_t len, int32_t* transferred) {
    // The backend never reads without having sent a whole frame first.
    if (!script.replyDue || len != kRecvBuffSize || buf != scriptedLink().recvBuff) {
        violation();
    }
    script.replyDue = false;
    uint8_t op = 0;
    if (!next(&op)) {
        return failTransfer(transferred, LIBUSB_ERROR_NO_DEVICE);
    }
    script.cancel = (op & 0x80) != 0;
    switch (op & 7) {
    case 5:
        return failTransfer(transferred, LIBUSB_ERROR_IO);
    case 6:
        return failTransfer(transferred, LIBUSB_ERROR_TIMEOUT);
    case 7:
        return failTransfer(transferred, LIBUSB_ERROR_NO_DEVICE);
    default:
        break;
    }
    const int32_t length = (op & 8) ? kRecvBuffSize : nextOr(0) % (kRecvBuffSize + 1);
    uint8_t reply[kRecvBuffSize] = {0x66, 0x40, 0x00, 0x10};
    reply[4] = nextOr(0);
    reply[6] = nextOr(1);
    reply[35] = nextOr(0);
    std::memcpy(buf, reply, static_cast<size_t>(length));
    *transferred = length;
    // What the backend sees of the reply: bytes past a short one are cleared.
    const bool counted = length >= kMinReplyBytes;
    const int jobState = length > 35 ? (reply[35] & 0x60) : 0;
    if (script.lastWasPrint && counted) {
        script.lastPrintRefused = (reply[4] & 0x40) != 0;
        script.stopSeen = jobState == 0x60;
        if (!script.lastPrintRefused && !script.stopSeen) {
            script.taken.push_back(script.lastPrint);
        }
    } else if (counted) {
        script.lastStatusJobState = jobState;
    }
    return 0;
}

namespace {

// The block a taken frame carries: its index is known from the blocks to follow, of
// which the frame holds the low 8 bits only.
bool frameIsBlockOfPage(const PrintFrame& frame, const uint8_t* page, int32_t lines,
                        int32_t rowBytes) {
    static uint8_t plain[kSendBuffBytes];
    const uint8_t* h = frame.bytes.data() + 4;
    lzo_uint out = sizeof(plain);
    const auto packed = static_cast<lzo_uint>(frame.bytes.size() - 18);
    if (le16(h + 7) != (lines & 0xFFFF) ||
        lzo1x_decompress_safe(frame.bytes.data() + 17, packed, plain, &out, nullptr) != LZO_E_OK) {
        return false;
    }
    const int32_t t58SplitRows = scriptedLink().head.t58SplitRows;
    const int32_t blocks = (lines + t58SplitRows - 1) / t58SplitRows;
    for (int32_t index = blocks - 1 - frame.follow; index >= 0; index -= 256) {
        const int32_t blockLines =
            index == blocks - 1 ? lines - index * t58SplitRows : t58SplitRows;
        const size_t bytes = static_cast<size_t>(blockLines) * static_cast<size_t>(rowBytes);
        if (le16(h + 9) == blockLines && out == bytes &&
            std::memcmp(plain, page + static_cast<size_t>(index) * t58SplitRows * rowBytes,
                        bytes) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

void scriptCheckPrint(int32_t result, const uint8_t* page, int32_t lines, int32_t rowBytes) {
    if (result != 0 && result != 1 && result != 2 && result != 3 && result != -3) {
        violation();
    }
    if (result == -3 && script.lastStatusJobState != 0x60) {
        violation();
    }
    for (const PrintFrame& frame : script.taken) {
        if (!frameIsBlockOfPage(frame, page, lines, rowBytes)) {
            violation();
        }
    }
}
