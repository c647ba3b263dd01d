// The emulated bus: devices, their descriptors and their sysfs entries.

#include "vt58/internal.h"

#include <arpa/inet.h>
#include <glob.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vt58::detail {
namespace {

constexpr uint8_t kBulk = 2;
constexpr uint8_t kInterrupt = 3;
// libusb lists devices in the reverse order of their sysfs paths (it prepends each one it
// enumerates), so paths are chosen for the order each layout needs.
constexpr const char* kPrinterBus = "/devices/pci0000:00/0000:00:14.0/usb1";
constexpr const char* kOtherBus = "/devices/pci0000:00/0000:00:1d.0/usb2";

void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x & 0xFF));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

std::vector<uint8_t> deviceDescriptor(uint16_t vid, uint16_t pid, uint8_t cls, bool strings) {
    std::vector<uint8_t> d{18, 1};
    put16(d, 0x0200);
    d.insert(d.end(), {cls, 0, cls == 9 ? uint8_t{1} : uint8_t{0}, 64});
    put16(d, vid);
    put16(d, pid);
    put16(d, 0x0100);
    if (strings)
        d.insert(d.end(), {1, 2, 3, 1});
    else
        d.insert(d.end(), {0, 0, 0, 1});
    return d;
}

struct IfaceSpec {
    int number = 0;
    uint8_t cls = 7;
    uint8_t subclass = 1;
    uint8_t protocol = 2;
    std::vector<Endpoint> endpoints;
};

std::vector<uint8_t> configDescriptor(const std::vector<IfaceSpec>& ifaces) {
    std::vector<uint8_t> c{9, 2, 0, 0, static_cast<uint8_t>(ifaces.size()), 1, 0, 0xC0, 50};
    for (const IfaceSpec& i : ifaces) {
        c.insert(c.end(),
                 {9, 4, static_cast<uint8_t>(i.number), 0, static_cast<uint8_t>(i.endpoints.size()),
                  i.cls, i.subclass, i.protocol, 0});
        for (const Endpoint& e : i.endpoints) {
            c.insert(c.end(), {7, 5, e.address, e.attributes});
            bool interrupt = (e.attributes & 3) == kInterrupt;
            put16(c, interrupt ? 8 : 512);
            c.push_back(interrupt ? 10 : 0);
        }
    }
    c[2] = static_cast<uint8_t>(c.size() & 0xFF);
    c[3] = static_cast<uint8_t>(c.size() >> 8);
    return c;
}

DeviceSpec makeDevice(const std::string& sysPath, uint8_t bus, uint8_t address, uint16_t vid,
                      uint16_t pid, uint8_t cls, const std::vector<IfaceSpec>& ifaces) {
    DeviceSpec d;
    d.sysPath = sysPath;
    d.bus = bus;
    d.address = address;
    d.vendorId = vid;
    d.productId = pid;
    d.deviceDescriptor = deviceDescriptor(vid, pid, cls, true);
    d.configDescriptor = configDescriptor(ifaces);
    for (const IfaceSpec& i : ifaces) {
        d.interfaces.push_back(i.number);
        for (Endpoint e : i.endpoints) {
            e.interface = i.number;
            d.endpoints.push_back(e);
        }
    }
    return d;
}

std::vector<IfaceSpec> printerInterfaces(Layout layout) {
    IfaceSpec p;
    Endpoint in{0x81, kBulk, 0};
    Endpoint out{0x02, kBulk, 0};
    switch (layout) {
    case Layout::MissingOut:
        p.endpoints = {in};
        break;
    case Layout::MissingIn:
        p.endpoints = {out};
        break;
    case Layout::InterruptEndpoints:
        // After the bulk pair, so a search that ignores the transfer type picks them.
        p.endpoints = {in, out, {0x83, kInterrupt, 0}, {0x04, kInterrupt, 0}};
        break;
    case Layout::TwoBulkIn:
        p.endpoints = {in, out, {0x83, kBulk, 0}};
        break;
    case Layout::SecondInterface: {
        IfaceSpec vendor{0, 0xFF, 0, 0, {{0x83, kBulk, 0}, {0x04, kBulk, 0}}};
        p.number = 1;
        p.endpoints = {in, out};
        return {vendor, p};
    }
    default:
        p.endpoints = {in, out};
        break;
    }
    return {p};
}

