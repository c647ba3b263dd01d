#pragma once

// A scripted USB transport for fuzzing the printer link in-process: it stands in for the
// bulk transfers of link/usb.cpp. Every transfer takes its outcome, length and reply bytes
// from a script; when the script runs out the device is gone, so every poll ends. It also
// checks each frame the backend sends and the protocol's rules between frames, and traps
// on a violation.

#include "link/t58_link.h"

#include <cstddef>
#include <cstdint>

struct ScriptJob {
    int32_t copies = 0;
    uint8_t blackness = 0;
    uint8_t cutterSet = 0;
};

// The fuzz targets' one printer link, over the scripted transport; its polls take no time.
T58Link& scriptedLink();

// Starts a script; the transfers that follow consume it.
void scriptStart(const uint8_t* data, size_t size, const ScriptJob& job);
// Checks what a t58_Print call that returned `result` did; the page it sent is `page`
// (after the byte swap), `lines` lines of `rowBytes` bytes.
void scriptCheckPrint(int32_t result, const uint8_t* page, int32_t lines, int32_t rowBytes);
