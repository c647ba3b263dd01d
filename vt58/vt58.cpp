// The virtual T58 on umockdev: sysfs entries for the layout, and a usbfs emulation on each
// printer's device node that answers the ioctls libusb issues.

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
using namespace detail;

// Where a late notice from umockdev finds the emulator, or nothing once it is gone.
struct Gate {
    std::mutex mu;
    VirtualT58::Impl* impl = nullptr;
};

namespace {

constexpr uint32_t kCaps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                           USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
// usbfs refuses larger transfers too; this bounds what a client can make us copy.
constexpr int kMaxUrbBytes = 1 << 20;
constexpr const char* kKernelDriver = "usblp";

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

void releaseUrb(Urb& u) {
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

std::string errnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

void fillFifo(int fd) {
    static const char block[4096] = {};
    while (write(fd, block, sizeof block) > 0) {
    }
}

void drainFifo(int fd) {
    char block[4096];
    while (read(fd, block, sizeof block) > 0) {
    }
}

} // namespace

struct Gate;

namespace {

std::vector<PlugTimer::Step> plugSteps(const VirtualT58& bus, const Scenario& s) {
    std::vector<PlugTimer::Step> steps;
    for (int i = 0; i < bus.printerCount(); ++i) {
        const PrinterSetup p = s.printerSetup(i);
        if (p.plugInAtMs >= 0)
            steps.push_back({std::chrono::milliseconds(p.plugInAtMs), i, true});
        if (p.unplugAtMs >= 0)
            steps.push_back({std::chrono::milliseconds(p.unplugAtMs), i, false});
    }
    return steps;
}

} // namespace

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

namespace {

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer p) {
    return static_cast<VirtualT58::Impl*>(p)->handle(client) ? TRUE : FALSE;
}

void onConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer p) {
    auto* impl = static_cast<VirtualT58::Impl*>(p);
    std::lock_guard lock(impl->mu);
    impl->clientOf(client);
}

// umockdev drops its client object when the client's connection closes (the child closed
// the node or ended); a weak reference tells us. The gate outlives the emulator so that a
// late notification after tearDown finds no emulator instead of a freed one.

void onClientGone(gpointer data, GObject* where) {
    auto* gate = static_cast<std::shared_ptr<Gate>*>(data);
    {
        std::lock_guard lock((*gate)->mu);
        if ((*gate)->impl)
            (*gate)->impl->dropClient(reinterpret_cast<UMockdevIoctlClient*>(where));
    }
    delete gate;
}

UMockdevIoctlData* resolve(UMockdevIoctlData* data, size_t offset, size_t len) {
    GError* err = nullptr;
    UMockdevIoctlData* r = umockdev_ioctl_data_resolve(data, offset, len, &err);
    if (err)
        g_error_free(err);
    return r;
}

} // namespace

void VirtualT58::Impl::event(int device, UsbEventKind kind, int interface, int value) {
    rec.events.push_back({device, Clock::now(), kind, interface, value});
}

void VirtualT58::Impl::protocolError(int device, int seq, std::string what) {
    rec.errors.push_back({device, seq, Clock::now(), std::move(what)});
}

bool VirtualT58::Impl::setUp() {
    // umockdev's worker runs from the first attach on; what it reads is made under the lock.
    std::lock_guard lock(mu);
    rec.start = Clock::now();
    gate = std::make_shared<Gate>();
    gate->impl = this;
    testbed = umockdev_testbed_new();
    if (!testbed) {
        error = "umockdev_testbed_new failed";
        return false;
    }
    gchar* r = umockdev_testbed_get_root_dir(testbed);
    root = r ? r : "";
    g_free(r);
    handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(onIoctl), this);
    g_signal_connect(handler, "client-connected", G_CALLBACK(onConnected), this);

    std::vector<DeviceSpec> layout = buildLayout(scenario, error);
    if (!error.empty())
        return false;
    for (DeviceSpec& spec : layout) {
        if (spec.printer < 0) {
            GError* err = nullptr;
            if (!umockdev_testbed_add_from_string(testbed, umockdevText(spec).c_str(), &err)) {
                error = err ? err->message : "add_from_string failed";
                if (err)
                    g_error_free(err);
                return false;
            }
            continue;
        }
        Device d;
        d.node = devnodeOf(spec);
        d.script = scenario.printerSetup(spec.printer);
        d.spec = std::move(spec);
        if (d.script.kernelDriver || scenario.layout == Layout::KernelDriver)
            d.driverBound.insert(d.spec.printerInterface);
        devices.push_back(std::move(d));
    }
    for (Device& d : devices) {
        GError* err = nullptr;
        // The handler first, so that the node serves as soon as the device appears.
        if (!umockdev_testbed_attach_ioctl(testbed, d.node.c_str(), handler, &err) ||
            (!d.script.unplugged &&
             !umockdev_testbed_add_from_string(testbed, umockdevText(d.spec).c_str(), &err))) {
            error = err ? err->message : "attach_ioctl failed";
            if (err)
                g_error_free(err);
            return false;
        }
        if (!makeFifo(d))
            return false;
        if (d.script.unplugged) {
            if (rename(nodePath(d).c_str(), unpluggedPath(d).c_str()) != 0) {
                error = errnoText(("cannot move " + nodePath(d)).c_str());
                return false;
            }
            d.unplugged = d.gone = true;
        }
    }
    return true;
}

