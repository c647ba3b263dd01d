#pragma once

// The virtual T58's emulator, shared by its source files: the state of the bus, its
// devices and clients, and the emulator that serves umockdev's ioctls. Not part of the
// public API.

#include "vt58/internal.h"
#include "vt58/plugs.h"

#include <umockdev.h>

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace vt58 {

// Where a late notice from umockdev finds the emulator, or nothing once it is gone.
struct Gate {
    std::mutex mu;
    VirtualT58::Impl* impl = nullptr;
};

namespace detail {

inline constexpr uint32_t kCaps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                  USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                  USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
// usbfs refuses larger transfers too; this bounds what a client can make us copy.
inline constexpr int kMaxUrbBytes = 1 << 20;
inline constexpr const char* kKernelDriver = "usblp";

struct Urb {
    UMockdevIoctlData* data = nullptr;   // the client's struct usbdevfs_urb (one reference)
    UMockdevIoctlData* buffer = nullptr; // its buffer, resolved (one reference)
    gulong clientAddr = 0;
    uint8_t type = 0;
    uint8_t endpoint = 0;
    int bufferLength = 0;
    bool stuck = false;   // a scripted timeout: completes only when discarded
    int shortLength = -1; // a scripted short read
    int status = 0;
    int actual = 0;
};

inline void releaseUrb(Urb& u) {
    if (u.buffer)
        g_object_unref(u.buffer);
    if (u.data)
        g_object_unref(u.data);
    u.buffer = nullptr;
    u.data = nullptr;
}

struct Client {
    UMockdevIoctlClient* client = nullptr; // not owned: umockdev ends it, a weak ref tells us
    int device = 0;
    uint64_t epoch = 0; // the device's epoch when opened; older clients stay dead
    std::deque<Urb> pending;
    std::deque<Urb> completed;
    std::set<int> claimed;
};

struct PendingReply {
    std::vector<uint8_t> bytes;
    Fault fault = Fault::None;
    int frameSeq = 0;
};

struct Device {
    DeviceSpec spec;
    PrinterSetup script;
    std::string node;
    int fifo = -1;
    bool drained = false;
    bool unplugged = false;
    std::set<int> driverBound;
    int frames = 0, status = 0, print = 0, bad = 0, writes = 0, reads = 0;
    bool gone = false;
    Clock::time_point goneAt{};
    int backAfterMs = -1, backAfterRequests = -1, refused = 0;
    uint64_t epoch = 0;
    std::optional<PendingReply> reply;
    PageAssembler pages;
};

inline std::string errnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

inline void fillFifo(int fd) {
    static const char block[4096] = {};
    while (write(fd, block, sizeof block) > 0) {
    }
}

inline void drainFifo(int fd) {
    char block[4096];
    while (read(fd, block, sizeof block) > 0) {
    }
}

inline UMockdevIoctlData* resolve(UMockdevIoctlData* data, size_t offset, size_t len) {
    GError* err = nullptr;
    UMockdevIoctlData* r = umockdev_ioctl_data_resolve(data, offset, len, &err);
    if (err)
        g_error_free(err);
    return r;
}

// umockdev's notices (vt58.cpp).
gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer p);
void onConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer p);
void onClientGone(gpointer data, GObject* where);

} // namespace detail

using namespace detail;

struct VirtualT58::Impl {
    mutable std::recursive_mutex mu;
    unsigned long long ueventSeq = 0;
    std::shared_ptr<Gate> gate;
    Scenario scenario;
    Record rec;
    std::vector<Device> devices;
    std::map<UMockdevIoctlClient*, Client> clients;
    int frameSeq = 0;
    bool closing = false;
    UMockdevTestbed* testbed = nullptr;
    UMockdevIoctlBase* handler = nullptr;
    std::string root;
    bool ok = false;
    std::string error;

    bool setUp();
    void tearDown();
    bool makeFifo(Device& d);
    std::string nodePath(const Device& d) const;
    std::string unpluggedPath(const Device& d) const;
    bool unplug(int device);
    bool replug(int device);

    Client* clientOf(UMockdevIoctlClient* client);
    void dropClient(UMockdevIoctlClient* client);
    bool handle(UMockdevIoctlClient* client);
    void event(int device, UsbEventKind kind, int interface = -1, int value = 0);
    void protocolError(int device, int frameSeq, std::string what);
    void syncFifo(Device& d);

    void updateGone(Device& d);
    void vanish(Device& d, int backAfterMs, int backAfterRequests,
                UsbEventKind why = UsbEventKind::Vanish);
    bool refuseIfGone(Client& c, Device& d, UMockdevIoctlClient* client);

    void claim(Client& c, Device& d, UMockdevIoctlClient* client, int ifno, int attempt = 0);
    void claimAgain(UMockdevIoctlClient* client, int ifno, int attempt);
    void release(Client& c, Device& d, UMockdevIoctlClient* client, int ifno);
    void getDriver(Client& c, Device& d, UMockdevIoctlClient* client);
    void usbIoctl(Client& c, Device& d, UMockdevIoctlClient* client);
    void disconnectClaim(Client& c, Device& d, UMockdevIoctlClient* client);
    void submit(Client& c, Device& d, UMockdevIoctlClient* client);
    void reap(Client& c, Device& d, UMockdevIoctlClient* client);
    void discard(Client& c, Device& d, UMockdevIoctlClient* client);

    void control(Client& c, Device& d, Urb& u);
    void bulkOut(Client& c, Device& d, UMockdevIoctlClient* client, Urb& u);
    void bulkIn(Client& c, Device& d, UMockdevIoctlClient* client, Urb& u);
    void receiveFrame(Device& d, std::vector<uint8_t> bytes, uint8_t endpoint);
    void deliverReplies(Device& d);
    void deliver(Device& d, Urb& u);
    void complete(Client& c, Device& d, Urb u);
};

} // namespace vt58
