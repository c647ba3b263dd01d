#pragma once

#include <cstdint>

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
