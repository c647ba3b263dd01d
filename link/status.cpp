// Device frames and status: the status request, the reply and the three polls built on it.
#include "link/status.h"

#include <cstring>

const uint8_t heartBeat[6] = {0x66, 0x06, 0x00, 0x10, 0x00, 0x84};

namespace {

constexpr size_t kByteConditions = 4;
constexpr size_t kByteHeadType = 6;
constexpr size_t kByteJobState = 35;
constexpr uint8_t kNotReadyMask = 0x3F;
constexpr uint8_t kRefusalBit = 0x40;
constexpr uint8_t kBusyBit = 0x80;
constexpr uint8_t kJobStateMask = 0x60;
constexpr uint32_t kFreePollUs = 50000;
constexpr uint32_t kReadyPollUs = 200000;

uint8_t byteAt(std::span<const uint8_t> reply, size_t i) {
    return i < reply.size() ? reply[i] : 0;
}

// Sends the status request and reads its reply into recvBuff; 0 when a reply of at least
// kMinReplyBytes arrived. The decoded reply becomes the link's last status.
int statusExchange(T58Link& link) {
    int32_t sent = 0;
    if (usbWrite(link, heartBeat, sizeof(heartBeat), &sent) != 0) {
        return -1;
    }
    int32_t got = 0;
    if (usbReadReply(link, &got) != 0 || got < kMinReplyBytes) {
        return -1;
    }
    link.lastStatus = decodeStatus(link.recvBuff);
    return 0;
}

} // namespace

T58Status decodeStatus(std::span<const uint8_t> reply) {
    T58Status status;
    status.conditions = byteAt(reply, kByteConditions);
    status.notReady = status.conditions & kNotReadyMask;
    status.bRefused = (status.conditions & kRefusalBit) != 0;
    status.bBusy = (status.conditions & kBusyBit) != 0;
    status.headType = byteAt(reply, kByteHeadType) & 7;
    status.jobState = byteAt(reply, kByteJobState) & kJobStateMask;
    return status;
}

bool headOfType(uint8_t headType, HeadGeometry* head) {
    switch (headType) {
    case 0:
        *head = kHead203;
        return true;
    case 1:
        *head = kHead300;
        return true;
    default:
        return false;
    }
}

uint8_t GetCheckSum(const uint8_t* data, int32_t len) {
    uint8_t sum = 0;
    for (int32_t i = 0; i < len; ++i) {
        sum = static_cast<uint8_t>(sum - data[i]);
    }
    return sum;
}

int usbRead(T58Link& link, uint8_t* buf, int32_t len, int32_t* transferred) {
    return link.transport.read(buf, len, transferred);
}

int usbWrite(T58Link& link, const uint8_t* buf, int32_t len, int32_t* transferred) {
    return link.transport.write(buf, len, transferred);
}

int usbReadReply(T58Link& link, int32_t* transferred) {
    // A reply shorter than the buffer leaves zeroes behind it, never bytes of an earlier
    // reply: a 13..35-byte reply reads as job state 0x00.
    std::memset(link.recvBuff, 0, sizeof(link.recvBuff));
    return usbRead(link, link.recvBuff, kRecvBuffSize, transferred);
}

int t58IsFree(T58Link& link) {
    link.replayData = link.recvBuff;
    for (;;) {
        link.log.progress("t58IsFree .....\n");
        if (statusExchange(link) != 0) {
            return -1;
        }
        const T58Status& status = link.lastStatus;
        if (status.isFree()) {
            return 0;
        }
        link.log.progress("t58IsFree .....%d   %d\n", status.notReady, status.conditions >> 7);
        // A cancelled job does not wait for a printer that may never get free.
        if (link.cancelled()) {
            return -1;
        }
        link.transport.pause(kFreePollUs);
    }
}

ReadyResult waitT58IsOK(T58Link& link) {
    link.replayData = link.recvBuff;
    for (;;) {
        if (statusExchange(link) != 0) {
            return ReadyResult::Failed;
        }
        const T58Status& status = link.lastStatus;
        if (status.mayStartCopy()) {
            return ReadyResult::Ready;
        }
        if (status.stopsPage()) {
            return ReadyResult::PageStopped;
        }
        // A cancelled job does not wait for a printer that may never get ready.
        if (link.cancelled()) {
            return ReadyResult::Failed;
        }
        link.transport.pause(kReadyPollUs);
    }
}

int getDot_T58(T58Link& link) {
    link.replayData = link.recvBuff;
    if (statusExchange(link) != 0) {
        return -1;
    }
    return headOfType(link.lastStatus.headType, &link.head) ? 0 : -1;
}