std::string VirtualT58::Impl::nodePath(const Device& d) const {
    return root + d.node;
}

// Where an unplugged printer's node waits for its return: the same FIFO, so the emulator's
// state and the handles from before stay as they are, while opening the node fails.
std::string VirtualT58::Impl::unpluggedPath(const Device& d) const {
    return root + d.node + ".unplugged";
}

// A FIFO kept full: libusb's poll() for POLLOUT then blocks until a URB is ready.
bool VirtualT58::Impl::makeFifo(Device& d) {
    std::string path = nodePath(d);
    std::string dir = path.substr(0, path.rfind('/'));
    if (g_mkdir_with_parents(dir.c_str(), 0755) != 0 ||
        (unlink(path.c_str()) != 0 && errno != ENOENT) || mkfifo(path.c_str(), 0666) != 0) {
        error = errnoText(("cannot make the FIFO " + path).c_str());
        return false;
    }
    d.fifo = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (d.fifo < 0) {
        error = errnoText(("cannot open " + path).c_str());
        return false;
    }
    fillFifo(d.fifo);
    return true;
}

// Both run under the lock throughout (the testbed calls only touch files and sockets), so a
// reply hook may unplug its own printer.
bool VirtualT58::Impl::unplug(int device) {
    std::lock_guard lock(mu);
    if (closing || device < 0 || static_cast<size_t>(device) >= devices.size())
        return false;
    Device& d = devices[static_cast<size_t>(device)];
    if (d.unplugged)
        return false;
    d.unplugged = true;
    vanish(d, -1, -1, UsbEventKind::Unplug);
    // Opening the node fails from now on, as on a real bus.
    rename(nodePath(d).c_str(), unpluggedPath(d).c_str());
    umockdev_testbed_remove_device(testbed, ("/sys" + d.spec.sysPath).c_str());
    // A libusb already running drops the device on the uevent.
    sendUevent(root, d.spec, "remove", ++ueventSeq);
    return true;
}

bool VirtualT58::Impl::replug(int device) {
    std::lock_guard lock(mu);
    if (closing || device < 0 || static_cast<size_t>(device) >= devices.size())
        return false;
    Device& d = devices[static_cast<size_t>(device)];
    if (!d.unplugged)
        return false;
    rename(unpluggedPath(d).c_str(), nodePath(d).c_str());
    GError* err = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, umockdevText(d.spec, false).c_str(), &err)) {
        rename(nodePath(d).c_str(), unpluggedPath(d).c_str());
        protocolError(device, 0, std::string("cannot replug: ") + (err ? err->message : "?"));
        if (err)
            g_error_free(err);
        return false;
    }
    d.unplugged = false;
    d.gone = false;
    d.reply.reset();
    // The kernel binds its driver again to a printer that comes back.
    d.driverBound.clear();
    if (d.script.kernelDriver || scenario.layout == Layout::KernelDriver)
        d.driverBound.insert(d.spec.printerInterface);
    event(device, UsbEventKind::Replug);
    sendUevent(root, d.spec, "add", ++ueventSeq);
    return true;
}

void VirtualT58::Impl::tearDown() {
    {
        std::lock_guard lock(gate->mu);
        gate->impl = nullptr;
    }
    {
        std::lock_guard lock(mu);
        closing = true;
        if (handler)
            g_signal_handlers_disconnect_by_data(handler, this);
    }
    if (testbed) {
        for (Device& d : devices)
            umockdev_testbed_detach_ioctl(testbed, d.node.c_str(), nullptr);
        g_object_unref(testbed);
        testbed = nullptr;
    }
    std::lock_guard lock(mu);
    for (auto& [ptr, c] : clients) {
        for (Urb& u : c.pending)
            releaseUrb(u);
        for (Urb& u : c.completed)
            releaseUrb(u);
    }
    clients.clear();
    if (handler)
        g_object_unref(handler);
    handler = nullptr;
    for (Device& d : devices)
        if (d.fifo >= 0)
            close(d.fifo);
}

Client* VirtualT58::Impl::clientOf(UMockdevIoctlClient* client) {
    auto it = clients.find(client);
    if (it != clients.end())
        return &it->second;
    const char* node = umockdev_ioctl_client_get_devnode(client);
    for (size_t i = 0; i < devices.size(); ++i) {
        if (node && devices[i].node == node) {
            Client c;
            c.client = client;
            c.device = static_cast<int>(i);
            c.epoch = devices[i].epoch;
            g_object_weak_ref(G_OBJECT(client), onClientGone, new std::shared_ptr<Gate>(gate));
            event(c.device, UsbEventKind::Open);
            return &clients.emplace(client, std::move(c)).first->second;
        }
    }
    return nullptr;
}

