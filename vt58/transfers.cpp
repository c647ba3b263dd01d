// The transfer queue: URBs submitted, bulk data to and from the printer, replies
// delivered, completed URBs reaped or discarded.
#include "vt58/emulator.h"

namespace vt58 {

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

} // namespace vt58