// libusb lists printer 0 first, so it gets the last port: 1-2 alone or with one more, 1-8
// of eight.
DeviceSpec makePrinter(Layout layout, const PrinterSetup& p, int index, int count) {
    std::vector<IfaceSpec> ifaces = printerInterfaces(layout);
    int port = std::max(count, 2) - index;
    std::string path = std::string(kPrinterBus) + "/1-" + std::to_string(port);
    DeviceSpec d =
        makeDevice(path, 1, static_cast<uint8_t>(3 + index), kVendorId, kProductId, 0, ifaces);
    for (const IfaceSpec& i : ifaces)
        if (i.cls == 7)
            d.printerInterface = i.number;
    d.printer = index;
    d.manufacturer = "Tarvik";
    d.product = "T58";
    d.serial = p.serial;
    return d;
}

std::vector<DeviceSpec> otherDevices() {
    // On a second bus whose paths sort after the printer's: libusb lists both before it.
    DeviceSpec hub =
        makeDevice(kOtherBus, 2, 1, 0x1D6B, 0x0002, 9, {{0, 9, 0, 0, {{0x81, kInterrupt, 0}}}});
    hub.manufacturer = "Linux Foundation";
    hub.product = "2.0 root hub";
    DeviceSpec keyboard = makeDevice(std::string(kOtherBus) + "/2-1", 2, 2, 0x046D, 0xC31C, 0,
                                     {{0, 3, 1, 1, {{0x81, kInterrupt, 0}}}});
    keyboard.manufacturer = "Logitech";
    keyboard.product = "USB Keyboard";
    return {hub, keyboard};
}

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char b[3];
    for (uint8_t x : bytes) {
        std::snprintf(b, sizeof b, "%02x", x);
        out += b;
    }
    return out;
}

// MurmurHash2 with seed 0, as udev hashes the subsystem and device type for the socket
// filters its monitors attach.
uint32_t murmur2(const std::string& text) {
    constexpr uint32_t m = 0x5bd1e995;
    size_t len = text.size();
    uint32_t h = static_cast<uint32_t>(len);
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (; len >= 4; len -= 4, p += 4) {
        uint32_t k = 0;
        std::memcpy(&k, p, 4);
        k *= m;
        k ^= k >> 24;
        k *= m;
        h = (h * m) ^ k;
    }
    switch (len) {
    case 3:
        h ^= static_cast<uint32_t>(p[2]) << 16;
        [[fallthrough]];
    case 2:
        h ^= static_cast<uint32_t>(p[1]) << 8;
        [[fallthrough]];
    case 1:
        h ^= p[0];
        h *= m;
        break;
    default:
        break;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
}

// The header udev puts before the properties of the events it passes on to monitors.
struct UdevHeader {
    char prefix[8] = "libudev";
    uint32_t magic = htonl(0xfeedcafe);
    uint32_t headerSize = sizeof(UdevHeader);
    uint32_t propertiesOff = sizeof(UdevHeader);
    uint32_t propertiesLen = 0;
    uint32_t subsystemHash = 0;
    uint32_t devtypeHash = 0;
    uint32_t tagBloomHi = 0;
    uint32_t tagBloomLo = 0;
};

} // namespace

