#include "backend/cancel.h"

#include <unistd.h>

volatile sig_atomic_t bSysCancel = 0;

// Signal context: only the flag and one write(2) of the log line.
void cancel_job(int) {
    bSysCancel = 1;
    static constexpr char kLine[] = "tarvik_backend: cancel_job\n";
    ssize_t ignored = write(STDERR_FILENO, kLine, sizeof kLine - 1);
    (void)ignored;
}
