#pragma once

#include <cstdint>

// The seam between the printer's protocol and the bus: the protocol code speaks to a T58
// only through these calls. The USB transport is the real one; a scripted one may stand in.
class T58Transport {
  public:
    virtual ~T58Transport() = default;

    // Finds, opens and claims the printer afresh (what an earlier open left open is released
    // first, never reused); 0, or -1 on failure (nothing stays open).
    virtual int open() = 0;
    // One transfer each; libusb's result (0 on success) with the count of bytes moved.
    virtual int write(const uint8_t* buf, int32_t len, int32_t* transferred) = 0;
    virtual int read(uint8_t* buf, int32_t len, int32_t* transferred) = 0;
    // Releases everything open() opened; harmless when nothing is open.
    virtual void close() = 0;
    // The pause between two status polls.
    virtual void pause(uint32_t microseconds);
};
