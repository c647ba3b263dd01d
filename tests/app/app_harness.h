#pragma once

// tarvik-printer-app run as a server for the tests: a child in a private mount namespace
// (its own /run for the command socket, its own /dev/shm), with a private state and spool
// folder, on a loopback port, printing to the virtual T58.

#include "tests/support/support.h"
#include "vt58/vt58.h"

#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace apptest {

using namespace std::chrono_literals;

// A TCP port on the loopback interface that was free a moment ago.
int freePort();

class AppServer {
  public:
    AppServer(const vt58::VirtualT58& printer, const std::string& dir,
              std::vector<std::string> extraArgs = {});
    ~AppServer();
    AppServer(const AppServer&) = delete;
    AppServer& operator=(const AppServer&) = delete;

    // Waits until the server answers and lists n printers.
    bool waitReady(size_t printers, std::chrono::milliseconds timeout = 20s);
    std::vector<std::string> printerNames() const;
    // Delete-Printer, as `tarvik-printer-app delete` sends it.
    bool deletePrinter(const std::string& name) const;
    // SIGTERM; true when the server then ended by itself within the wait.
    bool stop(std::chrono::milliseconds wait = 15s);

    int port() const { return port_; }
    std::string printerUri(const std::string& name) const;
    std::string log() const;
    // PAPPL's log file alone.
    std::string papplLog() const;
    // What the server wrote on its own stdout and stderr.
    std::string output() const;

  private:
    std::string dir_;
    int port_ = 0;
    int pid_ = -1;
};

// Writes pages as a PWG raster of the media at dpi (type "black_1", or "sgray_8" for grey),
// each page exactly the size PAPPL gives that media (the pixels of page i come from
// tsupport::randomPage(.., seed + i)). Returns the pages written.
std::vector<tsupport::RasterPage> writePwgLabel(const std::string& path, const char* media, int dpi,
                                                int pages, uint32_t seed,
                                                const char* type = "black_1");

// The backend's PPD defaults for the app's defaults on a 50 x 30 mm label.
inline const std::vector<std::pair<std::string, std::string>> kDefaultLabelPpd = {
    {"Blackness", "8"},
    {"CutterSet", "0"},
    {"RotationAngle", "0"},
    {"HorizontalOffset", "0"},
    {"HorizontalOffsetValue", "0"},
    {"VerticalOffset", "0"},
    {"VerticalOffsetValue", "0"},
    {"StpTemplateCM", "3"},
    {"StpTemplateMM", "0"}};

// The 1-bit page's dots as 8-bit grey (255 white), one byte a dot.
tsupport::RasterPage greyOf(const tsupport::RasterPage& page);

// A PNG of width x height 8-bit grey pixels (255 white); empty on failure.
std::string greyPng(const std::vector<uint8_t>& grey, uint32_t width, uint32_t height);

// Print-Job with ipptool; extra lines are ipptool ATTR lines of the job group. The job id, or
// -1 with ipptool's output in *out.
int ipptoolPrint(const std::string& printerUri, const std::string& file, const std::string& format,
                 const std::vector<std::string>& jobAttrs, std::string* out = nullptr);
// Set-Printer-Attributes with ipptool (ATTR lines of the printer group); true when accepted.
bool ipptoolSetPrinter(const std::string& printerUri, const std::vector<std::string>& attrs,
                       std::string* out = nullptr);

// An operation on the printer without attributes of its own (Pause-Printer, Resume-Printer);
// true when accepted.
bool ipptoolPrinterOp(const std::string& printerUri, const char* op, std::string* out = nullptr);

// Create-Printer on the system, as `tarvik-printer-app add` sends it; true when accepted.
bool ipptoolCreatePrinter(int port, const std::string& name, const std::string& deviceUri,
                          const std::string& driver, std::string* out = nullptr);

struct JobEnd {
    int state = 0; // IPP job-state; 0 when it did not end in time
    std::string reasons;
    std::string message;
};
JobEnd waitJob(const std::string& printerUri, int jobId, std::chrono::milliseconds timeout = 60s);
// A printer attribute as text ("" when absent).
std::string printerAttr(const std::string& printerUri, const char* name);

// The pages the backend prints of the same raster with the same PPD defaults, on a virtual
// T58 with the given head byte.
std::vector<vt58::PrintedPage>
backendPrints(const std::vector<tsupport::RasterPage>& pages, uint8_t headByte, int copies,
              const std::vector<std::pair<std::string, std::string>>& ppd);

// The printer the app makes of the first T58 of the virtual bus.
inline constexpr const char* kFirstPrinter = "T58-VT58-0001";

// The app serving the printers of a virtual T58 from a folder of its own.
struct App {
    tsupport::TempDir dir{"tarvik-app"};
    vt58::VirtualT58 printer;
    std::unique_ptr<AppServer> server;

    // serverArgs: more of the server's command line ("-o", "name=value").
    explicit App(vt58::Scenario s, size_t printers = 1, std::vector<std::string> serverArgs = {})
        : printer(std::move(s)), printers_(printers), serverArgs_(std::move(serverArgs)) {
        if (printer.ok()) {
            start();
        }
    }
    // A new server on the same state and spool (after server->stop()).
    void start() {
        server = std::make_unique<AppServer>(printer, dir.path(), serverArgs_);
        ready = server->waitReady(printers_);
    }
    std::string uri(const char* name = kFirstPrinter) const { return server->printerUri(name); }
    // Pages finished on the printer once the job has ended.
    std::vector<vt58::PrintedPage> pagesAfter(int jobId, JobEnd* end = nullptr,
                                              const char* name = kFirstPrinter) {
        JobEnd e = waitJob(uri(name), jobId);
        if (end != nullptr) {
            *end = e;
        }
        return printer.pages();
    }
    bool ready = false;

  private:
    size_t printers_;
    std::vector<std::string> serverArgs_;
};

#define REQUIRE_APP(app)                                                                           \
    if (geteuid() != 0) {                                                                          \
        GTEST_SKIP() << "needs root for a private mount namespace";                                \
    }                                                                                              \
    ASSERT_TRUE((app).printer.ok()) << (app).printer.setupError();                                 \
    ASSERT_TRUE((app).ready) << (app).server->log()

// Two printers side by side: "T58-VT58-0001" with the 203 dpi head, "T58-VT58-0002" with the
// 300 dpi head.
inline vt58::Scenario twoHeads() {
    vt58::Scenario s;
    s.layout = vt58::Layout::TwoPrinters;
    s.printers.resize(2);
    s.printers[0].headByte = 0;
    s.printers[1].headByte = 1;
    return s;
}

// One printer with the given head byte (0: 203 dpi, 1: 300 dpi).
inline vt58::Scenario head(uint8_t headByte) {
    vt58::Scenario s;
    s.headByte = headByte;
    return s;
}

} // namespace apptest
