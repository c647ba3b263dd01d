// The usbfs ioctls libusb issues on a printer's node: capabilities, claims, drivers,
// control transfers.
#include "vt58/emulator.h"

namespace vt58 {

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

} // namespace vt58
