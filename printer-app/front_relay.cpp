// One client connection of the front: requests read with libcups's server side as PAPPL
// reads them, relayed to PAPPL on its domain socket, and PAPPL's responses relayed back.
#include "printer-app/front.h"

#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace tarvik_app {

namespace {

using Clock = std::chrono::steady_clock;
using namespace front_detail;

constexpr double kReadSeconds = 5.0; // a client silent this long within a request is gone
// Between requests: libcups's responses advertise "Keep-Alive: timeout=10".
constexpr int kIdleMs = 10000;
constexpr auto kHeaderTime = std::chrono::seconds(10);
constexpr auto kAttributesTime = std::chrono::seconds(30);
constexpr double kUpstreamSeconds = 60.0;
constexpr int kUpstreamMs = 60000;
constexpr int kContinueWaitMs = 1000;
constexpr int kLingerMs = 2000;
constexpr size_t kLingerBytes = 1 << 20;
constexpr size_t kMaxAttributes = 256 * 1024;
constexpr size_t kMaxUri = 1024; // PAPPL's and libcups's request URI buffers
constexpr size_t kChunk = 32 * 1024;
constexpr int kMaxBlankLines = 8;
constexpr unsigned char kTlsHandshake = 0x16;

int giveUp(http_t*, void*) {
    return 0;
}

struct IppFree {
    void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using IppPtr = std::unique_ptr<ipp_t, IppFree>;

struct Request {
    http_state_t method = HTTP_STATE_WAITING;
    http_version_t version = HTTP_VERSION_1_1;
    std::string uri; // decoded: libcups encodes it again when it sends it
    std::array<std::string, HTTP_FIELD_MAX> fields;
    std::string cookie;
    long long length = -1; // Content-Length, -1 when there is none
    bool chunked = false;
    bool coded = false; // libcups undoes the Content-Encoding while reading
    bool wantsClose = false;

