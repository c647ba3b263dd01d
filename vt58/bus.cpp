// The emulated bus: the testbed and its sysfs entries, each printer's node and FIFO, and
// a printer pulled out and put back.
#include "vt58/emulator.h"

namespace vt58 {

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

} // namespace vt58
