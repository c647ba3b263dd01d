// Test double of the printer calls: records what the job driver gave it, one line per
// call, in the file named by TARVIK_FAKE_RECORD. TARVIK_FAKE_INIT_FAILS makes the first n
// link opens fail, TARVIK_FAKE_RESULTS lists the results of successive prints, and
// TARVIK_FAKE_PRINT_MS makes each print take that long.
#include "backend/printer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

int envInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v != nullptr ? std::atoi(v) : fallback;
}

void record(const std::string& line) {
    const char* path = std::getenv("TARVIK_FAKE_RECORD");
    if (path == nullptr) {
        return;
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        std::string out = line + "\n";
        ssize_t ignored = write(fd, out.data(), out.size());
        (void)ignored;
        close(fd);
    }
}

uint64_t fnv1a(const uint8_t* data, size_t len) {
    uint64_t hash = 1469598103934665603ull;
    for (size_t i = 0; i < len; ++i) {
        hash = (hash ^ data[i]) * 1099511628211ull;
    }
    return hash;
}

int initCalls = 0;
int printCalls = 0;

int nthResult(int n) {
    const char* list = std::getenv("TARVIK_FAKE_RESULTS");
    for (int i = 0; list != nullptr && *list != '\0'; ++i) {
        char* end = nullptr;
        long value = std::strtol(list, &end, 10);
        if (i == n) {
            return static_cast<int>(value);
        }
        list = *end == ',' ? end + 1 : end;
    }
    return 0;
}

class RecordingPrinter final : public JobPrinter {
  public:
    OpenResult init_t58() override;
    PrintResult t58_Print(int32_t copies, PageData* pd) override;
    void close_t58() override;
};

OpenResult RecordingPrinter::init_t58() {
    ++initCalls;
    int ok = initCalls > envInt("TARVIK_FAKE_INIT_FAILS", 0);
    record("init " + std::string(ok ? "ok" : "fail"));
    return ok ? OpenResult::Opened : OpenResult::Failed;
}

PrintResult RecordingPrinter::t58_Print(int32_t copies, PageData* pd) {
    char line[512];
    size_t len = size_t(pd->rowBytes) * size_t(pd->h);
    snprintf(line, sizeof line,
             "print copies=%d w=%d h=%d rb=%d black=%u rot=%d cut=%u tcm=%d tmm=%d xdir=%d "
             "ydir=%d xval=%d yval=%d hash=%016llx",
             copies, pd->w, pd->h, pd->rowBytes, pd->blackness, pd->rotation, pd->cutterSet,
             pd->templateCM, pd->templateMM, pd->xOffsetDir, pd->yOffsetDir, pd->xOffsetValue,
             pd->yOffsetValue, static_cast<unsigned long long>(fnv1a(pd->data, len)));
    record(line);
    int ms = envInt("TARVIK_FAKE_PRINT_MS", 0);
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
    return static_cast<PrintResult>(nthResult(printCalls++));
}

void RecordingPrinter::close_t58() {
    record("close");
}

} // namespace

std::unique_ptr<JobPrinter> makeJobPrinter(const std::string& serial, const std::atomic<bool>*) {
    if (!serial.empty()) {
        record("serial " + serial);
    }
    return std::make_unique<RecordingPrinter>();
}
