#pragma once

#include <cstdint>

// What the link's procedures report, with the numbers the backend's log has always shown.

// init_t58: the link is open and the head known, or nothing stays open.
enum class OpenResult : int { Opened = 0, Failed = 1 };

// waitT58IsOK: the printer may take the next copy, the link failed (or the job was
// cancelled), or the printer stops the page.
enum class ReadyResult : int { Ready = 0, Failed = -1, PageStopped = -99 };

// t58_Print. Printed also ends a page the printer stopped after a block (lastStatus tells).
enum class PrintResult : int32_t {
    Printed = 0,
    LinkFailed = 1,
    NotFree = 2,
    CompressFailed = 3,
    Refused = -1,
    StoppedAtPrinter = -3,
};

// The result in words, as a user reads it.
const char* resultText(PrintResult result);
const char* resultText(OpenResult result);

// The number a log line shows.
constexpr int32_t numberOf(PrintResult result) {
    return static_cast<int32_t>(result);
}
