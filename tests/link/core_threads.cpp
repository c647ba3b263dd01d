// Drives several T58s at once from one process, one thread per printer, through the whole
// core: open by serial, head query, status polls, assembly, dumps, transmission, close.
//   core_threads SERIAL:ROTATION:DARKNESS:XOFFSET:PAGES ...
// Each thread prints PAGES pages of a pattern page of its own; one line per page goes to
// standard output: "SERIAL page N result R".
#include "link/transmit.h"
#include "link/usb_printer.h"
#include "tests/link/thread_pages.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex outputLock;

void report(const std::string& serial, int page, int result) {
    const std::lock_guard<std::mutex> hold(outputLock);
    std::printf("%s page %d result %d\n", serial.c_str(), page, result);
    std::fflush(stdout);
}

void drive(const threadpages::Job& job) {
    T58UsbPrinter printer(job.serial);
    printer.link.work.dumps.tag = job.serial;
    for (int page = 0; page < job.pages; ++page) {
        std::vector<uint8_t> pixels = threadpages::pattern(job, page);
        PageData pd = threadpages::record(job, pixels);
        int result = 1;
        // A printer that vanished comes back; its page waits for it, as the backend's does.
        for (int attempt = 0;
             attempt < 50 && (result = static_cast<int>(init_t58(printer.link))) != 0; ++attempt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (result == 0) {
            result = numberOf(t58_Print(printer.link, pd.copies, &pd));
            close_t58(printer.link);
        }
        report(job.serial, page, result);
    }
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::thread> threads;
    for (int i = 1; i < argc; ++i) {
        threadpages::Job job;
        if (!threadpages::parse(argv[i], &job)) {
            std::fprintf(stderr, "bad job %s\n", argv[i]);
            return 2;
        }
        threads.emplace_back(drive, job);
    }
    for (std::thread& t : threads) {
        t.join();
    }
    return 0;
}