void VirtualT58::Impl::dropClient(UMockdevIoctlClient* client) {
    std::lock_guard lock(mu);
    auto it = clients.find(client);
    if (closing || it == clients.end())
        return;
    Client& c = it->second;
    Device& d = devices[static_cast<size_t>(c.device)];
    for (int ifno : c.claimed)
        event(c.device, UsbEventKind::Release, ifno, 1); // released by the close
    for (Urb& u : c.pending)
        releaseUrb(u);
    for (Urb& u : c.completed)
        releaseUrb(u);
    event(c.device, UsbEventKind::Close);
    clients.erase(it);
    syncFifo(d);
}

void VirtualT58::Impl::syncFifo(Device& d) {
    bool ready = false;
    for (auto& [ptr, c] : clients)
        if (c.device == d.spec.printer && !c.completed.empty())
            ready = true;
    if (d.fifo < 0 || ready == d.drained)
        return;
    if (ready)
        drainFifo(d.fifo);
    else
        fillFifo(d.fifo);
    d.drained = ready;
}

void VirtualT58::Impl::updateGone(Device& d) {
    if (d.gone && d.backAfterMs >= 0 &&
        Clock::now() - d.goneAt >= std::chrono::milliseconds(d.backAfterMs)) {
        d.gone = false;
        event(d.spec.printer, UsbEventKind::Back);
    }
}

void VirtualT58::Impl::vanish(Device& d, int backAfterMs, int backAfterRequests, UsbEventKind why) {
    d.gone = true;
    d.goneAt = Clock::now();
    d.backAfterMs = backAfterMs;
    d.backAfterRequests = backAfterRequests;
    d.refused = 0;
    d.epoch++;
    d.reply.reset();
    event(d.spec.printer, why);
    // Like a disconnect: every transfer under way ends with ENODEV, claims are gone.
    for (auto& [ptr, c] : clients) {
        if (c.device != d.spec.printer)
            continue;
        for (Urb& u : c.pending) {
            u.status = -ENODEV;
            u.actual = 0;
            c.completed.push_back(u);
        }
        c.pending.clear();
        c.claimed.clear();
    }
    syncFifo(d);
}

bool VirtualT58::Impl::refuseIfGone(Client& c, Device& d, UMockdevIoctlClient* client) {
    if (!d.gone && c.epoch == d.epoch)
        return false;
    if (d.gone) {
        d.refused++;
        event(c.device, UsbEventKind::Refused, -1, ENODEV);
        if (d.backAfterRequests >= 0 && d.refused >= d.backAfterRequests) {
            d.gone = false;
            event(c.device, UsbEventKind::Back);
        }
    }
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return true;
}

bool VirtualT58::Impl::handle(UMockdevIoctlClient* client) {
    std::lock_guard lock(mu);
    if (closing)
        return false;
    Client* c = clientOf(client);
    if (!c)
        return false;
    Device& d = devices[static_cast<size_t>(c->device)];
    updateGone(d);
    gulong req = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (req == USBDEVFS_REAPURBNDELAY || req == USBDEVFS_REAPURB) {
        reap(*c, d, client);
        return true;
    }
    if (req == USBDEVFS_DISCARDURB) {
        discard(*c, d, client);
        return true;
    }
    if (refuseIfGone(*c, d, client))
        return true;
    switch (req) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = resolve(arg, 0, sizeof(uint32_t));
        if (caps) {
            uint32_t v = kCaps;
            std::memcpy(caps->data, &v, sizeof v);
            g_object_unref(caps);
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        UMockdevIoctlData* n = resolve(arg, 0, sizeof(unsigned int));
        unsigned int ifno = 0;
        if (n) {
            std::memcpy(&ifno, n->data, sizeof ifno);
            g_object_unref(n);
        }
        if (req == USBDEVFS_CLAIMINTERFACE)
            claim(*c, d, client, static_cast<int>(ifno));
        else
            release(*c, d, client, static_cast<int>(ifno));
        return true;
    }
    case USBDEVFS_GETDRIVER:
        getDriver(*c, d, client);
        return true;
    case USBDEVFS_IOCTL:
        usbIoctl(*c, d, client);
        return true;
    case USBDEVFS_DISCONNECT_CLAIM:
        disconnectClaim(*c, d, client);
        return true;
    case USBDEVFS_SUBMITURB:
        submit(*c, d, client);
        return true;
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    default:
        event(c->device, UsbEventKind::Unknown, -1, static_cast<int>(req));
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return true;
    }
}

