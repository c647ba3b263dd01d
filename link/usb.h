#pragma once

#include <libusb-1.0/libusb.h>

#include <cstdint>

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

extern UsbDeviceInfo qzDevice;
extern libusb_context* ctx;
extern libusb_device_descriptor devDesc;
extern libusb_device_handle* g_usb_handle;
extern int32_t usbRwTimeout;

int init_libusb(uint16_t vid, uint16_t pid, int32_t timeoutMs);
int get_device_descriptor(libusb_device_descriptor* desc, UsbDeviceInfo* dev);
int get_device_endpoint(libusb_device_descriptor* desc, UsbDeviceInfo* dev);
int match_with_endpoint(const libusb_interface_descriptor* alt, UsbDeviceInfo* dev);
int openQzUsb();
void closeQzUsb();
int usbRead(uint8_t* buf, int32_t len, int32_t* transferred);
int usbWrite(uint8_t* buf, int32_t len, int32_t* transferred);

int init_t58();
void close_t58();