void sendUevent(const std::string& root, const DeviceSpec& spec, const char* action,
                unsigned long long seqnum) {
    std::string props;
    for (const std::string& p : {std::string("ACTION=") + action, "DEVPATH=" + spec.sysPath,
                                 std::string("SUBSYSTEM=usb"), "SEQNUM=" + std::to_string(seqnum),
                                 "DEVNAME=" + devnodeOf(spec), std::string("DEVTYPE=usb_device")}) {
        props += p;
        props += '\0';
    }
    UdevHeader h;
    h.propertiesLen = static_cast<uint32_t>(props.size());
    h.subsystemHash = htonl(murmur2("usb"));
    h.devtypeHash = htonl(murmur2("usb_device"));
    iovec iov[2] = {{&h, sizeof h}, {props.data(), props.size()}};
    // umockdev's preload turns each udev monitor of a client into a socket "eventN" in the
    // testbed; a datagram to each is what the monitor would have received.
    glob_t g{};
    if (glob((root + "/event[0-9]*").c_str(), 0, nullptr, &g) != 0)
        return;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    for (size_t i = 0; fd >= 0 && i < g.gl_pathc; ++i) {
        sockaddr_un to{};
        to.sun_family = AF_UNIX;
        std::snprintf(to.sun_path, sizeof to.sun_path, "%s", g.gl_pathv[i]);
        msghdr msg{};
        msg.msg_name = &to;
        msg.msg_namelen = sizeof to;
        msg.msg_iov = iov;
        msg.msg_iovlen = 2;
        sendmsg(fd, &msg, 0); // a monitor closed meanwhile, or one that is full, misses it
    }
    if (fd >= 0)
        close(fd);
    globfree(&g);
}

std::vector<DeviceSpec> buildLayout(const Scenario& s, std::string& error) {
    std::vector<DeviceSpec> devs;
    if (s.layout == Layout::OthersOnly || s.layout == Layout::NoDevice) {
        if (!s.printers.empty())
            error = "the layout has no printer, but the scenario sets " +
                    std::to_string(s.printers.size());
        else if (s.layout == Layout::OthersOnly)
            devs = otherDevices();
        return devs;
    }
    if (s.printers.size() > static_cast<size_t>(kMaxPrinters)) {
        error = "at most " + std::to_string(kMaxPrinters) + " printers on a bus";
        return devs;
    }
    int count = static_cast<int>(s.printers.size());
    if (count == 0)
        count = s.layout == Layout::TwoPrinters ? 2 : 1;
    if (s.layout == Layout::OthersFirst)
        devs = otherDevices();
    for (int i = 0; i < count; ++i)
        devs.push_back(makePrinter(s.layout, s.printerSetup(i), i, count));
    return devs;
}

std::string devnodeOf(const DeviceSpec& spec) {
    char b[64];
    std::snprintf(b, sizeof b, "/dev/bus/usb/%03u/%03u", unsigned{spec.bus},
                  unsigned{spec.address});
    return b;
}

std::string umockdevText(const DeviceSpec& d, bool withNode) {
    char ids[64];
    std::snprintf(ids, sizeof ids, "E: PRODUCT=%x/%x/100\n", unsigned{d.vendorId},
                  unsigned{d.productId});
    std::string node = devnodeOf(d);
    std::string t = "P: " + d.sysPath + "\n";
    if (withNode)
        t += "N: " + node.substr(5) + "\n";
    t += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
    t += "E: DEVNAME=" + node + "\n";
    t += "E: BUSNUM=" + node.substr(13, 3) + "\nE: DEVNUM=" + node.substr(17, 3) + "\n";
    t += ids;
    char attrs[256];
    std::snprintf(attrs, sizeof attrs,
                  "A: busnum=%u\\n\nA: devnum=%u\\n\nA: idVendor=%04x\\n\nA: idProduct=%04x\\n\n"
                  "A: bConfigurationValue=1\\n\nA: bNumConfigurations=1\\n\nA: speed=480\\n\n",
                  unsigned{d.bus}, unsigned{d.address}, unsigned{d.vendorId},
                  unsigned{d.productId});
    t += attrs;
    if (!d.manufacturer.empty())
        t += "A: manufacturer=" + d.manufacturer + "\\n\n";
    if (!d.product.empty())
        t += "A: product=" + d.product + "\\n\n";
    if (!d.serial.empty())
        t += "A: serial=" + d.serial + "\\n\n";
    std::vector<uint8_t> all = d.deviceDescriptor;
    all.insert(all.end(), d.configDescriptor.begin(), d.configDescriptor.end());
    t += "H: descriptors=" + hex(all) + "\n";
    return t;
}

const Endpoint* findEndpoint(const DeviceSpec& spec, uint8_t address) {
    for (const Endpoint& e : spec.endpoints)
        if (e.address == address)
            return &e;
    return nullptr;
}

} // namespace vt58::detail
