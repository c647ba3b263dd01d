#pragma once

#include "diag/log.h"
#include "image/assemble.h"
#include "image/head.h"
#include "link/results.h"
#include "link/t58_status.h"
#include "link/transport.h"

#include <cstdint>
#include <functional>

constexpr int32_t kRecvBuffSize = 64;
constexpr int32_t kMinReplyBytes = 13;
constexpr int32_t kSendBuffSize = 4096;
constexpr int32_t kWrkmemSize = 131072;

// Everything of one printer link and of the page on its way to that printer: the head
// geometry, the reply and frame buffers, the compressor's work memory and the scratch pages.
// Two links never share a byte, so each may run in a thread of its own.
struct T58Link {
    // transport: how frames reach the printer (kept by the caller, outlives the link).
    explicit T58Link(T58Transport& transport);
    T58Link(const T58Link&) = delete;
    T58Link& operator=(const T58Link&) = delete;

    bool cancelled() const { return cancelRequested && cancelRequested(); }

    T58Transport& transport;
    // Where the link's and its pages' lines go (none by default).
    CoreLog log;
    // The job's cancel request, asked between status polls; a link without one is never
    // cancelled. With bStopAtBlocks it is also asked before each copy and each block, so a
    // cancelled page ends at a block boundary (a frame is never cut).
    std::function<bool()> cancelRequested;
    bool bStopAtBlocks = false;
    // Asked before each copy only: a stop between two labels, never inside one.
    std::function<bool()> stopBeforeCopy;
    // The copy numbers of the next t58_Print start after this many (copies already printed
    // before a restart); copyDone is told each copy number that went out to its last block.
    int32_t firstCopy = 0;
    std::function<void(int32_t copyNo)> copyDone;
    HeadGeometry head;
    // The last status reply, decoded; after t58_Print it tells whether the printer stopped
    // the page (job state 0x60), which t58_Print's result of 0 does not.
    T58Status lastStatus;
    // Copies of the last t58_Print that went out to their last block.
    int32_t copiesSent = 0;
    uint8_t recvBuff[kRecvBuffSize] = {};
    uint8_t* replayData = recvBuff;
    uint8_t sendBuff[kSendBuffSize] = {};
    uint8_t* pHeader = sendBuff;
    uint8_t* pData1b = sendBuff + 4;
    alignas(16) uint8_t wrkmem[kWrkmemSize] = {};
    PageWork work;
};

// Opens the link and learns the head (on any failure nothing stays open).
OpenResult init_t58(T58Link& link);
void close_t58(T58Link& link);
