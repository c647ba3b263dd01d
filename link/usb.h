#pragma once

#include "diag/log.h"
#include "link/transport.h"

#include <libusb-1.0/libusb.h>

#include <cstdint>
#include <string>

struct UsbDeviceInfo {
    uint16_t vendorId;
    uint16_t productId;
    uint8_t interfaceClass;
    uint8_t transferType;
    libusb_device* device;
    libusb_device** deviceList;
    uint8_t inEndpoint;
    uint8_t outEndpoint;
    uint8_t interfaceNumber;
};

constexpr uint16_t kT58VendorId = 0x0525;
constexpr uint16_t kT58ProductId = 0xA4B6;
constexpr int32_t kT58TimeoutMs = 2000;

// The USB side of one printer link: its own libusb context, device list and handle.
// With a serial, only the T58 whose serial number is exactly that one is used.
struct UsbLink {
    UsbDeviceInfo qzDevice{};
    libusb_context* ctx = nullptr;
    libusb_device_descriptor devDesc{};
    libusb_device_handle* g_usb_handle = nullptr;
    int32_t usbRwTimeout = kT58TimeoutMs;
    bool bInterfaceClaimed = false;
    std::string serial;
    // Bus number and address (bus << 8 | address) of the printer the last search found.
    uint16_t lastPlace = 0;
    CoreLog log;
};

// The search for the printer on the bus and for its printer interface.
enum class UsbFind : int { Found = 0, Failed = -1, NotFound = -2 };

int init_libusb(UsbLink& link, uint16_t vid, uint16_t pid, int32_t timeoutMs);
UsbFind get_device_descriptor(UsbLink& link, libusb_device_descriptor* desc, UsbDeviceInfo* dev);
UsbFind get_device_endpoint(UsbLink& link, libusb_device_descriptor* desc, UsbDeviceInfo* dev);
int match_with_endpoint(const libusb_interface_descriptor* alt, UsbDeviceInfo* dev);
int openQzUsb(UsbLink& link);
void closeQzUsb(UsbLink& link);
int usbRead(UsbLink& link, uint8_t* buf, int32_t len, int32_t* transferred);
int usbWrite(UsbLink& link, const uint8_t* buf, int32_t len, int32_t* transferred);

// The serial number of a device as discovery and device URIs carry it: only the characters
// [A-Za-z0-9._-] of its string descriptor; empty when it has none or it cannot be read.
std::string readSerial(libusb_device* dev, const libusb_device_descriptor& desc);

// The libusb transport of one printer. Its libusb context lives as long as the transport
// (libusb follows the bus's changes); every open() takes a new device list and walks it;
// close() releases the interface, the handle and the list.
class UsbTransport final : public T58Transport {
  public:
    explicit UsbTransport(std::string serial = {});
    ~UsbTransport() override;
    UsbTransport(const UsbTransport&) = delete;
    UsbTransport& operator=(const UsbTransport&) = delete;

    int open() override;
    int write(const uint8_t* buf, int32_t len, int32_t* transferred) override;
    int read(uint8_t* buf, int32_t len, int32_t* transferred) override;
    void close() override;

    const UsbLink& usb() const { return usb_; }
    void setLog(CoreLog log) { usb_.log = log; }

  private:
    UsbLink usb_;
};
