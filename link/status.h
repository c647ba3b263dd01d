#pragma once

#include "link/t58_link.h"

#include <cstdint>
#include <span>

extern const uint8_t heartBeat[6];

// The parts of a status reply the driver acts on; every reader of a reply uses this.
struct T58Status {
    uint8_t conditions = 0; // byte 4
    uint8_t notReady = 0;   // byte 4 bits 0-5
    bool bRefused = false;  // byte 4 bit 6: the last print-data block was not taken
    bool bBusy = false;     // byte 4 bit 7
    uint8_t headType = 0;   // byte 6 bits 0-2: 0 the 203 dpi head, 1 the 300 dpi head
    uint8_t jobState = 0;   // byte 35 & 0x60: 0x00, 0x20 (wait), 0x40, 0x60 (stop the page)

    bool isFree() const { return notReady == 0 && !bBusy; }
    bool mayStartCopy() const { return isFree() && (jobState == 0x00 || jobState == 0x40); }
    bool stopsPage() const { return jobState == 0x60; }
};

// Decodes a reply as it lies in a reply buffer; bytes beyond the span read as zero.
T58Status decodeStatus(std::span<const uint8_t> reply);
// The head geometry of a head type; false for a type the driver does not support.
bool headOfType(uint8_t headType, HeadGeometry* head);

uint8_t GetCheckSum(const uint8_t* data, int32_t len);
int usbRead(T58Link& link, uint8_t* buf, int32_t len, int32_t* transferred);
int usbWrite(T58Link& link, const uint8_t* buf, int32_t len, int32_t* transferred);
// Reads one reply of at most kRecvBuffSize bytes into recvBuff, cleared first.
int usbReadReply(T58Link& link, int32_t* transferred);
int t58IsFree(T58Link& link);
int waitT58IsOK(T58Link& link);
int getDot_T58(T58Link& link);
