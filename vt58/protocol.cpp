// The printer's side of the protocol: frame checks, scripted replies, block decoding and
// page reassembly.

#include "vt58/internal.h"

#include <lzo/lzo1x.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace vt58 {

bool PrintedPage::dot(int x, int y) const {
    if (x < 0 || y < 0 || rowBytes <= 0 || x >= rowBytes * 8)
        return false;
    size_t at = static_cast<size_t>(y) * static_cast<size_t>(rowBytes) + static_cast<size_t>(x / 8);
    if (at >= data.size())
        return false;
    return (data[at] >> (7 - x % 8)) & 1;
}

template <class Script> Script& Shorthands<Script>::busy(int polls, int first) {
    auto& self = static_cast<Script&>(*this);
    self.rules.push_back({Match::Status, first, polls, 0x80, -1});
    return self;
}

template <class Script> Script& Shorthands<Script>::notReady(int polls, uint8_t bits, int first) {
    auto& self = static_cast<Script&>(*this);
    self.rules.push_back({Match::Status, first, polls, static_cast<uint8_t>(bits & 0x3F), -1});
    return self;
}

template <class Script> Script& Shorthands<Script>::jobWait(int polls, int first) {
    auto& self = static_cast<Script&>(*this);
    self.rules.push_back({Match::Status, first, polls, 0, 0x20});
    return self;
}

template <class Script> Script& Shorthands<Script>::jobStop(int first, int count) {
    auto& self = static_cast<Script&>(*this);
    self.rules.push_back({Match::Status, first, count, 0, 0x60});
    return self;
}

template <class Script> Script& Shorthands<Script>::refusePrint(int frame, int count) {
    auto& self = static_cast<Script&>(*this);
    self.rules.push_back({Match::Print, frame, count, 0x40, -1});
    return self;
}

template <class Script> Script& Shorthands<Script>::refuseEveryPrint() {
    return refusePrint(1, kForever);
}

template <class Script>
Script& Shorthands<Script>::fail(Site at, int index, Fault fault, int count) {
    auto& self = static_cast<Script&>(*this);
    FaultRule r;
    r.at = at;
    r.index = index;
    r.count = count;
    r.fault = fault;
    self.faults.push_back(r);
    return self;
}

template <class Script> Script& Shorthands<Script>::shortReply(Site at, int index, int length) {
    Script& self = fail(at, index, Fault::Short);
    self.faults.back().shortLength = length;
    return self;
}

template <class Script>
Script& Shorthands<Script>::vanish(Site at, int index, int backAfterMs, int backAfterRequests) {
    Script& self = fail(at, index, Fault::Vanish);
    self.faults.back().backAfterMs = backAfterMs;
    self.faults.back().backAfterRequests = backAfterRequests;
    return self;
}

template struct Shorthands<Scenario>;
template struct Shorthands<PrinterSetup>;

PrinterSetup Scenario::printerSetup(int device) const {
    PrinterSetup p;
    if (!printers.empty()) {
        if (device >= 0 && static_cast<size_t>(device) < printers.size())
            p = printers[static_cast<size_t>(device)];
    } else {
        p.serial = device == 1 ? "VT58-0002" : serial;
        p.headByte = headByte;
        p.replyLength = replyLength;
        p.baseByte4 = baseByte4;
        p.baseJobState = baseJobState;
        p.rules = rules;
        p.faults = faults;
        p.kernelDriver = kernelDriver;
        return p;
    }
    if (p.serial.empty()) {
        char b[24];
        std::snprintf(b, sizeof b, "VT58-%04d", device + 1);
        p.serial = b;
    }
    return p;
}

namespace detail {
namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

bool inRun(int index, int first, int count) {
    return index >= first && (count == kForever || index - first < count);
}

// Room for any block a frame of at most 64 KiB can expand to.
constexpr size_t kMaxBlockBytes = 1u << 20;

} // namespace

std::optional<Head> headOf(uint8_t headByte) {
    switch (headByte & 7) {
    case 0:
        return Head{48, 36};
    case 1:
        return Head{72, 24};
    default:
        return std::nullopt;
    }
}

uint8_t checksumOf(std::span<const uint8_t> bytes) {
    uint8_t sum = 0;
    for (uint8_t b : bytes)
        sum = static_cast<uint8_t>(sum - b);
    return sum;
}

