// Plug and print. libusb's hotplug events, taken on a thread of the app's own with a libusb
// context of its own, rather than the udev rule starting "autoadd": the server sees a T58
// arrive and leave while it runs, on any system, with or without systemd, and asks nothing
// of a printer until it changes. Without hotplug support the bus is looked at every 2 s.
#include "printer-app/arrivals.h"

#include "link/discover.h"
#include "link/usb.h"
#include "printer-app/app.h"
#include "printer-app/service.h"

#include <libusb.h>

#include <chrono>
#include <vector>

namespace tarvik_app {

namespace {

constexpr int kHandleMs = 250;
constexpr int kPollMs = 2000;
// A T58 just plugged in may not answer its first question; asked again at the next turns.
constexpr int kRetries = 4;

int LIBUSB_CALL onHotplug(libusb_context*, libusb_device*, libusb_hotplug_event, void* self) {
    static_cast<Arrivals*>(self)->noteChange();
    return 0;
}

pappl_printer_t* printerWithUri(pappl_system_t* system, const std::string& uri) {
    struct Find {
        const std::string* uri;
        pappl_printer_t* found = nullptr;
    } find{&uri};
    papplSystemIteratePrinters(
        system,
        [](pappl_printer_t* printer, void* data) {
            auto* f = static_cast<Find*>(data);
            const char* device = papplPrinterGetDeviceURI(printer);
            if (f->found == nullptr && device != nullptr && *f->uri == device) {
                f->found = printer;
            }
        },
        &find);
    return find.found;
}

} // namespace

Arrivals::~Arrivals() {
    stop();
}

bool Arrivals::start(pappl_system_t* system, std::string knownFile) {
    system_ = system;
    knownFile_ = std::move(knownFile);
    loadKnown();
    if (libusb_init(&usb_) < 0) {
        usb_ = nullptr;
        papplLog(system_, PAPPL_LOGLEVEL_ERROR, "No USB: T58s are not added as they arrive.");
        return false;
    }
    hotplug_ = libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0 &&
               libusb_hotplug_register_callback(
                   usb_,
                   static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                                     LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
                   LIBUSB_HOTPLUG_NO_FLAGS, kT58VendorId, kT58ProductId, LIBUSB_HOTPLUG_MATCH_ANY,
                   onHotplug, this, nullptr) == LIBUSB_SUCCESS;
    papplLog(system_, PAPPL_LOGLEVEL_INFO, "T58s are added as they arrive (%s).",
             hotplug_ ? "USB hotplug" : "the bus looked at every 2 s");
    try {
        thread_ = std::thread(&Arrivals::run, this);
    } catch (...) {
        libusb_exit(usb_);
        usb_ = nullptr;
        return false;
    }
    return true;
}

void Arrivals::stop() {
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (usb_ != nullptr) {
        libusb_exit(usb_);
        usb_ = nullptr;
    }
}

void Arrivals::run() {
    auto lastPoll = std::chrono::steady_clock::now();
    bool ran = false;
    while (!stopping_) {
        // Printers are added to a running system only. A shutdown asked by IPP ends the
        // thread at once, well before PAPPL's loop ends and deletes the system.
        if (ran && papplSystemIsShutdown(system_)) {
            return;
        }
        if (!papplSystemIsRunning(system_)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        ran = true;
        if (hotplug_) {
            timeval tv{0, kHandleMs * 1000};
            libusb_handle_events_timeout_completed(usb_, &tv, nullptr);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(kHandleMs));
            const auto now = std::chrono::steady_clock::now();
            if (now - lastPoll >= std::chrono::milliseconds(kPollMs)) {
                lastPoll = now;
                changed_ = true;
            }
        }
        if (!stopping_ && changed_.exchange(false)) {
            try {
                scan();
            } catch (...) {
                changed_ = true;
            }
        }
    }
}

// Adds the T58s never added before; every printer of the system is asked its status, so
// that one pulled out shows offline and one plugged in again goes on with its jobs.
void Arrivals::scan() {
    bool unanswered = false;
    for (const T58Device& dev : listT58Devices()) {
        if (stopping_ || papplSystemIsShutdown(system_)) {
            return;
        }
        if (printerWithUri(system_, dev.uri) != nullptr) {
            if (known_.insert(dev.serial).second) {
                saveKnown();
            }
            continue;
        }
        if (known_.count(dev.serial) != 0) {
            continue;
        }
        const char* driver = autoaddDriver(nullptr, dev.uri.c_str(), nullptr, nullptr);
        if (driver == nullptr) {
            unanswered = true;
            continue;
        }
        const std::string name = dev.serial.empty() ? "T58" : "T58-" + dev.serial;
        if (papplPrinterCreate(system_, 0, name.c_str(), driver, dev.deviceId.c_str(),
                               dev.uri.c_str()) == nullptr) {
            papplLog(system_, PAPPL_LOGLEVEL_WARN, "Printer %s not added.", name.c_str());
            continue;
        }
        papplLog(system_, PAPPL_LOGLEVEL_INFO, "Added printer %s (%s).", name.c_str(), driver);
        known_.insert(dev.serial);
        saveKnown();
    }
    if (unanswered && retries_++ < kRetries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kHandleMs));
        changed_ = true;
    } else if (!unanswered) {
        retries_ = 0;
    }
    papplSystemIteratePrinters(
        system_, [](pappl_printer_t* printer, void*) { updateStatus(printer); }, nullptr);
}

// One serial a line; a printer without one is the empty line.
void Arrivals::loadKnown() {
    for (const std::string& serial : readLines(knownFile_)) {
        known_.insert(serial);
    }
}

void Arrivals::saveKnown() const {
    if (!writeWhole(knownFile_, {known_.begin(), known_.end()})) {
        papplLog(system_, PAPPL_LOGLEVEL_WARN, "Cannot keep the added printers in %s.",
                 knownFile_.c_str());
    }
}

} // namespace tarvik_app
