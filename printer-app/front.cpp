// The front's listeners, accept thread and connection bookkeeping, and what it decides about
// a request.
#include "printer-app/front.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace tarvik_app {

namespace {

// With this many connections served the front stops accepting: later clients wait in the
// listen backlog until a connection ends, instead of being refused.
constexpr size_t kMaxConnections = 64;
// The accept thread wakes at least this often to end connections whose header is late.
constexpr int kTickMs = 500;
constexpr int kFirstAutoPort = 8000;
constexpr int kLastAutoPort = 9999;

std::vector<std::string> listenNames(const std::string& text) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) {
            comma = text.size();
        }
        std::string name = text.substr(start, comma - start);
        name.erase(0, name.find_first_not_of(" \t"));
        name.erase(name.find_last_not_of(" \t") + 1);
        if (!name.empty()) {
            names.push_back(name);
        }
        start = comma + 1;
    }
    if (names.empty()) {
        names.emplace_back("localhost");
    }
    return names;
}

http_addr_t ipv4(in_addr_t address, int port) {
    http_addr_t a{};
    a.ipv4.sin_family = AF_INET;
    a.ipv4.sin_port = htons(static_cast<uint16_t>(port));
    a.ipv4.sin_addr.s_addr = htonl(address);
    return a;
}

http_addr_t ipv6(const in6_addr& address, int port) {
    http_addr_t a{};
    a.ipv6.sin6_family = AF_INET6;
    a.ipv6.sin6_port = htons(static_cast<uint16_t>(port));
    a.ipv6.sin6_addr = address;
    return a;
}

std::vector<http_addr_t> addressesOf(const std::string& name, int port) {
    if (name == "localhost") {
        return {ipv4(INADDR_LOOPBACK, port), ipv6(in6addr_loopback, port)};
    }
    if (name == "*") {
        return {ipv4(INADDR_ANY, port), ipv6(in6addr_any, port)};
    }
    std::vector<http_addr_t> out;
    const std::string service = std::to_string(port);
    http_addrlist_t* list = httpAddrGetList(name.c_str(), AF_UNSPEC, service.c_str());
    for (http_addrlist_t* a = list; a != nullptr; a = a->next) {
        const int family = a->addr.addr.sa_family;
        if (family == AF_INET || family == AF_INET6) {
            out.push_back(a->addr);
        }
    }
    httpAddrFreeList(list);
    return out;
}

} // namespace

namespace front_detail {

namespace {

constexpr size_t kMaxHead = 64 * 1024;

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool isInterim(std::string_view head) {
    const size_t space = head.find(' ');
    return head.substr(0, 5) == "HTTP/" && space != std::string_view::npos &&
           space + 1 < head.size() && head[space + 1] == '1';
}

// The Set-Cookie values of the first final response head in data; false while it is not
// all there.
bool headCookies(std::string_view data, std::vector<std::string>& cookies) {
    constexpr std::string_view kName = "Set-Cookie:";
    size_t start = 0;
    for (;;) {
        const size_t end = data.find("\r\n\r\n", start);
        if (end == std::string_view::npos) {
            return false;
        }
        const std::string_view head = data.substr(start, end - start);
        start = end + 4;
        if (isInterim(head)) {
            continue;
        }
        for (size_t at = 0; at < head.size();) {
            size_t eol = head.find("\r\n", at);
            eol = eol == std::string_view::npos ? head.size() : eol;
            std::string_view line = head.substr(at, eol - at);
            if (line.size() > kName.size() &&
                strncasecmp(line.data(), kName.data(), kName.size()) == 0) {
                line.remove_prefix(kName.size());
                line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
                cookies.emplace_back(line);
            }
            at = eol + 2;
        }
        return true;
    }
}

ipp_attribute_t* documentFormat(ipp_t* ipp) {
    ipp_attribute_t* a = ippFindAttribute(ipp, "document-format", IPP_TAG_ZERO);
    return (a != nullptr && ippGetGroupTag(a) == IPP_TAG_OPERATION) ? a : nullptr;
}

void addSpooledFormat(ipp_t* ipp) {
    ippAddString(ipp, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                 kSpooledRaster);
}

} // namespace

bool decodeUri(const char* raw, std::string& out) {
    out.clear();
    for (const char* p = raw; *p != '\0'; ++p) {
        int c = static_cast<unsigned char>(*p);
        if (c == '%') {
            const int high = hexValue(p[1]);
            const int low = high < 0 ? -1 : hexValue(p[2]);
            if (low < 0) {
                return false;
            }
            c = high * 16 + low;
            p += 2;
        }
        if (c < 0x20 || c == 0x7f) {
            return false;
        }
        out.push_back(static_cast<char>(c));
    }
    return !out.empty();
}

size_t sentLength(const std::string& uri) {
    size_t n = 0;
    for (const char ch : uri) {
        const auto c = static_cast<unsigned char>(ch);
        n += (c == '%' || c <= ' ' || c >= 0x80) ? 3 : 1;
    }
    return n;
}

std::string localHost(int fd) {
    sockaddr_storage local{};
    socklen_t size = sizeof(local);
    char text[INET6_ADDRSTRLEN] = "";
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
        return "localhost";
    }
    if (local.ss_family == AF_INET6) {
        sockaddr_in6 a{};
        std::memcpy(&a, &local, sizeof(a));
        inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof(text));
        // Appended piece by piece: GCC 12 at -O3 takes "literal" + temporary for an
        // overlapping copy (-Wrestrict).
        std::string host = "[";
        host.append(text).append("]:").append(std::to_string(ntohs(a.sin6_port)));
        return host;
    }
    sockaddr_in a{};
    std::memcpy(&a, &local, sizeof(a));
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof(text));
    std::string host = text;
    host.append(":").append(std::to_string(ntohs(a.sin_port)));
    return host;
}