FrameKind classifyFrame(std::span<const uint8_t> b, std::vector<std::string>& problems) {
    size_t before = problems.size();
    if (b.size() < 5) {
        problems.push_back(
            format("frame of %zu bytes is shorter than the 5-byte envelope", b.size()));
        return FrameKind::Bad;
    }
    if (b[0] != kFrameStart)
        problems.push_back(format("start byte 0x%02x, not 0x66", b[0]));
    unsigned length = b[1] | (unsigned{b[2]} << 8);
    if (length != b.size())
        problems.push_back(format("length field %u but %zu bytes received", length, b.size()));
    unsigned sum = 0;
    for (uint8_t x : b)
        sum += x;
    if (sum % 256 != 0)
        problems.push_back(
            format("bad checksum: the frame's bytes sum to 0x%02x mod 256, not 0", sum % 256));
    uint8_t cmd = b[3];
    if (cmd == kCmdStatus) {
        if (b.size() != 6)
            problems.push_back(format("status request of %zu bytes, not 6", b.size()));
        else if (b[4] != 0)
            problems.push_back(format("status request payload 0x%02x, not 0x00", b[4]));
    } else if (cmd == kCmdPrint) {
        if (b.size() < 19)
            problems.push_back(format("print-data frame of %zu bytes has no room for a block "
                                      "header, data and checksum",
                                      b.size()));
    } else {
        problems.push_back(format("unknown command 0x%02x", cmd));
    }
    if (problems.size() != before)
        return FrameKind::Bad;
    return cmd == kCmdStatus ? FrameKind::Status : FrameKind::Print;
}

namespace {

template <class Script>
std::vector<uint8_t> replyOf(const Script& s, FrameKind kind, uint8_t command, int kindIndex,
                             int frameIndex) {
    int len = std::clamp(s.replyLength, kMinReplyLength, kReplyLength);
    std::vector<uint8_t> r(static_cast<size_t>(len), 0);
    r[0] = kFrameStart;
    r[1] = static_cast<uint8_t>(len & 0xFF);
    r[2] = static_cast<uint8_t>(len >> 8);
    r[3] = command;
    uint8_t byte4 = s.baseByte4;
    int job = s.baseJobState;
    for (const ReplyRule& rule : s.rules) {
        int index = 0;
        if (rule.on == Match::Any)
            index = frameIndex;
        else if ((rule.on == Match::Status && kind == FrameKind::Status) ||
                 (rule.on == Match::Print && kind == FrameKind::Print))
            index = kindIndex;
        if (index == 0 || !inRun(index, rule.first, rule.count))
            continue;
        byte4 |= rule.byte4;
        if (rule.jobState >= 0)
            job = rule.jobState;
    }
    r[4] = byte4;
    if (len > 7)
        r[6] = s.headByte;
    if (len > 36)
        r[35] = static_cast<uint8_t>(job);
    r[static_cast<size_t>(len - 1)] =
        checksumOf(std::span<const uint8_t>(r).first(static_cast<size_t>(len - 1)));
    return r;
}

template <class Script> const FaultRule* faultOf(const Script& s, Site site, int index) {
    for (const FaultRule& f : s.faults)
        if (f.at == site && inRun(index, f.index, f.count))
            return &f;
    return nullptr;
}

} // namespace

std::vector<uint8_t> scriptedReply(const PrinterSetup& s, FrameKind kind, uint8_t command,
                                   int kindIndex, int frameIndex) {
    return replyOf(s, kind, command, kindIndex, frameIndex);
}

std::vector<uint8_t> scriptedReply(const Scenario& s, FrameKind kind, uint8_t command,
                                   int kindIndex, int frameIndex) {
    return replyOf(s, kind, command, kindIndex, frameIndex);
}

const FaultRule* faultAt(const PrinterSetup& s, Site site, int index) {
    return faultOf(s, site, index);
}

const FaultRule* faultAt(const Scenario& s, Site site, int index) {
    return faultOf(s, site, index);
}

BlockHeader parseBlockHeader(std::span<const uint8_t> f) {
    BlockHeader h;
    if (f.size() < 17)
        return h;
    h.darkness = f[4];
    h.cutter = f[5];
    h.copies = f[6] | (f[7] << 8);
    h.copyNumber = f[8] | (f[9] << 8);
    h.fixedOne = f[10];
    h.pageLines = f[11] | (f[12] << 8);
    h.blockLines = f[13] | (f[14] << 8);
    h.toFollow = f[15];
    h.fixedZero = f[16];
    return h;
}

namespace {

void checkHeader(const BlockHeader& h, const Head& head, std::vector<std::string>& p) {
    if ((h.darkness & 0xE0) != 0xE0)
        p.push_back(format("darkness byte 0x%02x lacks bits 5 to 7", h.darkness));
    if (h.cutter & 0xF8)
        p.push_back(format("cutter byte 0x%02x has bits above 2 set", h.cutter));
    if (h.fixedOne != 1)
        p.push_back(format("header byte 6 (frame byte 10) is %u, not 1", h.fixedOne));
    if (h.fixedZero != 0)
        p.push_back(format("header byte 12 (frame byte 16) is %u, not 0", h.fixedZero));
    if (h.copies < 1)
        p.push_back("copies is 0");
    if (h.copyNumber < 1 || h.copyNumber > h.copies)
        p.push_back(format("copy number %d outside 1..%d", h.copyNumber, h.copies));
    if (h.pageLines < 1)
        p.push_back("page lines is 0");
    if (h.blockLines < 1 || h.blockLines > head.splitRows)
        p.push_back(format("block of %d lines, not 1..%d", h.blockLines, head.splitRows));
    if (h.blockLines > h.pageLines)
        p.push_back(format("block of %d lines in a page of %d", h.blockLines, h.pageLines));
}

bool sameCopy(const PrintedPage& p, const BlockHeader& h) {
    return p.copies == h.copies && p.copyNumber == h.copyNumber && p.pageLines == h.pageLines &&
           p.darkness == h.darkness && p.cutter == h.cutter;
}

} // namespace

