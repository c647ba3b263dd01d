// A small libusb client for the virtual T58's tests: runs the steps given as arguments and
// prints one line per step. Steps:
//   list                     every device: bus, address, ids, interfaces and endpoints
//   open                     libusb_open_device_with_vid_pid(0x0525, 0xA4B6)
//   open-index N             open the N-th device of the list
//   open-serial S            open the T58 whose serial string is S
//   serials                  a fresh device list: the serial of every T58, in list order
//   parallel N S1,S2,...     one thread per serial, each on its own handle: open, claim 0, N
//                            status exchanges; prints each printer's replies' head byte
//   signal FILE | await FILE create FILE | wait (up to 10 s) until FILE exists
//   timeout MS               timeout of the transfers that follow
//   claim N | release N | active N | detach N
//   write EP HEX             bulk OUT of the bytes
//   read EP LEN              bulk IN of at most LEN bytes
//   strings                  manufacturer, product and serial string descriptors
//   device-id                the IEEE 1284 GET_DEVICE_ID request on interface 0
//   close
//   leak                     keep the open handle open and forget it (a leaked handle)

#include <libusb-1.0/libusb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

libusb_context* ctx = nullptr;
libusb_device_handle* handle = nullptr;
std::vector<libusb_device_handle*> leaked;
unsigned int timeoutMs = 2000;

std::vector<unsigned char> fromHex(const std::string& hex) {
    std::vector<unsigned char> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(
            static_cast<unsigned char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    return out;
}

std::string toHex(const unsigned char* b, int n) {
    std::string out;
    char x[3];
    for (int i = 0; i < n; ++i) {
        std::snprintf(x, sizeof x, "%02x", b[i]);
        out += x;
    }
    return out;
}

void listDevices() {
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    std::printf("count %zd\n", n);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d;
        libusb_get_device_descriptor(list[i], &d);
        std::printf("device %zd bus %u addr %u vid %04x pid %04x configs %u\n", i,
                    libusb_get_bus_number(list[i]), libusb_get_device_address(list[i]), d.idVendor,
                    d.idProduct, d.bNumConfigurations);
        libusb_config_descriptor* c = nullptr;
        if (libusb_get_config_descriptor(list[i], 0, &c) != 0)
            continue;
        for (int k = 0; k < c->bNumInterfaces; ++k) {
            const libusb_interface_descriptor& alt = c->interface[k].altsetting[0];
            std::printf("  interface %u class %u", alt.bInterfaceNumber, alt.bInterfaceClass);
            for (int e = 0; e < alt.bNumEndpoints; ++e)
                std::printf(" ep %02x/%u", alt.endpoint[e].bEndpointAddress,
                            alt.endpoint[e].bmAttributes & 3);
            std::printf("\n");
        }
        libusb_free_config_descriptor(c);
    }
    libusb_free_device_list(list, 1);
}

void openIndex(int index) {
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    int rc = LIBUSB_ERROR_NOT_FOUND;
    if (index >= 0 && index < n)
        rc = libusb_open(list[index], &handle);
    std::printf("open-index %d rc %d\n", index, rc);
    libusb_free_device_list(list, 1);
}

std::string serialOf(libusb_device_handle* h) {
    libusb_device_descriptor d;
    libusb_get_device_descriptor(libusb_get_device(h), &d);
    unsigned char text[256];
    int rc = libusb_get_string_descriptor_ascii(h, d.iSerialNumber, text, sizeof text);
    return rc < 0 ? std::string() : std::string(reinterpret_cast<char*>(text), rc);
}

bool isT58(libusb_device* dev) {
    libusb_device_descriptor d;
    return libusb_get_device_descriptor(dev, &d) == 0 && d.idVendor == 0x0525 &&
           d.idProduct == 0xA4B6;
}