std::vector<std::string> peekSetCookies(int fd, int waitMs) {
    std::vector<std::string> cookies;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0) {
        return cookies;
    }
    std::vector<char> buffer(kMaxHead);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
        const ssize_t n = recv(fd, buffer.data(), buffer.size(), MSG_PEEK | MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            return cookies;
        }
        if (n > 0 &&
            headCookies(std::string_view(buffer.data(), static_cast<size_t>(n)), cookies)) {
            return cookies;
        }
        cookies.clear();
        if (static_cast<size_t>(n) >= buffer.size() || std::chrono::steady_clock::now() >= until) {
            return cookies;
        }
        poll(nullptr, 0, 2);
    }
}

bool openToEveryone(ipp_op_t op) {
    switch (op) {
    case IPP_OP_PRINT_JOB:
    case IPP_OP_VALIDATE_JOB:
    case IPP_OP_CREATE_JOB:
    case IPP_OP_SEND_DOCUMENT:
    case IPP_OP_CANCEL_JOB:
    case IPP_OP_CANCEL_MY_JOBS:
    case IPP_OP_CLOSE_JOB:
    case IPP_OP_GET_JOB_ATTRIBUTES:
    case IPP_OP_GET_JOBS:
    case IPP_OP_GET_PRINTER_ATTRIBUTES:
    case IPP_OP_CUPS_GET_PRINTERS:
    case IPP_OP_CUPS_GET_DEFAULT:
    case IPP_OP_GET_SYSTEM_ATTRIBUTES:
    case IPP_OP_GET_PRINTERS:
    case IPP_OP_IDENTIFY_PRINTER:
    case IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS:
    case IPP_OP_CREATE_JOB_SUBSCRIPTIONS:
    case IPP_OP_GET_SUBSCRIPTION_ATTRIBUTES:
    case IPP_OP_GET_SUBSCRIPTIONS:
    case IPP_OP_RENEW_SUBSCRIPTION:
    case IPP_OP_CANCEL_SUBSCRIPTION:
    case IPP_OP_GET_NOTIFICATIONS:
        return true;
    default:
        return false;
    }
}