// A claim held by another handle may belong to one the child has just closed: umockdev
// reports the close a moment later. Such a claim is asked again a few times before EBUSY,
// as a real kernel has released it by then; a handle that stays open keeps its claim.
namespace {

constexpr int kClaimRetries = 10;
constexpr guint kClaimRetryMs = 20;

struct ClaimRetry {
    std::shared_ptr<Gate> gate;
    UMockdevIoctlClient* client = nullptr; // one reference while the request waits
    int ifno = 0;
    int attempt = 0;
};

gboolean retryClaim(gpointer p) {
    auto* r = static_cast<ClaimRetry*>(p);
    std::lock_guard lock(r->gate->mu);
    VirtualT58::Impl* impl = r->gate->impl;
    if (!impl) {
        umockdev_ioctl_client_complete(r->client, -1, ENODEV);
        return G_SOURCE_REMOVE;
    }
    impl->claimAgain(r->client, r->ifno, r->attempt);
    return G_SOURCE_REMOVE;
}

void freeRetry(gpointer p) {
    auto* r = static_cast<ClaimRetry*>(p);
    g_object_unref(r->client);
    delete r;
}

} // namespace

void VirtualT58::Impl::claimAgain(UMockdevIoctlClient* client, int ifno, int attempt) {
    std::lock_guard lock(mu);
    Client* c = clients.count(client) ? &clients[client] : nullptr;
    if (closing || !c) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    claim(*c, devices[static_cast<size_t>(c->device)], client, ifno, attempt);
}

void VirtualT58::Impl::claim(Client& c, Device& d, UMockdevIoctlClient* client, int ifno,
                             int attempt) {
    bool exists = false;
    for (int i : d.spec.interfaces)
        exists = exists || i == ifno;
    if (!exists) {
        umockdev_ioctl_client_complete(client, -1, ENOENT);
        return;
    }
    bool heldElsewhere = false;
    for (auto& [ptr, other] : clients)
        if (&other != &c && other.device == c.device && other.claimed.count(ifno))
            heldElsewhere = true;
    if (heldElsewhere && !d.driverBound.count(ifno) && attempt < kClaimRetries) {
        auto* r = new ClaimRetry{gate, static_cast<UMockdevIoctlClient*>(g_object_ref(client)),
                                 ifno, attempt + 1};
        GSource* src = g_timeout_source_new(kClaimRetryMs);
        g_source_set_callback(src, retryClaim, r, freeRetry);
        g_source_attach(src, g_main_context_get_thread_default());
        g_source_unref(src);
        return;
    }
    if (d.driverBound.count(ifno) || heldElsewhere) {
        event(c.device, UsbEventKind::ClaimBusy, ifno, EBUSY);
        umockdev_ioctl_client_complete(client, -1, EBUSY);
        return;
    }
    c.claimed.insert(ifno);
    event(c.device, UsbEventKind::Claim, ifno);
    umockdev_ioctl_client_complete(client, 0, 0);
}

void VirtualT58::Impl::release(Client& c, Device&, UMockdevIoctlClient* client, int ifno) {
    if (!c.claimed.erase(ifno)) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    event(c.device, UsbEventKind::Release, ifno);
    umockdev_ioctl_client_complete(client, 0, 0);
}

void VirtualT58::Impl::getDriver(Client& c, Device& d, UMockdevIoctlClient* client) {
    UMockdevIoctlData* g =
        resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_getdriver));
    if (!g) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    auto* gd = reinterpret_cast<usbdevfs_getdriver*>(g->data);
    int ifno = static_cast<int>(gd->interface);
    const char* name = nullptr;
    if (d.driverBound.count(ifno))
        name = kKernelDriver;
    for (auto& [ptr, other] : clients)
        if (other.device == c.device && other.claimed.count(ifno))
            name = "usbfs";
    event(c.device, UsbEventKind::DriverQuery, ifno, name ? 1 : 0);
    if (name) {
        std::memset(gd->driver, 0, sizeof gd->driver);
        std::strncpy(gd->driver, name, sizeof gd->driver - 1);
    }
    g_object_unref(g);
    umockdev_ioctl_client_complete(client, name ? 0 : -1, name ? 0 : ENODATA);
}

void VirtualT58::Impl::usbIoctl(Client& c, Device& d, UMockdevIoctlClient* client) {
    UMockdevIoctlData* g =
        resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_ioctl));
    if (!g) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    usbdevfs_ioctl cmd;
    std::memcpy(&cmd, g->data, sizeof cmd);
    g_object_unref(g);
    if (static_cast<unsigned long>(static_cast<unsigned int>(cmd.ioctl_code)) ==
        USBDEVFS_DISCONNECT) {
        if (d.driverBound.erase(cmd.ifno)) {
            event(c.device, UsbEventKind::Detach, cmd.ifno);
            umockdev_ioctl_client_complete(client, 0, 0);
        } else {
            event(c.device, UsbEventKind::DetachNone, cmd.ifno, ENODATA);
            umockdev_ioctl_client_complete(client, -1, ENODATA);
        }
        return;
    }
    if (static_cast<unsigned long>(static_cast<unsigned int>(cmd.ioctl_code)) == USBDEVFS_CONNECT) {
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    event(c.device, UsbEventKind::Unknown, cmd.ifno, cmd.ioctl_code);
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
}

