// The "tarvik" device scheme: PAPPL's own USB printing cannot read the T58's replies, so
// every T58 is reached through the shared core, one link per opened device.
#include "link/device_uri.h"
#include "link/discover.h"
#include "link/status.h"
#include "printer-app/app.h"

#include <cerrno>
#include <cstdio>
#include <new>
#include <string>

namespace tarvik_app {

namespace {

bool listDevices(pappl_device_cb_t cb, void* data, pappl_deverror_cb_t, void*) {
    try {
        for (const T58Device& dev : listT58Devices()) {
            const std::string info = dev.serial.empty()
                                         ? std::string(kT58MakeModel)
                                         : std::string(kT58MakeModel) + " (" + dev.serial + ")";
            if (cb(info.c_str(), dev.uri.c_str(), dev.deviceId.c_str(), data)) {
                return true;
            }
        }
    } catch (...) {
    }
    return false;
}

bool openDevice(pappl_device_t* device, const char* uri, const char*) {
    DeviceData* dev = nullptr;
    try {
        dev = new (std::nothrow) DeviceData(serialOfDeviceUri(uri));
    } catch (...) {
        dev = nullptr;
    }
    if (dev == nullptr || !dev->printer.link.work.ready()) {
        delete dev;
        papplDeviceError(device, "Not enough memory for the printer link.");
        return false;
    }
    // The head page is shown on the web page; the page dumps are not needed.
    dev->printer.link.work.dumps.enabled = false;
    papplDeviceSetData(device, dev);
    return true;
}

void closeDevice(pappl_device_t* device) {
    DeviceData* dev = deviceData(device);
    if (dev != nullptr) {
        closeLink(*dev);
        delete dev;
        papplDeviceSetData(device, nullptr);
    }
}

// The T58 speaks only in frames through the core: raw reads and writes are refused.
ssize_t readDevice(pappl_device_t*, void*, size_t) {
    errno = EIO;
    return -1;
}

ssize_t writeDevice(pappl_device_t*, const void*, size_t) {
    errno = EIO;
    return -1;
}

pappl_preason_t deviceStatus(pappl_device_t* device) {
    DeviceData* dev = deviceData(device);
    if (dev == nullptr) {
        return PAPPL_PREASON_OFFLINE;
    }
    T58Status status;
    if (!askStatus(*dev, &status)) {
        return PAPPL_PREASON_OFFLINE;
    }
    return reasonsOf(status);
}

char* deviceId(pappl_device_t* device, char* buffer, size_t size) {
    DeviceData* dev = deviceData(device);
    if (dev == nullptr || size == 0) {
        return nullptr;
    }
    std::snprintf(buffer, size, "%s", deviceIdOf(dev->printer.usb.usb().serial).c_str());
    return buffer;
}

} // namespace

void CoreLineSink::write(LineKind kind, LineLevel level, std::string_view text) {
    pappl_printer_t* printer = printer_.load();
    if (printer == nullptr) {
        return;
    }
    pappl_loglevel_t papplLevel = PAPPL_LOGLEVEL_DEBUG;
    if (kind == LineKind::Log && level == LineLevel::Info) {
        papplLevel = PAPPL_LOGLEVEL_INFO;
    } else if (kind == LineKind::Log && level == LineLevel::Warn) {
        papplLevel = PAPPL_LOGLEVEL_WARN;
    } else if (kind == LineKind::Log && level == LineLevel::Error) {
        papplLevel = PAPPL_LOGLEVEL_ERROR;
    }
    // PAPPL's log takes one line at a time; a block of lines is split.
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        papplLogPrinter(printer, papplLevel, "%.*s", static_cast<int>(line.size()), line.data());
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
}

DeviceData* deviceData(pappl_device_t* device) {
    return device ? static_cast<DeviceData*>(papplDeviceGetData(device)) : nullptr;
}

std::string deviceIdOf(const std::string& serial) {
    std::string id = "MFG:Tarvik;MDL:T58;CMD:T58;CLS:PRINTER;DES:Tarvik T58;";
    if (!serial.empty()) {
        id += "SN:" + serial + ";";
    }
    return id;
}

void registerScheme() {
    papplDeviceAddScheme(kScheme, PAPPL_DEVTYPE_CUSTOM_LOCAL, listDevices, openDevice, closeDevice,
                         readDevice, writeDevice, deviceStatus, deviceId);
}

} // namespace tarvik_app
