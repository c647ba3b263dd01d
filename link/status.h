#pragma once

#include "link/results.h"
#include "link/t58_link.h"

#include <cstdint>
#include <span>

extern const uint8_t heartBeat[6];

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
ReadyResult waitT58IsOK(T58Link& link);
int getDot_T58(T58Link& link);