std::optional<std::string> documentFormatOf(ipp_t* ipp) {
    const ipp_op_t op = ippGetOperation(ipp);
    if (op != IPP_OP_PRINT_JOB && op != IPP_OP_SEND_DOCUMENT) {
        return std::nullopt;
    }
    ipp_attribute_t* a = documentFormat(ipp);
    if (a == nullptr) {
        return std::string();
    }
    const char* value = ippGetString(a, 0, nullptr);
    if (ippGetValueTag(a) != IPP_TAG_MIMETYPE || ippGetCount(a) != 1 || value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

bool needsSniff(const std::string& format) {
    return format.empty() || format == "application/octet-stream";
}

bool isRaster(const std::string& format, const std::string& head) {
    if (format == "image/pwg-raster" || format == "image/urf") {
        return true;
    }
    return needsSniff(format) &&
           (head.rfind("RaS2", 0) == 0 || head == std::string_view("UNIRAST\0", 8));
}

// A new document-format goes with the other operation attributes, before the job's.
ipp_t* withSpooledFormat(ipp_t* ipp) {
    ipp_attribute_t* a = documentFormat(ipp);
    if (a != nullptr) {
        ippSetString(ipp, &a, 0, kSpooledRaster);
        return ipp;
    }
    ipp_t* copy = ippNew();
    int minor = 0;
    const int major = ippGetVersion(ipp, &minor);
    ippSetVersion(copy, major, minor);
    ippSetOperation(copy, ippGetOperation(ipp));
    ippSetRequestId(copy, ippGetRequestId(ipp));
    bool added = false;
    for (ipp_attribute_t* attr = ippFirstAttribute(ipp); attr != nullptr;
         attr = ippNextAttribute(ipp)) {
        if (!added && ippGetGroupTag(attr) != IPP_TAG_OPERATION) {
            addSpooledFormat(copy);
            added = true;
        }
        ippCopyAttribute(copy, attr, 0);
    }
    if (!added) {
        addSpooledFormat(copy);
    }
    ippDelete(ipp);
    return copy;
}

void frontLog(pappl_system_t* system, pappl_loglevel_t level, const char* format, ...) {
    if (system == nullptr) {
        return;
    }
    char text[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof(text), format, ap);
    va_end(ap);
    papplLog(system, level, "Front: %s", text);
}

void FrontSlot::setDeadline(Clock::duration limit) {
    std::lock_guard<std::mutex> lock(mutex);
    deadline = Clock::now() + limit;
}

void FrontSlot::clearDeadline() {
    std::lock_guard<std::mutex> lock(mutex);
    deadline = Clock::time_point::max();
}

bool FrontSlot::attachUpstream(int fd) {
    std::lock_guard<std::mutex> lock(mutex);
    if (closing) {
        return false;
    }
    upstreamFd = fd;
    return true;
}

void FrontSlot::detachUpstream() {
    std::lock_guard<std::mutex> lock(mutex);
    upstreamFd = -1;
}

void FrontSlot::detachClient() {
    std::lock_guard<std::mutex> lock(mutex);
    clientFd = -1;
}

bool FrontSlot::isClosing() {
    std::lock_guard<std::mutex> lock(mutex);
    return closing;
}

void FrontSlot::cutNoLock() {
    if (clientFd >= 0) {
        shutdown(clientFd, SHUT_RDWR);
    }
    if (upstreamFd >= 0) {
        shutdown(upstreamFd, SHUT_RDWR);
    }
}

} // namespace front_detail

using front_detail::frontLog;
using front_detail::FrontSlot;

Front::~Front() {
    stop();
}

bool Front::listen(FrontConfig config) {
    if (!listeners_.empty()) {
        frontLog(config_.system, PAPPL_LOGLEVEL_ERROR, "Already listening on port %d.", port_);
        return false;
    }
    config_ = std::move(config);
    const std::vector<std::string> names = listenNames(config_.listen);
    if (config_.port > 0) {
        if (bindAll(names, config_.port)) {
            return true;
        }
        frontLog(config_.system, PAPPL_LOGLEVEL_ERROR, "Unable to listen on '%s' port %d.",
                 config_.listen.c_str(), config_.port);
        return false;
    }
    for (int port = kFirstAutoPort + static_cast<int>(getuid() % 1000); port <= kLastAutoPort;
         ++port) {
        if (bindAll(names, port)) {
            return true;
        }
    }
    frontLog(config_.system, PAPPL_LOGLEVEL_ERROR, "No free port to listen on '%s'.",
             config_.listen.c_str());
    return false;
}

// Every name needs at least one bound address; an address in use fails the port, one the
// host does not have (no IPv6, say) is skipped.
bool Front::bindAll(const std::vector<std::string>& names, int port) {
    for (const std::string& name : names) {
        size_t bound = 0;
        for (http_addr_t addr : addressesOf(name, port)) {
            errno = 0;
            const int fd = httpAddrListen(&addr, port);
            if (fd < 0) {
                if (errno == EADDRINUSE) {
                    closeListeners();
                    return false;
                }
                continue;
            }
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            fcntl(fd, F_SETFD, FD_CLOEXEC);
            listeners_.push_back(fd);
            ++bound;
        }
        if (bound == 0) {
            closeListeners();
            return false;
        }
    }
    port_ = port;
    return true;
}

void Front::closeListeners() {
    for (int fd : listeners_) {
        close(fd);
    }
    listeners_.clear();
}

bool Front::start() {
    if (listeners_.empty() || acceptThread_.joinable()) {
        frontLog(config_.system, PAPPL_LOGLEVEL_ERROR, "Not listening, or already started.");
        return false;
    }
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        frontLog(config_.system, PAPPL_LOGLEVEL_ERROR, "eventfd: %s", std::strerror(errno));
        return false;
    }
    stopping_ = false;
    try {
        acceptThread_ = std::thread([this] { acceptLoop(); });
    } catch (...) {
        frontLog(config_.system, PAPPL_LOGLEVEL_ERROR, "Unable to start the accept thread.");
        close(wakeFd_);
        wakeFd_ = -1;
        return false;
    }
    return true;
}

