// A small program on the link calls, run as a child against the virtual T58.
// Its log goes where the backend's goes, /dev/shm/t58print.log; results go to stdout.
//   link_probe init | free | wait       one call after init_t58, then close_t58
//   link_probe twice                    init_t58 (+ close_t58) two times
//   link_probe cycle N                  N times init_t58 + close_t58
//   link_probe retry N                  N times init_t58 alone (a printer that never opens)
#include "backend/cancel.h"
#include "backend/stdio_sink.h"
#include "link/status.h"
#include "link/usb_printer.h"

#include <dirent.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

T58UsbPrinter& printer() {
    static StdioSink sink;
    static T58UsbPrinter probe("");
    probe.setSink(&sink);
    return probe;
}

T58Link& link() {
    return printer().link;
}

int openDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    int n = 0;
    while (readdir(dir) != nullptr) {
        ++n;
    }
    closedir(dir);
    return n;
}

long residentKiB() {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer keeps freed memory resident (its quarantine): no measure here, while
    // its leak check covers what is not freed.
    return 0;
#endif
    FILE* f = std::fopen("/proc/self/status", "r");
    long kib = -1;
    char line[256];
    while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) {
            kib = std::atol(line + 6);
        }
    }
    if (f != nullptr) {
        std::fclose(f);
    }
    return kib;
}

void printLink(int rc) {
    const HeadGeometry& head = link().head;
    const UsbDeviceInfo& device = printer().usb.usb().qzDevice;
    std::printf("init %d geometry %d %d %d %d endpoints %02x %02x interface %d\n", rc, head.xDpi,
                head.yDpi, head.t58RowBytes, head.t58SplitRows, device.inEndpoint,
                device.outEndpoint, device.interfaceNumber);
}

int oneCall(const char* what) {
    const int rc = static_cast<int>(init_t58(link()));
    printLink(rc);
    if (rc != 0) {
        return 0;
    }
    if (std::strcmp(what, "twice") == 0) {
        close_t58(link());
        const int again = static_cast<int>(init_t58(link()));
        printLink(again);
        if (again != 0) {
            return 0;
        }
    }
    if (std::strcmp(what, "free") == 0) {
        std::printf("free %d\n", t58IsFree(link()));
    } else if (std::strcmp(what, "wait") == 0) {
        std::printf("wait %d\n", static_cast<int>(waitT58IsOK(link())));
    }
    close_t58(link());
    return 0;
}

// Warm-up rounds first, so that one-time allocations of the libraries do not count.
int repeat(int rounds, bool bClose) {
    int ok = 0;
    auto round = [&] {
        if (init_t58(link()) == OpenResult::Opened) {
            ++ok;
        }
        if (bClose) {
            close_t58(link());
        }
    };
    for (int i = 0; i < 5; ++i) {
        round();
    }
    const int fdsBefore = openDescriptors();
    const long rssBefore = residentKiB();
    for (int i = 0; i < rounds; ++i) {
        round();
    }
    std::printf("rounds ok %d fds %d %d rss %ld %ld\n", ok, fdsBefore, openDescriptors(), rssBefore,
                residentKiB());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (std::freopen("/dev/shm/t58print.log", "w", stderr) != nullptr) {
        setbuf(stderr, nullptr);
    }
    std::signal(SIGTERM, cancel_job);
    link().cancelRequested = [] { return bSysCancel.load(); };
    if (argc < 2) {
        return 2;
    }
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 0;
    if (std::strcmp(argv[1], "cycle") == 0) {
        return repeat(rounds, true);
    }
    if (std::strcmp(argv[1], "retry") == 0) {
        return repeat(rounds, false);
    }
    return oneCall(argv[1]);
}