void VirtualT58::Impl::disconnectClaim(Client& c, Device& d, UMockdevIoctlClient* client) {
    UMockdevIoctlData* g =
        resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_disconnect_claim));
    if (!g) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    usbdevfs_disconnect_claim dc;
    std::memcpy(&dc, g->data, sizeof dc);
    g_object_unref(g);
    int ifno = static_cast<int>(dc.interface);
    if (d.driverBound.erase(ifno))
        event(c.device, UsbEventKind::Detach, ifno);
    claim(c, d, client, ifno);
}

void VirtualT58::Impl::complete(Client& c, Device& d, Urb u) {
    c.completed.push_back(u);
    syncFifo(d);
}

void VirtualT58::Impl::submit(Client& c, Device& d, UMockdevIoctlClient* client) {
    UMockdevIoctlData* ud = resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_urb));
    if (!ud) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    auto* raw = reinterpret_cast<usbdevfs_urb*>(ud->data);
    Urb u;
    u.data = ud;
    u.clientAddr = ud->client_addr;
    u.type = raw->type;
    u.endpoint = raw->endpoint;
    u.bufferLength = raw->buffer_length;
    if (u.bufferLength < 0 || u.bufferLength > kMaxUrbBytes) {
        releaseUrb(u);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    if (u.bufferLength > 0) {
        u.buffer = resolve(ud, offsetof(usbdevfs_urb, buffer), static_cast<size_t>(u.bufferLength));
        if (!u.buffer) {
            releaseUrb(u);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
    }
    if (u.type == USBDEVFS_URB_TYPE_CONTROL) {
        umockdev_ioctl_client_complete(client, 0, 0);
        control(c, d, u);
        return;
    }
    const Endpoint* ep = findEndpoint(d.spec, u.endpoint);
    if (!ep || u.type == USBDEVFS_URB_TYPE_ISO) {
        char what[96];
        std::snprintf(what, sizeof what, "transfer on endpoint 0x%02x, which the device lacks",
                      u.endpoint);
        protocolError(c.device, 0, what);
        releaseUrb(u);
        umockdev_ioctl_client_complete(client, -1, ENOENT);
        return;
    }
    if (!c.claimed.count(ep->interface)) {
        if (d.driverBound.count(ep->interface)) {
            releaseUrb(u);
            umockdev_ioctl_client_complete(client, -1, EBUSY);
            return;
        }
        // usbfs claims an unclaimed interface on first use; a sound client claims first.
        protocolError(c.device, 0,
                      "transfer on interface " + std::to_string(ep->interface) +
                          " before claiming it");
        c.claimed.insert(ep->interface);
        event(c.device, UsbEventKind::Claim, ep->interface, 1);
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    bool bulk = (ep->attributes & 3) == 2;
    if (!bulk || ep->interface != d.spec.printerInterface) {
        char what[128];
        std::snprintf(what, sizeof what, "transfer on %s endpoint 0x%02x of interface %d",
                      bulk ? "bulk" : "interrupt", u.endpoint, ep->interface);
        protocolError(c.device, 0, what);
        // Nothing answers there: IN waits forever, OUT is swallowed.
        if (u.endpoint & 0x80) {
            u.stuck = true;
            c.pending.push_back(u);
        } else {
            u.actual = u.bufferLength;
            complete(c, d, u);
        }
        return;
    }
    if (u.endpoint & 0x80)
        bulkIn(c, d, client, u);
    else
        bulkOut(c, d, client, u);
}

void VirtualT58::Impl::bulkOut(Client& c, Device& d, UMockdevIoctlClient*, Urb& u) {
    d.writes++;
    std::vector<uint8_t> bytes(u.buffer ? u.buffer->data : nullptr,
                               u.buffer ? u.buffer->data + u.bufferLength : nullptr);
    const FaultRule* f = faultAt(d.script, Site::Write, d.writes);
    Fault fault = f ? f->fault : Fault::None;
    if (fault == Fault::None) {
        u.actual = u.bufferLength;
        complete(c, d, u);
        receiveFrame(d, std::move(bytes), u.endpoint);
        deliverReplies(d);
        return;
    }
    if (fault == Fault::Vanish) {
        u.status = -ENODEV;
        complete(c, d, u);
        vanish(d, f->backAfterMs, f->backAfterRequests);
        return;
    }
    size_t got = fault == Fault::Short
                     ? std::min(bytes.size(), static_cast<size_t>(std::max(0, f->shortLength)))
                     : 0;
    FrameRecord fr;
    fr.seq = ++frameSeq;
    fr.device = c.device;
    fr.endpoint = u.endpoint;
    fr.at = Clock::now();
    fr.kind = FrameKind::Partial;
    fr.bytes.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(got));
    rec.frames.push_back(fr);
    rec.bytesReceived += got;
    if (fault == Fault::Timeout) {
        u.stuck = true;
        c.pending.push_back(u);
        return;
    }
    u.status = fault == Fault::TransferError ? -EPROTO : 0;
    u.actual = static_cast<int>(got);
    complete(c, d, u);
}

void VirtualT58::Impl::bulkIn(Client& c, Device& d, UMockdevIoctlClient*, Urb& u) {
    d.reads++;
    const FaultRule* f = faultAt(d.script, Site::Read, d.reads);
    Fault fault = f ? f->fault : Fault::None;
    if (fault == Fault::Vanish) {
        u.status = -ENODEV;
        complete(c, d, u);
        vanish(d, f->backAfterMs, f->backAfterRequests);
        return;
    }
    if (fault == Fault::TransferError) {
        ReplyRecord r;
        r.frameSeq = d.reply ? d.reply->frameSeq : 0;
        r.device = c.device;
        r.endpoint = u.endpoint;
        r.at = Clock::now();
        r.fault = Fault::TransferError;
        rec.replies.push_back(r);
        d.reply.reset();
        u.status = -EPROTO;
        complete(c, d, u);
        return;
    }
    if (fault == Fault::Timeout) {
        if (d.reply) {
            ReplyRecord r;
            r.frameSeq = d.reply->frameSeq;
            r.device = c.device;
            r.endpoint = u.endpoint;
            r.at = Clock::now();
            r.fault = Fault::Timeout;
            rec.replies.push_back(r);
        }
        d.reply.reset(); // the reply is lost with the read that timed out
        u.stuck = true;
        c.pending.push_back(u);
        return;
    }
    if (fault == Fault::Short)
        u.shortLength = std::max(0, f->shortLength);
    c.pending.push_back(u);
    deliverReplies(d);
}

void VirtualT58::Impl::deliverReplies(Device& d) {
    for (auto& [ptr, c] : clients) {
        if (c.device != d.spec.printer || !d.reply)
            continue;
        for (auto it = c.pending.begin(); it != c.pending.end() && d.reply; ++it) {
            if (it->stuck || !(it->endpoint & 0x80))
                continue;
            Urb u = *it;
            c.pending.erase(it);
            deliver(d, u);
            complete(c, d, u);
            break;
        }
    }
}

void VirtualT58::Impl::deliver(Device& d, Urb& u) {
    PendingReply r = std::move(*d.reply);
    d.reply.reset();
    ReplyRecord rr;
    rr.frameSeq = r.frameSeq;
    rr.device = d.spec.printer;
    rr.endpoint = u.endpoint;
    rr.at = Clock::now();
    rr.fault = r.fault;
    if (r.fault == Fault::TransferError) {
        u.status = -EPROTO;
        rec.replies.push_back(rr);
        return;
    }
    std::vector<uint8_t>& bytes = r.bytes;
    if (u.shortLength >= 0 && bytes.size() > static_cast<size_t>(u.shortLength)) {
        bytes.resize(static_cast<size_t>(u.shortLength));
        rr.fault = Fault::Short;
    }
    size_t n = std::min(bytes.size(), static_cast<size_t>(u.bufferLength));
    if (n > 0)
        std::memcpy(u.buffer->data, bytes.data(), n);
    // A reply longer than the read's buffer overflows it, as on a real bus.
    u.status = bytes.size() > n ? -EOVERFLOW : 0;
    u.actual = static_cast<int>(n);
    rr.bytes.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    rec.replies.push_back(rr);
}

void VirtualT58::Impl::receiveFrame(Device& d, std::vector<uint8_t> bytes, uint8_t endpoint) {
    const int device = d.spec.printer;
    std::vector<std::string> problems;
    FrameRecord fr;
    fr.seq = ++frameSeq;
    fr.device = device;
    fr.endpoint = endpoint;
    fr.at = Clock::now();
    fr.kind = classifyFrame(bytes, problems);
    fr.bytes = std::move(bytes);
    rec.bytesReceived += fr.bytes.size();
    d.frames++;
    Site site = Site::StatusReply;
    int index = 0;
    if (fr.kind == FrameKind::Status) {
        index = ++d.status;
    } else if (fr.kind == FrameKind::Print) {
        index = ++d.print;
        site = Site::PrintReply;
    } else {
        index = ++d.bad;
    }
    fr.kindIndex = index;
    if (d.reply)
        problems.push_back("frame sent while the reply to frame " +
                           std::to_string(d.reply->frameSeq) + " was not read");
    d.reply.reset();

    uint8_t cmd = fr.bytes.size() > 3 ? fr.bytes[3] : 0;
    Reply reply;
    reply.bytes = scriptedReply(d.script, fr.kind, cmd, index, d.frames);
    const FaultRule* f = fr.kind == FrameKind::Bad ? nullptr : faultAt(d.script, site, index);
    if (f) {
        reply.fault = f->fault;
        reply.backAfterMs = f->backAfterMs;
        reply.backAfterRequests = f->backAfterRequests;
        if (f->fault == Fault::Short)
            reply.bytes.resize(
                std::min(reply.bytes.size(), static_cast<size_t>(std::max(0, f->shortLength))));
    }
    if (scenario.hook) {
        // The hook runs inside umockdev's C callbacks: nothing may unwind through them.
        try {
            scenario.hook(fr, reply);
        } catch (...) {
            problems.push_back("the reply hook threw; the scripted reply was sent");
        }
    }

    if (fr.kind == FrameKind::Print) {
        fr.refused = reply.bytes.size() > 4 && (reply.bytes[4] & 0x40);
        std::optional<Head> head = headOf(d.script.headByte);
        if (!head) {
            problems.push_back("print data while the printer reports the unsupported head type " +
                               std::to_string(d.script.headByte & 7));
        } else {
            bool taken = false;
            std::vector<std::string> more =
                d.pages.block(fr.bytes, *head, !fr.refused, device, fr.at, rec.pages, taken);
            fr.taken = taken;
            problems.insert(problems.end(), more.begin(), more.end());
        }
    }
    for (std::string& p : problems)
        protocolError(device, fr.seq, std::move(p));
    int seq = fr.seq;
    rec.frames.push_back(std::move(fr));

    switch (reply.fault) {
    case Fault::Timeout: {
        ReplyRecord rr;
        rr.frameSeq = seq;
        rr.device = device;
        rr.at = Clock::now();
        rr.fault = Fault::Timeout;
        rec.replies.push_back(rr);
        break;
    }
    case Fault::Vanish:
        vanish(d, reply.backAfterMs, reply.backAfterRequests);
        break;
    default:
        d.reply = PendingReply{std::move(reply.bytes), reply.fault, seq};
        break;
    }
}

void VirtualT58::Impl::control(Client& c, Device& d, Urb& u) {
    if (!u.buffer || u.bufferLength < 8) {
        u.status = -EPIPE;
        complete(c, d, u);
        return;
    }
    const uint8_t* s = u.buffer->data;
    uint8_t type = s[0], request = s[1];
    int value = s[2] | (s[3] << 8);
    int length = s[6] | (s[7] << 8);
    event(c.device, UsbEventKind::Control, -1, (type << 8) | request);
    std::vector<uint8_t> reply;
    bool stall = false;
    if (type == 0x80 && request == 6) {
        int kind = value >> 8, index = value & 0xFF;
        if (kind == 1) {
            reply = d.spec.deviceDescriptor;
        } else if (kind == 2) {
            reply = d.spec.configDescriptor;
        } else if (kind == 3 && index == 0) {
            reply = {4, 3, 0x09, 0x04};
        } else if (kind == 3 && index >= 1 && index <= 3) {
            const std::string& text = index == 1   ? d.spec.manufacturer
                                      : index == 2 ? d.spec.product
                                                   : d.spec.serial;
            reply = {static_cast<uint8_t>(2 + 2 * text.size()), 3};
            for (char ch : text)
                reply.insert(reply.end(), {static_cast<uint8_t>(ch), 0});
        } else {
            stall = true;
        }
    } else if (type == 0xA1 && request == 0) {
        // IEEE 1284 device id: a big-endian length that counts itself, then the text.
        std::string id = "MFG:" + d.spec.manufacturer + ";MDL:" + d.spec.product +
                         ";CMD:T58;CLS:PRINTER;DES:" + d.spec.manufacturer + " " + d.spec.product +
                         ";SN:" + d.spec.serial + ";";
        size_t n = id.size() + 2;
        reply = {static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n & 0xFF)};
        reply.insert(reply.end(), id.begin(), id.end());
    } else if (type == 0xA1 && request == 1) {
        reply = {0x18}; // selected, no error, paper present
    } else if ((type & 0x7F) == 0x21 && request == 2) {
        reply = {}; // soft reset
    } else {
        stall = true;
    }
    if (stall) {
        u.status = -EPIPE;
    } else {
        size_t n = std::min(
            {reply.size(), static_cast<size_t>(length), static_cast<size_t>(u.bufferLength - 8)});
        if (n > 0)
            std::memcpy(u.buffer->data + 8, reply.data(), n);
        u.actual = static_cast<int>(n);
    }
    complete(c, d, u);
}

