// USB transport: finds the T58 by its ids, claims its printer interface and moves bytes
// over its bulk endpoints.
#include "link/usb.h"

#include "link/status.h"

#include <cstdio>
#include <memory>

UsbDeviceInfo qzDevice;
libusb_context* ctx = nullptr;
libusb_device_descriptor devDesc;
libusb_device_handle* g_usb_handle = nullptr;
int32_t usbRwTimeout = 2000;

namespace {

constexpr uint8_t kPrinterClass = LIBUSB_CLASS_PRINTER;
constexpr uint8_t kBulkTransfer = LIBUSB_TRANSFER_TYPE_BULK;
constexpr int32_t kT58TimeoutMs = 2000;

// Whether interfaceNumber is claimed on g_usb_handle, so that a teardown releases it
// exactly once.
bool bInterfaceClaimed = false;

struct ConfigDeleter {
    void operator()(libusb_config_descriptor* c) const { libusb_free_config_descriptor(c); }
};
using ConfigPtr = std::unique_ptr<libusb_config_descriptor, ConfigDeleter>;

void freeDeviceList() {
    if (qzDevice.deviceList != nullptr) {
        libusb_free_device_list(qzDevice.deviceList, 1);
    }
    qzDevice.deviceList = nullptr;
    qzDevice.device = nullptr;
}

void exitContext() {
    if (ctx != nullptr) {
        libusb_exit(ctx);
    }
    ctx = nullptr;
}

// Everything one initialisation opened goes: interface, handle, device list, context.
// Each page and each retry starts afresh, so nothing piles up over a long job.
void releaseLink() {
    closeQzUsb();
    freeDeviceList();
    exitContext();
}

int claimPrinterInterface() {
    int rc = libusb_claim_interface(g_usb_handle, qzDevice.interfaceNumber);
    bInterfaceClaimed = (rc == 0);
    return rc;
}

void printLine(const char* text) {
    std::printf("%s\n", text);
    std::fflush(stdout);
}

// The claim failed: a kernel driver may hold the interface.
int detachAndClaim() {
    if (libusb_kernel_driver_active(g_usb_handle, 0) == 1) {
        printLine("USB Kernel Driver Active ");
        if (libusb_kernel_driver_active(g_usb_handle, 0) == 0) {
            printLine("Kernel Driver Detached ");
        }
    }
    if (libusb_detach_kernel_driver(g_usb_handle, qzDevice.interfaceNumber) == 0 &&
        claimPrinterInterface() == 0) {
        return 0;
    }
    std::fprintf(stderr, "*** libusb_claim_interface failed!\n");
    return -1;
}

bool settingQualifies(const libusb_interface_descriptor& alt, UsbDeviceInfo* dev) {
    return alt.bInterfaceClass == dev->interfaceClass && match_with_endpoint(&alt, dev) == 1;
}

} // namespace

int init_libusb(uint16_t vid, uint16_t pid, int32_t timeoutMs) {
    qzDevice.vendorId = vid;
    qzDevice.productId = pid;
    qzDevice.interfaceClass = kPrinterClass;
    qzDevice.transferType = kBulkTransfer;
    qzDevice.device = nullptr;
    usbRwTimeout = timeoutMs;
    ctx = nullptr;
    if (libusb_init(&ctx) < 0 || get_device_descriptor(&devDesc, &qzDevice) < 0 ||
        get_device_endpoint(&devDesc, &qzDevice) != 0) {
        std::fprintf(stderr, "*** initial USB lib failed! \n");
        return -1;
    }
    return 0;
}

int get_device_descriptor(libusb_device_descriptor* desc, UsbDeviceInfo* dev) {
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(ctx, &list);
    if (count < 0) {
        return static_cast<int>(count);
    }
    for (int i = 0; list[i] != nullptr; ++i) {
        if (libusb_get_device_descriptor(list[i], desc) != 0) {
            std::fprintf(stderr, "*** libusb_get_device_descriptor failed! i:%d \n", i + 1);
            libusb_free_device_list(list, 1);
            return -1;
        }
        std::fprintf(stderr, "PID:%04x VID:%04x\n", desc->idProduct, desc->idVendor);
        if (desc->idProduct == dev->productId && desc->idVendor == dev->vendorId) {
            // Kept until close_t58: the device reference lives as long as its list.
            dev->device = list[i];
            dev->deviceList = list;
            return 0;
        }
    }
    // No device of the list is kept, so the list is not needed any more.
    libusb_free_device_list(list, 1);
    return -2;
}

int get_device_endpoint(libusb_device_descriptor* desc, UsbDeviceInfo* dev) {
    for (uint8_t c = 0; c < desc->bNumConfigurations; ++c) {
        libusb_config_descriptor* raw = nullptr;
        if (libusb_get_config_descriptor(dev->device, c, &raw) != 0) {
            std::fprintf(stderr, "*** libusb_get_config_descriptor failed! \n");
            return -1;
        }
        ConfigPtr config(raw);
        for (uint8_t i = 0; i < config->bNumInterfaces; ++i) {
            const libusb_interface& itf = config->interface[i];
            for (int a = 0; a < itf.num_altsetting; ++a) {
                if (settingQualifies(itf.altsetting[a], dev)) {
                    dev->interfaceNumber = itf.altsetting[a].bInterfaceNumber;
                    return 0;
                }
            }
        }
    }
    return -2;
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

int openQzUsb() {
    g_usb_handle = libusb_open_device_with_vid_pid(ctx, qzDevice.vendorId, qzDevice.productId);
    if (g_usb_handle == nullptr) {
        std::fprintf(stderr, "*** Permission denied or Can not find the USB board (Maybe the USB "
                             "driver has not been installed correctly), quit!\n");
        return -1;
    }
    if (claimPrinterInterface() == 0) {
        return 0;
    }
    return detachAndClaim();
}

void closeQzUsb() {
    if (g_usb_handle == nullptr) {
        return;
    }
    if (bInterfaceClaimed) {
        libusb_release_interface(g_usb_handle, qzDevice.interfaceNumber);
    }
    bInterfaceClaimed = false;
    libusb_close(g_usb_handle);
    g_usb_handle = nullptr;
}

namespace {

int bulkTransfer(uint8_t endpoint, uint8_t* buf, int32_t len, int32_t* transferred) {
    int moved = 0;
    int rc = LIBUSB_ERROR_NO_DEVICE;
    if (g_usb_handle != nullptr && len >= 0) {
        rc = libusb_bulk_transfer(g_usb_handle, endpoint, buf, len, &moved,
                                  static_cast<unsigned int>(usbRwTimeout));
    }
    *transferred = moved;
    return rc;
}

} // namespace

int usbRead(uint8_t* buf, int32_t len, int32_t* transferred) {
    return bulkTransfer(qzDevice.inEndpoint, buf, len, transferred);
}

int usbWrite(uint8_t* buf, int32_t len, int32_t* transferred) {
    return bulkTransfer(qzDevice.outEndpoint, buf, len, transferred);
}

int init_t58() {
    // A link left open (close_t58 not called) is not reused: each attempt opens afresh.
    releaseLink();
    if (init_libusb(kT58VendorId, kT58ProductId, kT58TimeoutMs) == 0 && openQzUsb() == 0 &&
        getDot_T58() == 0) {
        return 0;
    }
    // A failed attempt leaves nothing open behind it for the next one.
    releaseLink();
    return 1;
}

void close_t58() {
    releaseLink();
}
