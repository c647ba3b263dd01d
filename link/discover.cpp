#include "link/discover.h"

#include "link/usb.h"

#include <libusb-1.0/libusb.h>

#include <cstdint>
#include <memory>

namespace {

constexpr const char* kDeviceId = "MFG:Tarvik;MDL:T58;CMD:T58;CLS:PRINTER;";

struct ContextCloser {
    void operator()(libusb_context* c) const { libusb_exit(c); }
};
struct ListFreer {
    void operator()(libusb_device** l) const { libusb_free_device_list(l, 1); }
};

// The bus and port path, e.g. "1-2.3", as the kernel names a USB device.
std::string portPath(libusb_device* dev) {
    uint8_t ports[8];
    const int n = libusb_get_port_numbers(dev, ports, sizeof ports);
    std::string s = std::to_string(libusb_get_bus_number(dev));
    for (int i = 0; i < n; ++i) {
        // Piece by piece: GCC 12 at -O3 warns (-Wrestrict) on "literal" + temporary string.
        s += i == 0 ? '-' : '.';
        s += std::to_string(ports[i]);
    }
    return s;
}

T58Device describe(libusb_device* dev, const libusb_device_descriptor& desc) {
    T58Device d;
    d.serial = readSerial(dev, desc);
    d.portPath = portPath(dev);
    d.uri = "tarvik://T58";
    d.deviceId = kDeviceId;
    if (!d.serial.empty()) {
        d.uri += "?serial=" + d.serial;
        d.deviceId += "SN:" + d.serial + ";";
    }
    return d;
}

} // namespace

std::vector<T58Device> listT58Devices() {
    std::vector<T58Device> found;
    libusb_context* rawCtx = nullptr;
    if (libusb_init(&rawCtx) < 0) {
        return found;
    }
    std::unique_ptr<libusb_context, ContextCloser> context(rawCtx);
    libusb_device** rawList = nullptr;
    const ssize_t count = libusb_get_device_list(rawCtx, &rawList);
    if (count < 0) {
        return found;
    }
    std::unique_ptr<libusb_device*, ListFreer> list(rawList);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(rawList[i], &desc) == 0 && desc.idVendor == kT58VendorId &&
            desc.idProduct == kT58ProductId) {
            found.push_back(describe(rawList[i], desc));
        }
    }
    return found;
}