    const std::string& field(http_field_t f) const { return fields[f]; }
    bool hasBody() const { return chunked || length > 0; }
};

struct Framing {
    enum Kind { None, Length, Chunked } kind = None;
    size_t length = 0;
};

void setFraming(http_t* http, const Framing& framing) {
    if (framing.kind == Framing::Chunked) {
        httpSetLength(http, 0);
    } else if (framing.kind == Framing::Length && framing.length > 0) {
        httpSetLength(http, framing.length);
    } else {
        httpSetField(http, HTTP_FIELD_TRANSFER_ENCODING, "");
        httpSetField(http, HTTP_FIELD_CONTENT_LENGTH, framing.kind == Framing::None ? "" : "0");
    }
}

// Fields that belong to one hop, or that the front sets itself.
bool relayedField(http_field_t f, bool request) {
    switch (f) {
    case HTTP_FIELD_CONNECTION:
    case HTTP_FIELD_KEEP_ALIVE:
    case HTTP_FIELD_CONTENT_LENGTH:
    case HTTP_FIELD_TRANSFER_ENCODING:
    case HTTP_FIELD_CONTENT_ENCODING:
    case HTTP_FIELD_UPGRADE:
    case HTTP_FIELD_HOST: // libcups's client adds its own to every response it reads
    case HTTP_FIELD_USER_AGENT:
        return false;
    case HTTP_FIELD_ACCEPT_ENCODING:
        return !request;
    default:
        return true;
    }
}

bool containsNoCase(const std::string& hay, const char* needle) {
    return strcasestr(hay.c_str(), needle) != nullptr;
}

enum class Piece { Data, End, Broken };

// libcups reads a body's end, a peer that closed and a timeout alike as 0 bytes; what is
// left of the body, and the connection's error, tell them apart.
Piece readPiece(http_t* http, char* buffer, size_t size, size_t& got) {
    const size_t before = httpGetRemaining(http);
    const ssize_t n = httpRead2(http, buffer, size);
    if (n > 0) {
        got = static_cast<size_t>(n);
        return Piece::Data;
    }
    if (n < 0 || before > 0 || httpGetRemaining(http) > 0 || httpError(http) != 0) {
        return Piece::Broken;
    }
    return Piece::End;
}

struct IppSource {
    http_t* http;
    size_t count = 0;
    bool tooLarge = false;
};

// ippReadIO wants every byte it asks for: a short count is a broken request.
ssize_t readIppBytes(void* context, ipp_uchar_t* buffer, size_t bytes) {
    auto* source = static_cast<IppSource*>(context);
    if (bytes > kMaxAttributes - source->count) {
        source->tooLarge = true;
        return -1;
    }
    size_t got = 0;
    while (got < bytes) {
        const ssize_t n =
            httpRead2(source->http, reinterpret_cast<char*>(buffer) + got, bytes - got);
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    source->count += got;
    return static_cast<ssize_t>(got);
}

ssize_t writeHttpBytes(void* context, ipp_uchar_t* buffer, size_t bytes) {
    return httpWrite2(static_cast<http_t*>(context), reinterpret_cast<char*>(buffer), bytes);
}

ssize_t appendBytes(void* context, ipp_uchar_t* buffer, size_t bytes) {
    try {
        auto* out = static_cast<std::vector<unsigned char>*>(context);
        out->insert(out->end(), buffer, buffer + bytes);
        return static_cast<ssize_t>(bytes);
    } catch (...) {
        return -1;
    }
}

class Relay {
  public:
    Relay(http_t* client, FrontSlot& slot, const FrontConfig& config)
        : client_(client), slot_(slot), config_(config), buffer_(kChunk) {}
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;
    ~Relay() { dropUpstream(); }

    void run();

  private:
    enum class Next { KeepAlive, Close, Linger };
    enum class BodyEnd { Complete, ClientBroke, UpstreamBroke };

    Next serveOne();
    bool readHead(Request& req, Next& failed);
    bool answerExpect();
    Next relayPlain(const Request& req);
    Next relayIpp(const Request& req);
    bool readDocumentHead(std::string& head);
    bool writeIpp(ipp_t* ipp, const std::string& head);
    Next finish(const Request& req, BodyEnd end, const Framing& framing, bool clientReusable);
    bool sendHead(const Request& req, const Framing& framing);
    std::string headCarrier(const Request& req) const;
    BodyEnd relayBody(const Framing& framing);
    Next relayResponse(const Request& req, bool clientReusable);
    http_status_t awaitStatus();
    void copyResponseFields(const std::vector<std::string>& cookies);
    bool relayResponseBody(bool chunked);
    bool connectUpstream();
    bool upstreamUsable();
    void dropUpstream();
    void abortUpstream(const Framing& framing);
    Next respond(http_status_t status);
    Next respondIpp(ipp_t* request, ipp_status_t status, const char* message);
    void writeWhole(http_status_t status, const char* type, const void* data, size_t size);
    void lingerClose();
    bool mayAdminister() const { return loopback_ || config_.remoteAdmin; }

    http_t* client_;
    FrontSlot& slot_;
    const FrontConfig& config_;
    http_t* up_ = nullptr;
    bool loopback_ = false;
    std::vector<char> buffer_;
};

void Relay::run() {
    httpSetTimeout(client_, kReadSeconds, giveUp, nullptr);
    loopback_ = httpAddrLocalhost(httpGetAddress(client_)) != 0;
    if (!httpWait(client_, kIdleMs)) {
        return;
    }
    unsigned char first = 0;
    if (recv(httpGetFd(client_), &first, 1, MSG_PEEK) == 1 && first == kTlsHandshake) {
        frontLog(config_.system, PAPPL_LOGLEVEL_INFO, "Closed a TLS connection: plain HTTP only.");
        return;
    }
    Next next = Next::KeepAlive;
    while (next == Next::KeepAlive && !slot_.isClosing() && httpWait(client_, kIdleMs)) {
        next = serveOne();
    }
    if (next == Next::Linger) {
        lingerClose();
    }
}

Relay::Next Relay::serveOne() {
    Request req;
    Next failed = Next::Close;
    slot_.setDeadline(kHeaderTime);
    const bool ok = readHead(req, failed);
    slot_.clearDeadline();
    if (!ok) {
        return failed;
    }
    if (req.method == HTTP_STATE_GET || req.method == HTTP_STATE_HEAD ||
        req.method == HTTP_STATE_OPTIONS) {
        return relayPlain(req);
    }
    if (req.method != HTTP_STATE_POST) {
        return respond(HTTP_STATUS_NOT_IMPLEMENTED);
    }
    if (!req.chunked && req.length < 0) {
        return respond(HTTP_STATUS_LENGTH_REQUIRED);
    }
    const bool ipp = req.field(HTTP_FIELD_CONTENT_TYPE) == "application/ipp";
    if (!ipp && !mayAdminister()) {
        frontLog(config_.system, PAPPL_LOGLEVEL_INFO, "Refused a web form from another host.");
        return respond(HTTP_STATUS_FORBIDDEN);
    }
    if (!answerExpect()) {
        return Next::Linger;
    }
    return ipp ? relayIpp(req) : relayPlain(req);
}

bool Relay::readHead(Request& req, Next& failed) {
    char uri[4096];
    http_state_t state = HTTP_STATE_WAITING;
    for (int blank = 0; state == HTTP_STATE_WAITING; ++blank) {
        if (blank > kMaxBlankLines) {
            return false;
        }
        state = httpReadRequest(client_, uri, sizeof(uri));
    }
    if (state == HTTP_STATE_ERROR) {
        return false;
    }
    http_status_t status = HTTP_STATUS_CONTINUE;
    for (int i = 0; i < 4 && status == HTTP_STATUS_CONTINUE; ++i) {
        status = httpUpdate(client_);
    }
    if (state == HTTP_STATE_UNKNOWN_METHOD || state == HTTP_STATE_UNKNOWN_VERSION ||
        status != HTTP_STATUS_OK) {
        failed = respond(HTTP_STATUS_BAD_REQUEST);
        return false;
    }
    req.method = state;
    req.version = httpGetVersion(client_);
    for (int f = HTTP_FIELD_ACCEPT_LANGUAGE; f < HTTP_FIELD_MAX; ++f) {
        const char* value = httpGetField(client_, static_cast<http_field_t>(f));
        req.fields[f] = value != nullptr ? value : "";
    }
    const char* cookie = httpGetCookie(client_);
    req.cookie = cookie != nullptr ? cookie : "";
    req.chunked = strcasecmp(req.field(HTTP_FIELD_TRANSFER_ENCODING).c_str(), "chunked") == 0;
    if (!req.field(HTTP_FIELD_CONTENT_LENGTH).empty()) {
        req.length = std::strtoll(req.field(HTTP_FIELD_CONTENT_LENGTH).c_str(), nullptr, 10);
    }
    const std::string& coding = req.field(HTTP_FIELD_CONTENT_ENCODING);
    req.coded = !coding.empty() && strcasecmp(coding.c_str(), "identity") != 0;
    req.wantsClose = containsNoCase(req.field(HTTP_FIELD_CONNECTION), "close");
    if (!decodeUri(uri, req.uri) ||
        (req.field(HTTP_FIELD_HOST).empty() && req.version >= HTTP_VERSION_1_1)) {
        failed = respond(HTTP_STATUS_BAD_REQUEST);
        return false;
    }
    if (sentLength(req.uri) >= kMaxUri) {
        failed = respond(HTTP_STATUS_URI_TOO_LONG);
        return false;
    }
    return true;
}

bool Relay::answerExpect() {
    const http_status_t expect = httpGetExpect(client_);
    if (expect == HTTP_STATUS_NONE) {
        return true;
    }
    if (expect == HTTP_STATUS_CONTINUE) {
        return httpWriteResponse(client_, HTTP_STATUS_CONTINUE) == 0;
    }
    respond(HTTP_STATUS_EXPECTATION_FAILED);
    return false;
}

Relay::Next Relay::relayPlain(const Request& req) {
    const bool post = req.method == HTTP_STATE_POST;
    Framing framing;
    if (post) {
        framing.kind = (req.chunked || req.coded) ? Framing::Chunked : Framing::Length;
        framing.length = req.chunked ? 0 : static_cast<size_t>(req.length);
    }
    if (!sendHead(req, framing)) {
        return respond(HTTP_STATUS_BAD_GATEWAY);
    }
    const BodyEnd end = post && req.hasBody() ? relayBody(framing) : BodyEnd::Complete;
    return finish(req, end, framing, post || !req.hasBody());
}

Relay::Next Relay::relayIpp(const Request& req) {
    IppSource source{client_};
    IppPtr ipp(ippNew());
    slot_.setDeadline(kAttributesTime);
    const ipp_state_t state = ippReadIO(&source, readIppBytes, 1, nullptr, ipp.get());
    slot_.clearDeadline();
    if (source.tooLarge) {
        frontLog(config_.system, PAPPL_LOGLEVEL_INFO, "Refused an IPP request over 256 KiB.");
        return respondIpp(ipp.get(), IPP_STATUS_ERROR_REQUEST_ENTITY, "Too many attributes.");
    }
    if (state != IPP_STATE_DATA) {
        return respond(HTTP_STATUS_BAD_REQUEST);
    }
    if (!mayAdminister() && !openToEveryone(ippGetOperation(ipp.get()))) {
        frontLog(config_.system, PAPPL_LOGLEVEL_INFO, "Refused %s from another host.",
                 ippOpString(ippGetOperation(ipp.get())));
        return respondIpp(ipp.get(), IPP_STATUS_ERROR_FORBIDDEN,
                          "Administration is allowed from this host only.");
    }
    std::string head;
    const std::optional<std::string> format = documentFormatOf(ipp.get());
    if (format.has_value() && needsSniff(*format) && !readDocumentHead(head)) {
        return Next::Close;
    }
    if (format.has_value() && isRaster(*format, head)) {
        ipp.reset(withSpooledFormat(ipp.release()));
    }
    Framing framing{Framing::Chunked, 0};
    const size_t length = ippLength(ipp.get());
    if (!req.chunked && !req.coded && static_cast<size_t>(req.length) >= source.count) {
        framing = {Framing::Length, static_cast<size_t>(req.length) - source.count + length};
    }
    if (!sendHead(req, framing)) {
        return respond(HTTP_STATUS_BAD_GATEWAY);
    }
    const BodyEnd end = writeIpp(ipp.get(), head) ? relayBody(framing) : BodyEnd::UpstreamBroke;
    return finish(req, end, framing, true);
}

bool Relay::readDocumentHead(std::string& head) {
    char bytes[8];
    size_t have = 0;
    while (have < sizeof(bytes)) {
        size_t got = 0;
        const Piece piece = readPiece(client_, bytes + have, sizeof(bytes) - have, got);
        if (piece == Piece::Broken) {
            return false;
        }
        if (piece == Piece::End) {
            break;
        }
        have += got;
    }
    head.assign(bytes, have);
    return true;
}

bool Relay::writeIpp(ipp_t* ipp, const std::string& head) {
    ippSetState(ipp, IPP_STATE_IDLE);
    if (ippWriteIO(up_, writeHttpBytes, 1, nullptr, ipp) != IPP_STATE_DATA) {
        return false;
    }
    return head.empty() ||
           httpWrite2(up_, head.data(), head.size()) == static_cast<ssize_t>(head.size());
}

Relay::Next Relay::finish(const Request& req, BodyEnd end, const Framing& framing,
                          bool clientReusable) {
    if (end == BodyEnd::ClientBroke) {
        frontLog(config_.system, PAPPL_LOGLEVEL_INFO,
                 "A client stopped sending its request; PAPPL gets a broken one.");
        abortUpstream(framing);
        return Next::Close;
    }
    return relayResponse(req, clientReusable && end == BodyEnd::Complete);
}

bool Relay::sendHead(const Request& req, const Framing& framing) {
    if (!connectUpstream()) {
        return false;
    }
    httpClearFields(up_);
    httpClearCookie(up_);
    for (int f = HTTP_FIELD_ACCEPT_LANGUAGE; f < HTTP_FIELD_MAX; ++f) {
        const auto field = static_cast<http_field_t>(f);
        if (!req.fields[f].empty() && relayedField(field, true)) {
            httpSetField(up_, field, req.fields[f].c_str());
        }
    }
    httpSetField(up_, HTTP_FIELD_HOST, "");
    httpSetField(up_, HTTP_FIELD_USER_AGENT, headCarrier(req).c_str());
    setFraming(up_, framing);
    if (framing.kind != Framing::None) {
        httpSetExpect(up_, HTTP_STATUS_CONTINUE);
    }
    const char* uri = req.uri.c_str();
    int sent = -1;
    switch (req.method) {
    case HTTP_STATE_GET:
        sent = httpGet(up_, uri);
        break;
    case HTTP_STATE_HEAD:
        sent = httpHead(up_, uri);
        break;
    case HTTP_STATE_OPTIONS:
        sent = httpOptions(up_, uri);
        break;
    default:
        sent = httpPost(up_, uri);
        break;
    }
    if (sent != 0) {
        frontLog(config_.system, PAPPL_LOGLEVEL_ERROR, "Unable to send a request to PAPPL.");
        dropUpstream();
    }
    return sent == 0;
}

// libcups writes the Host line of a domain-socket request as "localhost:0", yet PAPPL builds
// every URI it returns from Host; so the client's own Host line, and its Cookie line (which
// libcups would prefix with "$Version=0"), ride in the User-Agent value. Field values never
// hold CR or LF: libcups splits header lines at LF and drops every CR.
std::string Relay::headCarrier(const Request& req) const {
    const std::string& agent = req.field(HTTP_FIELD_USER_AGENT);
    const std::string& host = req.field(HTTP_FIELD_HOST);
    std::string line = agent.empty() ? "tarvik-front" : agent;
    line += "\r\nHost: " + (host.empty() ? localHost(httpGetFd(client_)) : host);
    if (!req.cookie.empty()) {
        line += "\r\nCookie: " + req.cookie;
    }
    return line;
}

Relay::BodyEnd Relay::relayBody(const Framing& framing) {
    for (;;) {
        size_t got = 0;
        const Piece piece = readPiece(client_, buffer_.data(), buffer_.size(), got);
        if (piece == Piece::Broken) {
            return BodyEnd::ClientBroke;
        }
        if (piece == Piece::End) {
            break;
        }
        if (httpWrite2(up_, buffer_.data(), got) < 0) {
            return BodyEnd::UpstreamBroke;
        }
    }
    // A zero-length write after a Content-Length body would end libcups's request twice.
    if (framing.kind == Framing::Chunked && httpWrite2(up_, "", 0) < 0) {
        return BodyEnd::UpstreamBroke;
    }
    return httpFlushWrite(up_) < 0 ? BodyEnd::UpstreamBroke : BodyEnd::Complete;
}

Relay::Next Relay::relayResponse(const Request& req, bool clientReusable) {
    std::vector<std::string> cookies;
    if (httpGetReady(up_) == 0) {
        cookies = peekSetCookies(httpGetFd(up_), kUpstreamMs);
    }
    const http_status_t status = awaitStatus();
    if (status < HTTP_STATUS_OK) {
        frontLog(config_.system, PAPPL_LOGLEVEL_ERROR, "No response from PAPPL to %s %s.",
                 httpStateString(req.method), req.uri.c_str());
        dropUpstream();
        return respond(HTTP_STATUS_BAD_GATEWAY);
    }
    copyResponseFields(cookies);
    const bool head = req.method == HTTP_STATE_HEAD;
    const bool empty = status == HTTP_STATUS_NO_CONTENT || status == HTTP_STATUS_NOT_MODIFIED;
    const std::string length = httpGetField(up_, HTTP_FIELD_CONTENT_LENGTH);
    const bool known = !httpIsChunked(up_) && !length.empty() &&
                       httpGetField(up_, HTTP_FIELD_CONTENT_ENCODING)[0] == '\0';
    Framing framing;
    if (head) {
        httpSetField(client_, HTTP_FIELD_CONTENT_LENGTH, length.c_str());
    } else if (empty || known) {
        framing = {Framing::Length,
                   empty ? 0 : static_cast<size_t>(std::strtoull(length.c_str(), nullptr, 10))};
    } else if (req.version >= HTTP_VERSION_1_1) {
        framing.kind = Framing::Chunked;
    } else {
        clientReusable = false;
    }
    if (!head) {
        setFraming(client_, framing);
    }
    const bool upstreamCloses = containsNoCase(httpGetField(up_, HTTP_FIELD_CONNECTION), "close");
    if (!clientReusable || req.wantsClose) {
        httpSetKeepAlive(client_, HTTP_KEEPALIVE_OFF);
    }
    if (httpWriteResponse(client_, status) != 0) {
        dropUpstream();
        return Next::Close;
    }
    const bool complete = head || empty || relayResponseBody(framing.kind == Framing::Chunked);
    if (!complete || empty || upstreamCloses) {
        dropUpstream();
    }
    if (!complete) {
        return Next::Close;
    }
    const bool again = httpGetState(client_) == HTTP_STATE_WAITING &&
                       httpGetKeepAlive(client_) != HTTP_KEEPALIVE_OFF;
    return again ? Next::KeepAlive : Next::Linger;
}

http_status_t Relay::awaitStatus() {
    http_status_t status = HTTP_STATUS_CONTINUE;
    for (int i = 0; i < 8 && status == HTTP_STATUS_CONTINUE; ++i) {
        status = httpUpdate(up_);
    }
    return status;
}

void Relay::copyResponseFields(const std::vector<std::string>& cookies) {
    httpClearFields(client_);
    for (int f = HTTP_FIELD_ACCEPT_LANGUAGE; f < HTTP_FIELD_MAX; ++f) {
        const auto field = static_cast<http_field_t>(f);
        const char* value = httpGetField(up_, field);
        if (value != nullptr && value[0] != '\0' && relayedField(field, false)) {
            httpSetField(client_, field, value);
        }
    }
    if (cookies.empty()) {
        httpClearCookie(client_);
        return;
    }
    // libcups writes one Set-Cookie line; PAPPL itself joins more the same way.
    std::string joined = cookies.front();
    for (size_t i = 1; i < cookies.size(); ++i) {
        joined += "\r\nSet-Cookie: " + cookies[i];
    }
    httpSetCookie(client_, joined.c_str());
}

bool Relay::relayResponseBody(bool chunked) {
    for (;;) {
        size_t got = 0;
        const Piece piece = readPiece(up_, buffer_.data(), buffer_.size(), got);
        if (piece == Piece::Broken) {
            return false;
        }
        if (piece == Piece::End) {
            break;
        }
        if (httpWrite2(client_, buffer_.data(), got) < 0) {
            return false;
        }
    }
    if (chunked && httpWrite2(client_, "", 0) < 0) {
        return false;
    }
    return httpFlushWrite(client_) >= 0;
}

bool Relay::connectUpstream() {
    if (up_ != nullptr && upstreamUsable()) {
        return true;
    }
    dropUpstream();
    http_t* up = httpConnect2(config_.upstream.c_str(), 0, nullptr, AF_UNSPEC,
                              HTTP_ENCRYPTION_NEVER, 1, 30000, nullptr);
    if (up == nullptr) {
        frontLog(config_.system, PAPPL_LOGLEVEL_ERROR, "Unable to reach PAPPL on '%s': %s",
                 config_.upstream.c_str(), cupsLastErrorString());
        return false;
    }
    if (!slot_.attachUpstream(httpGetFd(up))) {
        httpClose(up);
        return false;
    }
    httpSetTimeout(up, kUpstreamSeconds, giveUp, nullptr);
    up_ = up;
    return true;
}

// Anything waiting on an idle connection is PAPPL's close or a leftover; and libcups
// reconnects by itself after an error status, which would swap the socket behind the slot.
bool Relay::upstreamUsable() {
    const http_status_t status = httpGetStatus(up_);
    return httpGetFd(up_) >= 0 && status != HTTP_STATUS_ERROR && status < HTTP_STATUS_BAD_REQUEST &&
           !httpWait(up_, 0);
}

void Relay::dropUpstream() {
    if (up_ == nullptr) {
        return;
    }
    slot_.detachUpstream();
    httpClose(up_);
    up_ = nullptr;
}

// PAPPL spools whatever a cleanly closed body gave it. Closed while PAPPL's "100 Continue"
// still waits unread in it, the socket resets, PAPPL's next read fails ("Unable to read print
// file.") and it aborts the job. libcups reads a reset between two chunks as the body's end,
// so a chunked body is first left inside a chunk announced but never sent.
void Relay::abortUpstream(const Framing& framing) {
    if (up_ == nullptr) {
        return;
    }
    if (framing.kind == Framing::Chunked && httpFlushWrite(up_) >= 0) {
        constexpr char kOpenChunk[] = "ffffff\r\n";
        send(httpGetFd(up_), kOpenChunk, sizeof(kOpenChunk) - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    pollfd p{httpGetFd(up_), POLLIN, 0};
    poll(&p, 1, kContinueWaitMs);
    dropUpstream();
}

Relay::Next Relay::respond(http_status_t status) {
    char text[128];
    std::snprintf(text, sizeof(text), "%d - %s\n", static_cast<int>(status), httpStatus(status));
    writeWhole(status, "text/plain", text, std::strlen(text));
    return Next::Linger;
}

Relay::Next Relay::respondIpp(ipp_t* request, ipp_status_t status, const char* message) {
    IppPtr response(ippNewResponse(request));
    std::vector<unsigned char> bytes;
    if (response == nullptr) {
        return respond(HTTP_STATUS_SERVER_ERROR);
    }
    ippSetStatusCode(response.get(), status);
    ippAddString(response.get(), IPP_TAG_OPERATION, IPP_TAG_TEXT, "status-message", nullptr,
                 message);
    if (ippWriteIO(&bytes, appendBytes, 1, nullptr, response.get()) != IPP_STATE_DATA) {
        return respond(HTTP_STATUS_SERVER_ERROR);
    }
    writeWhole(HTTP_STATUS_OK, "application/ipp", bytes.data(), bytes.size());
    return Next::Linger;
}

// Every answer of the front itself ends the connection: the request's body may be unread.
void Relay::writeWhole(http_status_t status, const char* type, const void* data, size_t size) {
    httpClearFields(client_);
    httpClearCookie(client_);
    httpSetField(client_, HTTP_FIELD_CONTENT_TYPE, type);
    setFraming(client_, {Framing::Length, size});
    httpSetKeepAlive(client_, HTTP_KEEPALIVE_OFF);
    if (httpWriteResponse(client_, status) == 0) {
        httpWrite2(client_, static_cast<const char*>(data), size);
        httpFlushWrite(client_);
    }
}

// Reading what the client still sends for a while lets it read the answer, instead of the
// reset a close with unread data would give it.
void Relay::lingerClose() {
    const int fd = httpGetFd(client_);
    httpFlushWrite(client_);
    shutdown(fd, SHUT_WR);
    const auto until = Clock::now() + std::chrono::milliseconds(kLingerMs);
    size_t drained = 0;
    while (drained < kLingerBytes) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
            break;
        }
        const ssize_t n = recv(fd, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
        if (n <= 0) {
            break;
        }
        drained += static_cast<size_t>(n);
    }
}

} // namespace

void front_detail::serveFrontClient(http_t* client, FrontSlot& slot,
                                    const FrontConfig& config) noexcept {
    try {
        Relay relay(client, slot, config);
        relay.run();
    } catch (...) {
        frontLog(config.system, PAPPL_LOGLEVEL_ERROR, "A connection ended on an error.");
    }
    slot.detachClient();
    httpClose(client);
}

} // namespace tarvik_app