// The T58 with this serial, opened; nullptr when none of the list has it.
libusb_device_handle* openSerial(const std::string& serial) {
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_device_handle* found = nullptr;
    for (ssize_t i = 0; i < n && !found; ++i) {
        libusb_device_handle* h = nullptr;
        if (!isT58(list[i]) || libusb_open(list[i], &h) != 0)
            continue;
        if (serialOf(h) == serial)
            found = h;
        else
            libusb_close(h);
    }
    if (n >= 0)
        libusb_free_device_list(list, 1);
    return found;
}

void serials() {
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    std::string out = "serials";
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_handle* h = nullptr;
        if (!isT58(list[i]))
            continue;
        if (libusb_open(list[i], &h) != 0) {
            out += " ?";
            continue;
        }
        out += ' ';
        out += serialOf(h);
        libusb_close(h);
    }
    if (n >= 0)
        libusb_free_device_list(list, 1);
    std::printf("%s\n", out.c_str());
}

// Each thread on its own printer at once: status exchanges, each reply's head byte kept.
void parallel(int rounds, const std::string& list) {
    std::vector<std::string> names;
    std::istringstream in(list);
    for (std::string s; std::getline(in, s, ',');)
        names.push_back(s);
    std::vector<std::string> results(names.size());
    std::vector<std::thread> threads;
    for (size_t t = 0; t < names.size(); ++t) {
        threads.emplace_back([&, t] {
            libusb_device_handle* h = openSerial(names[t]);
            if (!h || libusb_claim_interface(h, 0) != 0) {
                results[t] = "no-printer";
                if (h)
                    libusb_close(h);
                return;
            }
            unsigned char req[6] = {0x66, 0x06, 0x00, 0x10, 0x00, 0x84};
            std::string heads;
            int ok = 0;
            for (int r = 0; r < rounds; ++r) {
                unsigned char reply[64];
                int done = 0;
                if (libusb_bulk_transfer(h, 0x02, req, sizeof req, &done, timeoutMs) != 0 ||
                    libusb_bulk_transfer(h, 0x81, reply, sizeof reply, &done, timeoutMs) != 0 ||
                    done < 7)
                    break;
                ++ok;
                std::string head = std::to_string(reply[6]);
                if (heads.find(head) == std::string::npos)
                    heads += (heads.empty() ? "" : "/") + head;
            }
            libusb_release_interface(h, 0);
            libusb_close(h);
            results[t] = "ok " + std::to_string(ok) + " head " + heads;
        });
    }
    for (std::thread& th : threads)
        th.join();
    for (size_t t = 0; t < names.size(); ++t)
        std::printf("parallel %s %s\n", names[t].c_str(), results[t].c_str());
}

void await(const std::string& path) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!std::ifstream(path) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::printf("await %s\n", std::ifstream(path) ? "ok" : "timeout");
}

void strings() {
    libusb_device_descriptor d;
    libusb_get_device_descriptor(libusb_get_device(handle), &d);
    unsigned char text[256];
    const uint8_t idx[3] = {d.iManufacturer, d.iProduct, d.iSerialNumber};
    const char* names[3] = {"manufacturer", "product", "serial"};
    for (int i = 0; i < 3; ++i) {
        int rc = libusb_get_string_descriptor_ascii(handle, idx[i], text, sizeof text);
        std::printf("%s rc %d %s\n", names[i], rc < 0 ? rc : 0,
                    rc < 0 ? "" : std::string(reinterpret_cast<char*>(text), rc).c_str());
    }
}

void deviceId() {
    unsigned char buf[1024];
    int rc = libusb_control_transfer(handle, 0xA1, 0, 0, 0, buf, sizeof buf, timeoutMs);
    if (rc < 2) {
        std::printf("device-id rc %d\n", rc);
        return;
    }
    int len = (buf[0] << 8) | buf[1];
    std::printf("device-id rc %d len %d %s\n", rc, len,
                std::string(reinterpret_cast<char*>(buf) + 2, rc - 2).c_str());
}

