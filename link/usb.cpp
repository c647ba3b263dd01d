// USB transport: finds the T58 by its ids, claims its printer interface and moves bytes
// over its bulk endpoints.
#include "link/usb.h"

#include <memory>
#include <utility>

namespace {

constexpr uint8_t kPrinterClass = LIBUSB_CLASS_PRINTER;
constexpr uint8_t kBulkTransfer = LIBUSB_TRANSFER_TYPE_BULK;

struct ConfigDeleter {
    void operator()(libusb_config_descriptor* c) const { libusb_free_config_descriptor(c); }
};
using ConfigPtr = std::unique_ptr<libusb_config_descriptor, ConfigDeleter>;

struct HandleCloser {
    void operator()(libusb_device_handle* h) const { libusb_close(h); }
};

void freeDeviceList(UsbLink& link) {
    if (link.qzDevice.deviceList != nullptr) {
        libusb_free_device_list(link.qzDevice.deviceList, 1);
    }
    link.qzDevice.deviceList = nullptr;
    link.qzDevice.device = nullptr;
}

void exitContext(UsbLink& link) {
    if (link.ctx != nullptr) {
        libusb_exit(link.ctx);
    }
    link.ctx = nullptr;
}

// Everything one initialisation opened goes: interface, handle, device list (the context
// stays with the transport). Each page and each retry starts afresh, so nothing piles up
// over a long job.
void releaseLink(UsbLink& link) {
    closeQzUsb(link);
    freeDeviceList(link);
}

int claimPrinterInterface(UsbLink& link) {
    int rc = libusb_claim_interface(link.g_usb_handle, link.qzDevice.interfaceNumber);
    link.bInterfaceClaimed = (rc == 0);
    return rc;
}

std::string cleanSerial(const unsigned char* raw, int len) {
    std::string s;
    for (int i = 0; i < len; ++i) {
        const unsigned char c = raw[i];
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
            c == '-' || c == '_' || c == '.') {
            s += static_cast<char>(c);
        }
    }
    return s;
}

// A T58 qualifies when no serial is asked for, or when its serial is exactly the one asked.
bool serialMatches(const UsbLink& link, libusb_device* dev, const libusb_device_descriptor& desc) {
    return link.serial.empty() || readSerial(dev, desc) == link.serial;
}

// Where a device sits on the bus: bus number << 8 | device address.
uint16_t placeOf(libusb_device* dev) {
    return static_cast<uint16_t>((libusb_get_bus_number(dev) << 8) |
                                 libusb_get_device_address(dev));
}

// Reading a serial takes an open of the device. The printer found last time is asked
// first, where it was: on a bus of several T58s the others are then not opened at all.
libusb_device* printerWhereItWas(const UsbLink& link, libusb_device** list,
                                 const UsbDeviceInfo& want) {
    if (link.serial.empty() || link.lastPlace == 0) {
        return nullptr;
    }
    for (int i = 0; list[i] != nullptr; ++i) {
        libusb_device_descriptor desc;
        if (placeOf(list[i]) == link.lastPlace &&
            libusb_get_device_descriptor(list[i], &desc) == 0 && desc.idProduct == want.productId &&
            desc.idVendor == want.vendorId) {
            return serialMatches(link, list[i], desc) ? list[i] : nullptr;
        }
    }
    return nullptr;
}

// The claim failed: a kernel driver may hold the interface.
int detachAndClaim(UsbLink& link) {
    if (libusb_kernel_driver_active(link.g_usb_handle, 0) == 1) {
        link.log.text(LineKind::Progress, LineLevel::Info, "USB Kernel Driver Active \n");
        if (libusb_kernel_driver_active(link.g_usb_handle, 0) == 0) {
            link.log.text(LineKind::Progress, LineLevel::Info, "Kernel Driver Detached \n");
        }
    }
    if (libusb_detach_kernel_driver(link.g_usb_handle, link.qzDevice.interfaceNumber) == 0 &&
        claimPrinterInterface(link) == 0) {
        return 0;
    }
    link.log.log(LineLevel::Error, "*** libusb_claim_interface failed!\n");
    return -1;
}

