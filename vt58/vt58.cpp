// The virtual T58 on umockdev: sysfs entries for the layout, and a usbfs emulation on each
// printer's device node that answers the ioctls libusb issues. This file: umockdev's
// notices and the public face; bus.cpp the bus and its nodes, usbfs.cpp the ioctls,
// transfers.cpp the transfer queue.
#include "vt58/emulator.h"
#include "vt58/plugs.h"

namespace vt58 {

namespace detail {

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

} // namespace detail

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

void VirtualT58::Impl::event(int device, UsbEventKind kind, int interface, int value) {
    rec.events.push_back({device, Clock::now(), kind, interface, value});
}

void VirtualT58::Impl::protocolError(int device, int seq, std::string what) {
    rec.errors.push_back({device, seq, Clock::now(), std::move(what)});
}

// --- the public face ---

VirtualT58::VirtualT58(Scenario scenario) : impl_(std::make_unique<Impl>()) {
    impl_->scenario = std::move(scenario);
    impl_->ok = impl_->setUp();
    if (impl_->ok)
        plugs_ = std::make_unique<PlugTimer>(
            plugSteps(*this, impl_->scenario),
            [this](int device, bool in) { in ? replug(device) : unplug(device); });
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
