#pragma once

#include <cstdint>

// Head geometry, set by every successful head-type query.
extern int32_t xDpi;
extern int32_t yDpi;
extern int32_t t58RowBytes;
extern int32_t t58SplitRows;

constexpr int32_t kRecvBuffSize = 64;
constexpr int32_t kMinReplyBytes = 13;

extern const uint8_t heartBeat[6];
extern uint8_t recvBuff[kRecvBuffSize];
extern uint8_t* replayData;

uint8_t GetCheckSum(const uint8_t* data, int32_t len);
// Reads one reply of at most kRecvBuffSize bytes into recvBuff, cleared first.
int usbReadReply(int32_t* transferred);
int t58IsFree();
int waitT58IsOK();
int getDot_T58();