int step(int argc, char** argv, int i) {
    std::string s = argv[i];
    auto arg = [&](int k) { return i + k < argc ? std::string(argv[i + k]) : std::string(); };
    if (s == "list") {
        listDevices();
        return 1;
    }
    if (s == "open") {
        handle = libusb_open_device_with_vid_pid(ctx, 0x0525, 0xA4B6);
        std::printf("open %s\n", handle ? "ok" : "failed");
        if (handle)
            std::printf("opened bus %u addr %u\n", libusb_get_bus_number(libusb_get_device(handle)),
                        libusb_get_device_address(libusb_get_device(handle)));
        return 1;
    }
    if (s == "open-index") {
        openIndex(std::atoi(arg(1).c_str()));
        return 2;
    }
    if (s == "open-serial") {
        handle = openSerial(arg(1));
        std::printf("open-serial %s %s\n", arg(1).c_str(), handle ? "ok" : "failed");
        return 2;
    }
    if (s == "serials") {
        serials();
        return 1;
    }
    if (s == "parallel") {
        parallel(std::atoi(arg(1).c_str()), arg(2));
        return 3;
    }
    if (s == "signal") {
        std::ofstream(arg(1)) << "1";
        return 2;
    }
    if (s == "await") {
        await(arg(1));
        return 2;
    }
    if (s == "timeout") {
        timeoutMs = static_cast<unsigned>(std::atoi(arg(1).c_str()));
        return 2;
    }
    if (s == "leak") {
        leaked.push_back(handle);
        handle = nullptr;
        std::printf("leak\n");
        return 1;
    }
    if (s == "close") {
        if (handle)
            libusb_close(handle);
        handle = nullptr;
        std::printf("close\n");
        return 1;
    }
    if (!handle) {
        std::printf("%s no-handle\n", s.c_str());
        return 1;
    }
    if (s == "claim" || s == "release" || s == "active" || s == "detach") {
        int n = std::atoi(arg(1).c_str());
        int rc = s == "claim"     ? libusb_claim_interface(handle, n)
                 : s == "release" ? libusb_release_interface(handle, n)
                 : s == "active"  ? libusb_kernel_driver_active(handle, n)
                                  : libusb_detach_kernel_driver(handle, n);
        std::printf("%s %d rc %d\n", s.c_str(), n, rc);
        return 2;
    }
    if (s == "write") {
        auto ep = static_cast<unsigned char>(std::strtoul(arg(1).c_str(), nullptr, 16));
        std::vector<unsigned char> data = fromHex(arg(2));
        int done = -1;
        int rc = libusb_bulk_transfer(handle, ep, data.data(), static_cast<int>(data.size()), &done,
                                      timeoutMs);
        std::printf("write rc %d n %d\n", rc, done);
        return 3;
    }
    if (s == "read") {
        auto ep = static_cast<unsigned char>(std::strtoul(arg(1).c_str(), nullptr, 16));
        int len = std::atoi(arg(2).c_str());
        std::vector<unsigned char> data(static_cast<size_t>(len > 0 ? len : 1));
        int done = -1;
        int rc = libusb_bulk_transfer(handle, ep, data.data(), len, &done, timeoutMs);
        std::printf("read rc %d n %d data %s\n", rc, done,
                    toHex(data.data(), done > 0 ? done : 0).c_str());
        return 3;
    }
    if (s == "strings") {
        strings();
        return 1;
    }
    if (s == "device-id") {
        deviceId();
        return 1;
    }
    std::printf("unknown step %s\n", s.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (libusb_init(&ctx) < 0) {
        std::printf("init failed\n");
        return 1;
    }
    for (int i = 1; i < argc;)
        i += step(argc, argv, i);
    std::fflush(stdout);
    if (handle)
        libusb_close(handle);
    for (libusb_device_handle* h : leaked)
        libusb_close(h);
    libusb_exit(ctx);
    return 0;
}
