#include "backend/discovery.h"

#include "link/usb.h"

#include <libusb-1.0/libusb.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace {

constexpr const char* kMakeModel = "Tarvik T58";
constexpr const char* kDeviceId = "MFG:Tarvik;MDL:T58;CMD:T58;CLS:PRINTER;";

struct ContextCloser {
    void operator()(libusb_context* c) const { libusb_exit(c); }
};
struct ListFreer {
    void operator()(libusb_device** l) const { libusb_free_device_list(l, 1); }
};
struct HandleCloser {
    void operator()(libusb_device_handle* h) const { libusb_close(h); }
};

// The serial number may come from any device: only characters that need no quoting in a
// URI or in the quoted fields of a device line are kept.
std::string cleanSerial(const unsigned char* raw, int len) {
    std::string s;
    for (int i = 0; i < len; ++i) {
        unsigned char c = raw[i];
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
            c == '-' || c == '_' || c == '.')
            s += static_cast<char>(c);
    }
    return s;
}

std::string readSerial(libusb_device* dev, const libusb_device_descriptor& desc) {
    if (desc.iSerialNumber == 0)
        return {};
    libusb_device_handle* raw = nullptr;
    if (libusb_open(dev, &raw) != 0)
        return {};
    std::unique_ptr<libusb_device_handle, HandleCloser> handle(raw);
    unsigned char buf[128];
    int n = libusb_get_string_descriptor_ascii(raw, desc.iSerialNumber, buf, sizeof buf);
    return n > 0 ? cleanSerial(buf, n) : std::string();
}

// The bus and port path, e.g. "1-2.3", as the kernel names a USB device.
std::string portPath(libusb_device* dev) {
    uint8_t ports[8];
    int n = libusb_get_port_numbers(dev, ports, sizeof ports);
    std::string s = std::to_string(libusb_get_bus_number(dev));
    for (int i = 0; i < n; ++i)
        s += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
    return s;
}

// The backend prints to the first T58 it finds whatever the URI says; the serial number in
// the URI only tells queues of different printers apart.
void printDevice(libusb_device* dev, const libusb_device_descriptor& desc) {
    std::string serial = readSerial(dev, desc);
    std::string where = portPath(dev);
    std::string uri = "tarvik://T58";
    std::string id = kDeviceId;
    if (!serial.empty()) {
        uri += "?serial=" + serial;
        id += "SN:" + serial + ";";
    }
    printf("direct %s \"%s\" \"%s (USB %s)\" \"%s\" \"USB %s\"\n", uri.c_str(), kMakeModel,
           kMakeModel, where.c_str(), id.c_str(), where.c_str());
}

} // namespace

int listDevices() {
    libusb_context* rawCtx = nullptr;
    if (libusb_init(&rawCtx) < 0)
        return 0;
    std::unique_ptr<libusb_context, ContextCloser> context(rawCtx);
    libusb_device** rawList = nullptr;
    ssize_t count = libusb_get_device_list(rawCtx, &rawList);
    if (count < 0)
        return 0;
    std::unique_ptr<libusb_device*, ListFreer> list(rawList);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(rawList[i], &desc) != 0)
            continue;
        if (desc.idVendor == kT58VendorId && desc.idProduct == kT58ProductId)
            printDevice(rawList[i], desc);
    }
    fflush(stdout);
    return 0;
}