void VirtualT58::Impl::reap(Client& c, Device& d, UMockdevIoctlClient* client) {
    rec.reapCalls++;
    if (c.completed.empty()) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        syncFifo(d);
        return;
    }
    Urb u = c.completed.front();
    c.completed.pop_front();
    auto* raw = reinterpret_cast<usbdevfs_urb*>(u.data->data);
    raw->status = u.status;
    raw->actual_length = u.actual;
    UMockdevIoctlData* slot = resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*));
    if (!slot) {
        releaseUrb(u);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        syncFifo(d);
        return;
    }
    umockdev_ioctl_data_set_ptr(slot, 0, u.data);
    g_object_unref(slot);
    releaseUrb(u);
    umockdev_ioctl_client_complete(client, 0, 0);
    syncFifo(d);
}

void VirtualT58::Impl::discard(Client& c, Device& d, UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    gulong addr = 0;
    if (arg && arg->data_len >= static_cast<gint>(sizeof addr))
        std::memcpy(&addr, arg->data, sizeof addr);
    for (auto it = c.pending.begin(); it != c.pending.end(); ++it) {
        if (it->clientAddr != addr)
            continue;
        Urb u = *it;
        c.pending.erase(it);
        event(c.device, UsbEventKind::Discard, -1, u.endpoint);
        u.status = -ENOENT;
        u.actual = 0;
        umockdev_ioctl_client_complete(client, 0, 0);
        complete(c, d, u);
        return;
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

// --- the public face ---

VirtualT58::VirtualT58(Scenario scenario) : impl_(std::make_unique<Impl>()) {
    impl_->scenario = std::move(scenario);
    impl_->ok = impl_->setUp();
    if (impl_->ok)
        plugs_ = std::make_unique<PlugTimer>(plugSteps(*this, impl_->scenario),
                                             [this](int device, bool in) {
                                                 in ? replug(device) : unplug(device);
                                             });
}

VirtualT58::~VirtualT58() {
    plugs_.reset();
    impl_->tearDown();
}

bool VirtualT58::ok() const {
    return impl_->ok;
}
const std::string& VirtualT58::setupError() const {
    return impl_->error;
}

EnvPairs VirtualT58::childEnv() const {
    return {{"LD_PRELOAD", "libumockdev-preload.so.0"}, {"UMOCKDEV_DIR", impl_->root}};
}

EnvPairs VirtualT58::withChildEnv(EnvPairs base) const {
    for (auto& [name, value] : childEnv()) {
        bool replaced = false;
        for (auto& [n, v] : base) {
            if (n == name) {
                v = value;
                replaced = true;
            }
        }
        if (!replaced)
            base.emplace_back(name, value);
    }
    return base;
}

std::string VirtualT58::rootDir() const {
    return impl_->root;
}
int VirtualT58::printerCount() const {
    return static_cast<int>(impl_->devices.size());
}

std::string VirtualT58::devnode(int device) const {
    if (device < 0 || device >= printerCount())
        return {};
    return impl_->devices[static_cast<size_t>(device)].node;
}

std::string VirtualT58::serialOf(int device) const {
    if (device < 0 || device >= printerCount())
        return {};
    return impl_->devices[static_cast<size_t>(device)].spec.serial;
}

uint8_t VirtualT58::busNumber(int device) const {
    if (device < 0 || device >= printerCount())
        return 0;
    return impl_->devices[static_cast<size_t>(device)].spec.bus;
}

uint8_t VirtualT58::deviceAddress(int device) const {
    if (device < 0 || device >= printerCount())
        return 0;
    return impl_->devices[static_cast<size_t>(device)].spec.address;
}

void VirtualT58::setHook(ReplyHook hook) {
    std::lock_guard lock(impl_->mu);
    impl_->scenario.hook = std::move(hook);
}

Record VirtualT58::record() const {
    std::lock_guard lock(impl_->mu);
    Record r = impl_->rec;
    for (const Device& d : impl_->devices)
        if (std::optional<PrintedPage> p = d.pages.current())
            r.pages.push_back(std::move(*p));
    return r;
}

std::vector<PrintedPage> VirtualT58::pages() const {
    return record().pages;
}

std::vector<ProtocolError> VirtualT58::errors() const {
    std::lock_guard lock(impl_->mu);
    return impl_->rec.errors;
}

std::vector<UsbEvent> VirtualT58::events() const {
    std::lock_guard lock(impl_->mu);
    return impl_->rec.events;
}

size_t VirtualT58::frameCount() const {
    std::lock_guard lock(impl_->mu);
    return impl_->rec.frames.size();
}

size_t VirtualT58::pageCount() const {
    std::lock_guard lock(impl_->mu);
    return impl_->rec.pages.size();
}

bool VirtualT58::vanished(int device) const {
    std::lock_guard lock(impl_->mu);
    if (device < 0 || device >= printerCount())
        return false;
    Device& d = impl_->devices[static_cast<size_t>(device)];
    impl_->updateGone(d);
    return d.gone;
}

bool VirtualT58::unplug(int device) {
    return impl_->unplug(device);
}

bool VirtualT58::replug(int device) {
    return impl_->replug(device);
}

bool VirtualT58::waitClosed(std::chrono::milliseconds timeout) const {
    auto end = Clock::now() + timeout;
    while (true) {
        {
            std::lock_guard lock(impl_->mu);
            if (impl_->clients.empty())
                return true;
        }
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool VirtualT58::waitFor(const std::function<bool(const Record&)>& pred,
                         std::chrono::milliseconds timeout) const {
    auto end = Clock::now() + timeout;
    while (true) {
        if (pred(record()))
            return true;
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace vt58