std::vector<std::string> PageAssembler::block(std::span<const uint8_t> frame, const Head& head,
                                              bool take, int device, Clock::time_point at,
                                              std::vector<PrintedPage>& done, bool& taken) {
    taken = false;
    std::vector<std::string> problems;
    if (frame.size() < 19) {
        problems.push_back("print-data frame too short for a block");
        return problems;
    }
    BlockHeader h = parseBlockHeader(frame);
    checkHeader(h, head, problems);

    static const int lzoReady = lzo_init();
    if (lzoReady != LZO_E_OK) {
        problems.push_back("LZO library failed to initialise");
        return problems;
    }
    scratch_.resize(kMaxBlockBytes);
    lzo_uint outLen = scratch_.size();
    std::span<const uint8_t> packed = frame.subspan(17, frame.size() - 18);
    int rc = lzo1x_decompress_safe(packed.data(), packed.size(), scratch_.data(), &outLen, nullptr);
    size_t expected = static_cast<size_t>(h.blockLines) * static_cast<size_t>(head.rowBytes);
    if (rc != LZO_E_OK)
        problems.push_back(format("LZO block does not decompress (error %d)", rc));
    else if (outLen != expected)
        problems.push_back(format("block decompresses to %zu bytes, not %d lines x %d bytes",
                                  static_cast<size_t>(outLen), h.blockLines, head.rowBytes));
    if (!problems.empty() || !take)
        return problems;

    const int split = head.splitRows;
    const int n = (h.pageLines + split - 1) / split;
    auto linesOf = [&](int j) { return j < n - 1 ? split : h.pageLines - j * split; };
    auto fits = [&](int j) {
        return ((n - 1 - j) & 0xFF) == h.toFollow && linesOf(j) == h.blockLines;
    };
    int j = -1;
    if (cur_ && sameCopy(cur_->page, h)) {
        for (int k = cur_->next; k < n && j < 0; ++k)
            if (fits(k))
                j = k;
        if (j < 0 && fits(0))
            finish(done); // the same copy header again from its first block: a new page
        else if (j < 0) {
            problems.push_back(format("block with %u to follow and %d lines fits no block "
                                      "from %d on of a %d-line page",
                                      h.toFollow, h.blockLines, cur_->next, h.pageLines));
            return problems;
        }
    } else if (cur_) {
        finish(done);
    }
    if (!cur_) {
        for (int k = 0; k < n && j < 0; ++k)
            if (fits(k))
                j = k;
        if (j < 0) {
            problems.push_back(format("block with %u to follow and %d lines fits no block of a "
                                      "%d-line page",
                                      h.toFollow, h.blockLines, h.pageLines));
            return problems;
        }
        Progress p;
        p.page.device = device;
        p.page.copyNumber = h.copyNumber;
        p.page.copies = h.copies;
        p.page.pageLines = h.pageLines;
        p.page.darkness = h.darkness;
        p.page.cutter = h.cutter;
        p.page.rowBytes = head.rowBytes;
        p.page.data.assign(static_cast<size_t>(h.pageLines) * static_cast<size_t>(head.rowBytes),
                           0);
        p.page.started = at;
        p.blocks = n;
        p.got.assign(static_cast<size_t>(n), false);
        cur_ = std::move(p);
    }

    // Undo the 16-bit swap: bytes 2k and 2k + 1 trade places.
    uint8_t* dst = cur_->page.data.data() + static_cast<size_t>(j) * split * head.rowBytes;
    for (size_t k = 0; k + 1 < expected; k += 2) {
        dst[k] = scratch_[k + 1];
        dst[k + 1] = scratch_[k];
    }
    cur_->got[static_cast<size_t>(j)] = true;
    cur_->page.rows += h.blockLines;
    cur_->page.blocks += 1;
    cur_->page.ended = at;
    cur_->next = j + 1;
    taken = true;
    if (j == n - 1)
        finish(done);
    return problems;
}

void PageAssembler::finish(std::vector<PrintedPage>& done) {
    if (!cur_)
        return;
    PrintedPage page = std::move(cur_->page);
    page.missingBlocks.clear();
    for (size_t k = 0; k < cur_->got.size(); ++k)
        if (!cur_->got[k])
            page.missingBlocks.push_back(static_cast<int>(k));
    page.complete = page.missingBlocks.empty();
    done.push_back(std::move(page));
    cur_.reset();
}

std::optional<PrintedPage> PageAssembler::current() const {
    if (!cur_)
        return std::nullopt;
    PrintedPage page = cur_->page;
    for (int k = 0; k < cur_->next; ++k)
        if (!cur_->got[static_cast<size_t>(k)])
            page.missingBlocks.push_back(k);
    page.complete = false;
    return page;
}

} // namespace detail
} // namespace vt58