void Front::stop() {
    stopping_ = true;
    wake();
    if (acceptThread_.joinable()) {
        acceptThread_.join();
    }
    std::list<std::unique_ptr<FrontSlot>> slots;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& slot : slots_) {
            std::lock_guard<std::mutex> slotLock(slot->mutex);
            slot->closing = true;
            slot->cutNoLock();
        }
        slots.swap(slots_);
    }
    for (auto& slot : slots) {
        if (slot->thread.joinable()) {
            slot->thread.join();
        }
    }
    closeListeners();
    if (wakeFd_ >= 0) {
        close(wakeFd_);
        wakeFd_ = -1;
    }
}

void Front::wake() {
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof(one));
    }
}

size_t Front::active() {
    std::lock_guard<std::mutex> lock(mutex_);
    return slots_.size();
}

void Front::acceptLoop() noexcept {
    try {
        while (!stopping_) {
            std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}};
            if (active() < kMaxConnections) {
                for (int fd : listeners_) {
                    fds.push_back({fd, POLLIN, 0});
                }
            }
            if (poll(fds.data(), fds.size(), kTickMs) < 0 && errno != EINTR) {
                frontLog(config_.system, PAPPL_LOGLEVEL_ERROR, "poll: %s", std::strerror(errno));
                usleep(100000);
            }
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = read(wakeFd_, &count, sizeof(count));
            reapDone();
            enforceDeadlines();
            for (size_t i = 1; i < fds.size() && !stopping_; ++i) {
                if ((fds[i].revents & POLLIN) != 0 && active() < kMaxConnections) {
                    acceptOne(fds[i].fd);
                }
            }
        }
    } catch (...) {
        frontLog(config_.system, PAPPL_LOGLEVEL_ERROR, "The accept thread failed.");
    }
}

void Front::acceptOne(int listener) {
    http_t* client = httpAcceptConnection(listener, 1);
    if (client == nullptr) {
        return;
    }
    auto slot = std::make_unique<FrontSlot>();
    slot->clientFd = httpGetFd(client);
    FrontSlot* s = slot.get();
    std::lock_guard<std::mutex> lock(mutex_);
    try {
        slots_.push_back(std::move(slot));
        s->thread = std::thread([this, client, s] {
            serveFrontClient(client, *s, config_);
            s->done = true;
            wake();
        });
    } catch (...) {
        frontLog(config_.system, PAPPL_LOGLEVEL_ERROR, "Unable to start a connection thread.");
        if (!slots_.empty() && slots_.back().get() == s) {
            slots_.pop_back();
        }
        httpClose(client);
    }
}

void Front::reapDone() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = slots_.begin(); it != slots_.end();) {
        if ((*it)->done) {
            (*it)->thread.join();
            it = slots_.erase(it);
        } else {
            ++it;
        }
    }
}

void Front::enforceDeadlines() {
    const auto now = FrontSlot::Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& slot : slots_) {
        std::lock_guard<std::mutex> slotLock(slot->mutex);
        if (now >= slot->deadline) {
            slot->deadline = FrontSlot::Clock::time_point::max();
            slot->cutNoLock();
            frontLog(config_.system, PAPPL_LOGLEVEL_INFO, "Ended a connection too slow to send.");
        }
    }
}

} // namespace tarvik_app
