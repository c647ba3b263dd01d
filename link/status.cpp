// Device frames and status: the status request, the reply and the three polls built on it.
#include "link/status.h"

#include "backend/cancel.h"
#include "link/usb.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

const uint8_t heartBeat[6] = {0x66, 0x06, 0x00, 0x10, 0x00, 0x84};
uint8_t recvBuff[kRecvBuffSize] = {};
uint8_t* replayData = recvBuff;

namespace {

constexpr int kByteConditions = 4;
constexpr int kByteHeadType = 6;
constexpr int kByteJobState = 35;
constexpr uint8_t kNotReadyMask = 0x3F;
constexpr uint8_t kBusyBit = 0x80;
constexpr uint8_t kJobStateMask = 0x60;
constexpr uint8_t kJobStateStop = 0x60;
constexpr useconds_t kFreePollUs = 50000;
constexpr useconds_t kReadyPollUs = 200000;

bool replyIsFree() {
    return (replayData[kByteConditions] & (kNotReadyMask | kBusyBit)) == 0;
}

uint8_t jobState() {
    return replayData[kByteJobState] & kJobStateMask;
}

// Sends the status request and reads its reply into recvBuff; 0 when a reply of at least
// kMinReplyBytes arrived.
int statusExchange() {
    uint8_t request[sizeof(heartBeat)];
    std::memcpy(request, heartBeat, sizeof(request));
    int32_t sent = 0;
    if (usbWrite(request, sizeof(request), &sent) != 0) {
        return -1;
    }
    int32_t got = 0;
    if (usbReadReply(&got) != 0 || got < kMinReplyBytes) {
        return -1;
    }
    return 0;
}

} // namespace

uint8_t GetCheckSum(const uint8_t* data, int32_t len) {
    uint8_t sum = 0;
    for (int32_t i = 0; i < len; ++i) {
        sum = static_cast<uint8_t>(sum - data[i]);
    }
    return sum;
}

int usbReadReply(int32_t* transferred) {
    // A reply shorter than the buffer leaves zeroes behind it, never bytes of an earlier
    // reply: a 13..35-byte reply reads as job state 0x00.
    std::memset(recvBuff, 0, sizeof(recvBuff));
    return usbRead(recvBuff, kRecvBuffSize, transferred);
}

int t58IsFree() {
    replayData = recvBuff;
    for (;;) {
        std::printf("t58IsFree .....\n");
        std::fflush(stdout);
        if (statusExchange() != 0) {
            return -1;
        }
        if (replyIsFree()) {
            return 0;
        }
        const uint8_t conditions = replayData[kByteConditions];
        std::printf("t58IsFree .....%d   %d\n", conditions & kNotReadyMask, conditions >> 7);
        std::fflush(stdout);
        // A cancelled job does not wait for a printer that may never get free.
        if (bSysCancel != 0) {
            return -1;
        }
        usleep(kFreePollUs);
    }
}

int waitT58IsOK() {
    replayData = recvBuff;
    for (;;) {
        if (statusExchange() != 0) {
            return -1;
        }
        const uint8_t state = jobState();
        if (replyIsFree() && (state == 0x00 || state == 0x40)) {
            return 0;
        }
        if (state == kJobStateStop) {
            return -99;
        }
        // A cancelled job does not wait for a printer that may never get ready.
        if (bSysCancel != 0) {
            return -1;
        }
        usleep(kReadyPollUs);
    }
}

int getDot_T58() {
    replayData = recvBuff;
    if (statusExchange() != 0) {
        return -1;
    }
    switch (replayData[kByteHeadType] & 7) {
    case 0:
        xDpi = yDpi = 203;
        t58RowBytes = 48;
        t58SplitRows = 36;
        return 0;
    case 1:
        xDpi = yDpi = 300;
        t58RowBytes = 72;
        t58SplitRows = 24;
        return 0;
    default:
        return -1;
    }
}
