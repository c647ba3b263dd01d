#pragma once

#include "link/usb_printer.h"
#include "printer-app/formats.h"
#include "printer-app/scaling.h"

#include <pappl/pappl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// The parts of tarvik-printer-app: the device scheme, the drivers, the job path, the
// printer's status and its web page. Every printer keeps its own state; nothing is shared
// between two printers.
namespace tarvik_app {

inline constexpr const char* kScheme = "tarvik";
inline constexpr const char* kDriver203 = "t58_203dpi";
inline constexpr const char* kDriver300 = "t58_300dpi";

// What a printer's web page shows: the last head page sent and the last status seen.
class PrinterState {
  public:
    struct Label {
        int32_t rowBytes = 0;
        int32_t lines = 0;
        std::vector<uint8_t> dots; // lines x rowBytes, 1 = a black dot, MSB first
        int32_t copies = 0;
        int jobId = 0;
    };

    void setLabel(Label label);
    Label label() const;
    void setStatus(std::string text);
    std::string status() const;
    // Jobs the app held so that the oldest one prints next; released when it starts.
    bool noteHeld(int jobId);
    std::vector<int> takeHeld();
    // PAPPL 1.3 can start a printer's jobs in two threads at once (a second check for work
    // before the first thread marks its job processing): a second thread for a job already
    // claimed never prints it, and one job prints at a time, the oldest first.
    bool claim(int jobId);
    bool claimed(int jobId) const;
    // After claim: waits until no other job prints and no older one waits; olderComing tells
    // whether an older job of this printer was started but has not claimed yet (waited for a
    // moment).
    void takeTurn(int jobId,
                  const std::function<bool(std::chrono::milliseconds waited)>& olderComing);
    void endTurn();
    // A turn for a status question, only when no job prints or waits: a job's link is
    // never asked from another thread.
    bool tryTurn();

  private:
    mutable std::mutex mutex_;
    Label label_;
    std::string status_;
    std::vector<int> held_;
    std::set<int> claimed_;
    std::set<int> waiting_;
    bool printing_ = false;
    std::condition_variable turn_;
};

// The driver data's extension of a printer; nullptr for a printer of another driver.
PrinterState* printerState(pappl_printer_t* printer);

// The core's lines of one device, in PAPPL's log under the name of the printer that uses
// the device (none before one does).
class CoreLineSink final : public LineSink {
  public:
    void usedBy(pappl_printer_t* printer) { printer_.store(printer); }
    void write(LineKind kind, LineLevel level, std::string_view text) override;

  private:
    std::atomic<pappl_printer_t*> printer_{nullptr};
};

// One opened tarvik device: the printer's USB link for the jobs of one device session.
struct DeviceData {
    explicit DeviceData(std::string serial) : printer(std::move(serial)) {
        printer.setSink(&coreLines);
    }
    CoreLineSink coreLines;
    T58UsbPrinter printer;
    bool linkOpen = false;
};

DeviceData* deviceData(pappl_device_t* device);

// device.cpp
void registerScheme();
std::string deviceIdOf(const std::string& serial);

// driver.cpp
extern pappl_pr_driver_t kDrivers[2];
const char* autoaddDriver(const char* device_info, const char* device_uri, const char* device_id,
                          void* data);
bool driverSetup(pappl_system_t* system, const char* driver_name, const char* device_uri,
                 const char* device_id, pappl_pr_driver_data_t* data, ipp_t** attrs, void* cbdata);
void printerCreated(pappl_printer_t* printer, void* data);
// The driver a printer was set up with (what "auto" chose).
const char* driverNameOf(pappl_printer_t* printer);

// job.cpp
bool startJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool startPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device,
               unsigned page);
bool writeLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned y,
               const unsigned char* line);
bool endPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool endJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);

// queue.cpp: PAPPL 1.3 starts the newest pending job; these keep a printer's jobs in the
// order it received them.
void holdYoungerJobs(pappl_job_t* ending);
void releaseHeldJobs(pappl_job_t* starting);
// At a stop, so that no job is saved held by the app.
void releaseAllHeld(pappl_system_t* system);
// Whether an older job of the printer was started but its thread has not claimed it yet.
bool olderJobComing(pappl_job_t* job, std::chrono::milliseconds waited);

// The job's print-scaling, and its page's plan onto the job's label: the label's dots as
// PAPPL sizes its raster header, turned back by the quarter turns still to come, so that
// they land the page on the label. Logged with the page's number.
Scaling scalingOf(pappl_scaling_t scaling);
ScalePlan planJobPage(pappl_job_t* job, const pappl_pr_options_t& options, const PageGeometry& page,
                      int32_t quarterTurns, unsigned pageNo);

// Ends a job a filter cannot print: aborted, with the reason and the message a user reads.
bool refuseJob(pappl_job_t* job, pappl_jreason_t reason, const char* message);

// raster_filter.cpp: a spooled PWG or Apple raster, page by page through the job path.
bool printSpooledRaster(pappl_job_t* job, pappl_device_t* device, void* data);

// testpage.cpp: the test page as a document of the format kTestPage, and PAPPL's
// testpage_cb, which makes a job of it.
bool printTestPage(pappl_job_t* job, pappl_device_t* device, void* data);
const char* testPageJob(pappl_printer_t* printer, char* buffer, size_t bufsize);

// icon.cpp: the printer's icons for the driver data (small, medium, large).
void setIcons(pappl_pr_driver_data_t* data);

// status.cpp
pappl_preason_t reasonsOf(const T58Status& status);
std::string statusText(const T58Status& status);
bool updateStatus(pappl_printer_t* printer);
// Opens the link of an opened device; keeps it open until closeLink.
OpenResult openLink(DeviceData& dev);
void closeLink(DeviceData& dev);
// One status exchange with the printer, on its open link or on one opened for it; false
// when the printer does not answer.
bool askStatus(DeviceData& dev, T58Status* status);

// web.cpp: the app's pages of the printer (Last Label, T58 Settings).
void addWebPages(pappl_printer_t* printer);
// The printer of a page callback's data (its printer id).
pappl_printer_t* printerOfPage(pappl_client_t* client, void* data);
// The printer's state in a few words ("Ready", "Printing", "Offline" ...).
std::string stateWords(pappl_printer_t* printer);
// The label as a 1-bit greyscale PNG; empty on failure.
std::vector<uint8_t> labelPng(const PrinterState::Label& label);
// Pixels in a libpng simplified-API format (PNG_FORMAT_GRAY, PNG_FORMAT_RGBA) as a PNG file;
// empty on failure.
std::vector<uint8_t> encodePng(uint32_t width, uint32_t height, uint32_t format,
                               const std::vector<uint8_t>& pixels);

// settings_page.cpp: the cutter and rotation defaults by name; id as printerOfPage takes it.
void addSettingsPage(pappl_printer_t* printer, void* id);

} // namespace tarvik_app