bool settingQualifies(const libusb_interface_descriptor& alt, UsbDeviceInfo* dev) {
    return alt.bInterfaceClass == dev->interfaceClass && match_with_endpoint(&alt, dev) == 1;
}

} // namespace

std::string readSerial(libusb_device* dev, const libusb_device_descriptor& desc) {
    if (desc.iSerialNumber == 0) {
        return {};
    }
    libusb_device_handle* raw = nullptr;
    if (libusb_open(dev, &raw) != 0) {
        return {};
    }
    std::unique_ptr<libusb_device_handle, HandleCloser> handle(raw);
    unsigned char buf[128];
    const int n = libusb_get_string_descriptor_ascii(raw, desc.iSerialNumber, buf, sizeof buf);
    return n > 0 ? cleanSerial(buf, n) : std::string();
}

int init_libusb(UsbLink& link, uint16_t vid, uint16_t pid, int32_t timeoutMs) {
    UsbDeviceInfo& qzDevice = link.qzDevice;
    qzDevice.vendorId = vid;
    qzDevice.productId = pid;
    qzDevice.interfaceClass = kPrinterClass;
    qzDevice.transferType = kBulkTransfer;
    qzDevice.device = nullptr;
    link.usbRwTimeout = timeoutMs;
    if ((link.ctx == nullptr && libusb_init(&link.ctx) < 0) ||
        get_device_descriptor(link, &link.devDesc, &qzDevice) != UsbFind::Found ||
        get_device_endpoint(link, &link.devDesc, &qzDevice) != UsbFind::Found) {
        // Expected while the printer is unplugged: not an error of the link.
        link.log.log(LineLevel::Info, "*** initial USB lib failed! \n");
        return -1;
    }
    return 0;
}

UsbFind get_device_descriptor(UsbLink& link, libusb_device_descriptor* desc, UsbDeviceInfo* dev) {
    libusb_device** list = nullptr;
    if (libusb_get_device_list(link.ctx, &list) < 0) {
        return UsbFind::Failed;
    }
    libusb_device* known = printerWhereItWas(link, list, *dev);
    for (int i = 0; list[i] != nullptr; ++i) {
        if (libusb_get_device_descriptor(list[i], desc) != 0) {
            link.log.log(LineLevel::Error, "*** libusb_get_device_descriptor failed! i:%d \n",
                         i + 1);
            libusb_free_device_list(list, 1);
            return UsbFind::Failed;
        }
        link.log.log(LineLevel::Debug, "PID:%04x VID:%04x\n", desc->idProduct, desc->idVendor);
        if (desc->idProduct == dev->productId && desc->idVendor == dev->vendorId &&
            (known != nullptr ? list[i] == known : serialMatches(link, list[i], *desc))) {
            // Kept until close_t58: the device reference lives as long as its list.
            dev->device = list[i];
            dev->deviceList = list;
            link.lastPlace = placeOf(list[i]);
            return UsbFind::Found;
        }
    }
    // No device of the list is kept, so the list is not needed any more.
    libusb_free_device_list(list, 1);
    return UsbFind::NotFound;
}

UsbFind get_device_endpoint(UsbLink& link, libusb_device_descriptor* desc, UsbDeviceInfo* dev) {
    for (uint8_t c = 0; c < desc->bNumConfigurations; ++c) {
        libusb_config_descriptor* raw = nullptr;
        if (libusb_get_config_descriptor(dev->device, c, &raw) != 0) {
            link.log.log(LineLevel::Error, "*** libusb_get_config_descriptor failed! \n");
            return UsbFind::Failed;
        }
        ConfigPtr config(raw);
        for (uint8_t i = 0; i < config->bNumInterfaces; ++i) {
            const libusb_interface& itf = config->interface[i];
            for (int a = 0; a < itf.num_altsetting; ++a) {
                if (settingQualifies(itf.altsetting[a], dev)) {
                    dev->interfaceNumber = itf.altsetting[a].bInterfaceNumber;
                    return UsbFind::Found;
                }
            }
        }
    }
    return UsbFind::NotFound;
}

int match_with_endpoint(const libusb_interface_descriptor* alt, UsbDeviceInfo* dev) {
    bool bIn = false;
    bool bOut = false;
    for (uint8_t e = 0; e < alt->bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = alt->endpoint[e];
        if ((ep.bmAttributes & 3) != dev->transferType) {
            continue;
        }
        if ((ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0) {
            dev->inEndpoint = ep.bEndpointAddress;
            bIn = true;
        } else {
            dev->outEndpoint = ep.bEndpointAddress;
            bOut = true;
        }
    }
    return (bIn && bOut) ? 1 : 0;
}

int openQzUsb(UsbLink& link) {
    const UsbDeviceInfo& qzDevice = link.qzDevice;
    link.g_usb_handle = nullptr;
    // A printer named by its serial is opened as found: the first device with the ids may
    // be another T58.
    if (link.serial.empty()) {
        link.g_usb_handle =
            libusb_open_device_with_vid_pid(link.ctx, qzDevice.vendorId, qzDevice.productId);
    } else if (qzDevice.device == nullptr ||
               libusb_open(qzDevice.device, &link.g_usb_handle) != 0) {
        link.g_usb_handle = nullptr;
    }
    if (link.g_usb_handle == nullptr) {
        link.log.log(LineLevel::Info,
                     "*** Permission denied or Can not find the USB board (Maybe the USB "
                     "driver has not been installed correctly), quit!\n");
        return -1;
    }
    if (claimPrinterInterface(link) == 0) {
        return 0;
    }
    return detachAndClaim(link);
}

void closeQzUsb(UsbLink& link) {
    if (link.g_usb_handle == nullptr) {
        return;
    }
    if (link.bInterfaceClaimed) {
        libusb_release_interface(link.g_usb_handle, link.qzDevice.interfaceNumber);
    }
    link.bInterfaceClaimed = false;
    libusb_close(link.g_usb_handle);
    link.g_usb_handle = nullptr;
}

namespace {

int bulkTransfer(UsbLink& link, uint8_t endpoint, uint8_t* buf, int32_t len, int32_t* transferred) {
    int moved = 0;
    int rc = LIBUSB_ERROR_NO_DEVICE;
    if (link.g_usb_handle != nullptr && len >= 0) {
        rc = libusb_bulk_transfer(link.g_usb_handle, endpoint, buf, len, &moved,
                                  static_cast<unsigned int>(link.usbRwTimeout));
    }
    *transferred = moved;
    return rc;
}

} // namespace

int usbRead(UsbLink& link, uint8_t* buf, int32_t len, int32_t* transferred) {
    return bulkTransfer(link, link.qzDevice.inEndpoint, buf, len, transferred);
}

int usbWrite(UsbLink& link, const uint8_t* buf, int32_t len, int32_t* transferred) {
    // libusb takes a non-const buffer for both directions; an OUT transfer only reads it.
    return bulkTransfer(link, link.qzDevice.outEndpoint, const_cast<uint8_t*>(buf), len,
                        transferred);
}

UsbTransport::UsbTransport(std::string serial) {
    usb_.serial = std::move(serial);
}

UsbTransport::~UsbTransport() {
    releaseLink(usb_);
    exitContext(usb_);
}

int UsbTransport::open() {
    releaseLink(usb_);
    if (init_libusb(usb_, kT58VendorId, kT58ProductId, kT58TimeoutMs) == 0 &&
        openQzUsb(usb_) == 0) {
        return 0;
    }
    releaseLink(usb_);
    return -1;
}

int UsbTransport::write(const uint8_t* buf, int32_t len, int32_t* transferred) {
    return usbWrite(usb_, buf, len, transferred);
}

int UsbTransport::read(uint8_t* buf, int32_t len, int32_t* transferred) {
    return usbRead(usb_, buf, len, transferred);
}

void UsbTransport::close() {
    releaseLink(usb_);
}
