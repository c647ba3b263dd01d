// The app's IPP/HTTP front, on a fake PAPPL that reads requests as PAPPL does and records
// what reaches it.

#include "printer-app/front.h"
#include "tests/support/support.h"

#include <cups/cups.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <random>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct IppFree {
    void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using IppPtr = std::unique_ptr<ipp_t, IppFree>;

constexpr const char* kCookie = "session=abc; path=/; httponly";
constexpr const char* kPage = "<p>label</p>";

uint64_t fnv(uint64_t sum, const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        sum = (sum ^ static_cast<unsigned char>(data[i])) * 1099511628211ull;
    }
    return sum;
}

constexpr uint64_t kFnvStart = 14695981039346656037ull;

std::string randomBytes(size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string out(size, '\0');
    for (char& c : out) {
        c = static_cast<char>(gen() & 0xff);
    }
    return out;
}

// One request as the fake PAPPL saw it.
struct Seen {
    http_state_t method = HTTP_STATE_WAITING;
    std::string resource, host, cookie, format;
    size_t bytes = 0; // the body after the IPP message
    uint64_t sum = kFnvStart;
    bool broken = false; // a body read failed: PAPPL's "Unable to read print file."
    Clock::time_point at;
};

int giveUp(http_t*, void*) {
    return 0;
}

class FakePappl {
  public:
    explicit FakePappl(const std::string& path) {
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
        ok_ = listener_ >= 0 &&
              bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
              ::listen(listener_, 16) == 0;
        if (ok_) {
            thread_ = std::thread([this] { loop(); });
        }
    }
    ~FakePappl() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
            if (current_ >= 0) {
                shutdown(current_, SHUT_RDWR);
            }
        }
        if (thread_.joinable()) {
            thread_.join();
        }
        if (listener_ >= 0) {
            close(listener_);
        }
    }
    bool ok() const { return ok_; }

    std::vector<Seen> waitFor(size_t n, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, timeout, [&] { return seen_.size() >= n; });
        return seen_;
    }

  private:
    bool stopping() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stop_;
    }

    void loop() {
        while (!stopping()) {
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) {
                continue;
            }
            http_t* http = httpAcceptConnection(listener_, 1);
            if (http == nullptr) {
                continue;
            }
            setCurrent(httpGetFd(http));
            serve(http);
            setCurrent(-1);
            httpClose(http);
        }
    }

    void setCurrent(int fd) {
        std::lock_guard<std::mutex> lock(mutex_);
        current_ = fd;
        if (stop_ && fd >= 0) {
            shutdown(fd, SHUT_RDWR);
        }
    }

    void serve(http_t* http) {
        httpSetTimeout(http, 15.0, giveUp, nullptr);
        char uri[1024];
        Seen seen;
        seen.method = httpReadRequest(http, uri, sizeof(uri));
        http_status_t status = HTTP_STATUS_CONTINUE;
        while (seen.method > HTTP_STATE_WAITING &&
               (status = httpUpdate(http)) == HTTP_STATUS_CONTINUE) {
        }
        if (status != HTTP_STATUS_OK) {
            return;
        }
        seen.resource = uri;
        seen.host = httpGetField(http, HTTP_FIELD_HOST);
        seen.cookie = httpGetCookie(http) != nullptr ? httpGetCookie(http) : "";
        if (httpGetExpect(http) == HTTP_STATUS_CONTINUE) {
            httpWriteResponse(http, HTTP_STATUS_CONTINUE);
        }
        IppPtr request;
        if (seen.method == HTTP_STATE_POST) {
            request = readIpp(http, seen);
            readDocument(http, seen);
        }
        record(seen);
        if (request != nullptr) {
            answerIpp(http, request.get());
        } else {
            answerPage(http);
        }
    }

    static IppPtr readIpp(http_t* http, Seen& seen) {
        IppPtr request(ippNew());
        ipp_state_t state;
        while ((state = ippRead(http, request.get())) != IPP_STATE_DATA) {
            if (state == IPP_STATE_ERROR) {
                return nullptr;
            }
        }
        ipp_attribute_t* format =
            ippFindAttribute(request.get(), "document-format", IPP_TAG_MIMETYPE);
        seen.format = format != nullptr ? ippGetString(format, 0, nullptr) : "";
        return request;
    }

    static void readDocument(http_t* http, Seen& seen) {
        char buffer[8192];
        ssize_t n;
        while ((n = httpRead2(http, buffer, sizeof(buffer))) > 0) {
            seen.sum = fnv(seen.sum, buffer, static_cast<size_t>(n));
            seen.bytes += static_cast<size_t>(n);
        }
        seen.broken = n < 0;
        seen.at = Clock::now();
    }

    void record(const Seen& seen) {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back(seen);
        cv_.notify_all();
    }

    static void answerIpp(http_t* http, ipp_t* request) {
        IppPtr response(ippNewResponse(request));
        ippSetStatusCode(response.get(), IPP_STATUS_OK);
        ippAddInteger(response.get(), IPP_TAG_JOB, IPP_TAG_INTEGER, "job-id", 7);
        httpClearFields(http);
        httpSetField(http, HTTP_FIELD_CONTENT_TYPE, "application/ipp");
        httpSetLength(http, ippLength(response.get()));
        httpSetKeepAlive(http, HTTP_KEEPALIVE_OFF);
        if (httpWriteResponse(http, HTTP_STATUS_OK) == 0) {
            ippWrite(http, response.get());
            httpFlushWrite(http);
        }
    }

    static void answerPage(http_t* http) {
        httpClearFields(http);
        httpSetField(http, HTTP_FIELD_CONTENT_TYPE, "text/html; charset=utf-8");
        httpSetCookie(http, kCookie);
        httpSetLength(http, std::strlen(kPage));
        httpSetKeepAlive(http, HTTP_KEEPALIVE_OFF);
        if (httpWriteResponse(http, HTTP_STATUS_OK) == 0) {
            httpWrite2(http, kPage, std::strlen(kPage));
            httpFlushWrite(http);
        }
    }

    int listener_ = -1;
    bool ok_ = false;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    int current_ = -1;
    std::vector<Seen> seen_;
    std::thread thread_;
};

struct Rig {
    tsupport::TempDir dir{"tarvik-front"};
    FakePappl pappl{dir.file("pappl.sock")};
    tarvik_app::Front front;
    bool ready = false;

    Rig() {
        tarvik_app::FrontConfig config;
        config.upstream = dir.file("pappl.sock");
        ready = pappl.ok() && front.listen(config) && front.start();
    }
    http_t* client() const {
        return httpConnect2("127.0.0.1", front.port(), nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1,
                            30000, nullptr);
    }
};

IppPtr printJob(const char* format, int fillers = 0) {
    IppPtr request(ippNewRequest(IPP_OP_PRINT_JOB));
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 "ipp://localhost/ipp/print");
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 "front-test");
    if (format != nullptr) {
        ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                     format);
    }
    ippAddInteger(request.get(), IPP_TAG_JOB, IPP_TAG_INTEGER, "copies", 1);
    const std::string filler(30000, 'x');
    for (int i = 0; i < fillers; ++i) {
        ippAddString(request.get(), IPP_TAG_JOB, IPP_TAG_TEXT,
                     ("x-filler-" + std::to_string(i)).c_str(), nullptr, filler.c_str());
    }
    return request;
}

// Sends the request and its document in pieces: with its length, or chunked.
bool sendJob(http_t* http, ipp_t* request, const std::string& doc, size_t upTo, bool knownLength) {
    const size_t length = knownLength ? ippLength(request) + doc.size() : CUPS_LENGTH_VARIABLE;
    if (cupsSendRequest(http, request, "/ipp/print", length) != HTTP_STATUS_CONTINUE) {
        return false;
    }
    for (size_t at = 0; at < upTo; at += 10000) {
        if (cupsWriteRequestData(http, doc.data() + at, std::min<size_t>(10000, upTo - at)) !=
            HTTP_STATUS_CONTINUE) {
            return false;
        }
    }
    return httpFlushWrite(http) >= 0;
}

IppPtr printWhole(http_t* http, const char* format, const std::string& doc, bool knownLength) {
    IppPtr request = printJob(format);
    if (!sendJob(http, request.get(), doc, doc.size(), knownLength)) {
        return nullptr;
    }
    return IppPtr(cupsGetResponse(http, "/ipp/print"));
}

void expectJobSeven(const IppPtr& response) {
    ASSERT_NE(response, nullptr) << cupsLastErrorString();
    EXPECT_EQ(ippGetStatusCode(response.get()), IPP_STATUS_OK);
    ipp_attribute_t* id = ippFindAttribute(response.get(), "job-id", IPP_TAG_INTEGER);
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(ippGetInteger(id, 0), 7);
}

void expectDocument(const Seen& seen, const std::string& doc, const char* format) {
    EXPECT_EQ(seen.method, HTTP_STATE_POST);
    EXPECT_EQ(seen.resource, "/ipp/print");
    EXPECT_EQ(seen.format, format);
    EXPECT_EQ(seen.bytes, doc.size());
    EXPECT_EQ(seen.sum, fnv(kFnvStart, doc.data(), doc.size()));
    EXPECT_FALSE(seen.broken);
}

// A raw exchange, for what libcups's client does not show (Set-Cookie).
std::string rawExchange(int port, const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        pollfd p{fd, POLLIN, 0};
        ssize_t n = 0;
        while (poll(&p, 1, 10000) > 0 && (n = recv(fd, buffer, sizeof(buffer), 0)) > 0) {
            reply.append(buffer, static_cast<size_t>(n));
        }
    }
    close(fd);
    return reply;
}

TEST(FrontTest, RasterJobsReachPapplAsSpooledRasterIntact) {
    Rig rig;
    ASSERT_TRUE(rig.ready);
    const std::string pwg = "RaS2" + randomBytes(300000, 1);
    const std::string urf = std::string("UNIRAST\0", 8) + randomBytes(200000, 2);
    http_t* http = rig.client();
    ASSERT_NE(http, nullptr);
    expectJobSeven(printWhole(http, "image/pwg-raster", pwg, true));
    expectJobSeven(printWhole(http, nullptr, urf, false));
    expectJobSeven(printWhole(http, "application/octet-stream", pwg, false));
    httpClose(http);
    const std::vector<Seen> seen = rig.pappl.waitFor(3, 5s);
    ASSERT_EQ(seen.size(), 3u);
    expectDocument(seen[0], pwg, tarvik_app::kSpooledRaster);
    expectDocument(seen[1], urf, tarvik_app::kSpooledRaster);
    expectDocument(seen[2], pwg, tarvik_app::kSpooledRaster);
}

TEST(FrontTest, PngJobKeepsItsFormat) {
    Rig rig;
    ASSERT_TRUE(rig.ready);
    const std::string png = "\x89PNG\r\n\x1a\n" + randomBytes(50000, 3);
    http_t* http = rig.client();
    ASSERT_NE(http, nullptr);
    expectJobSeven(printWhole(http, "image/png", png, true));
    httpClose(http);
    const std::vector<Seen> seen = rig.pappl.waitFor(1, 5s);
    ASSERT_EQ(seen.size(), 1u);
    expectDocument(seen[0], png, "image/png");
}

TEST(FrontTest, PagePassesThroughWithItsHostAndCookies) {
    Rig rig;
    ASSERT_TRUE(rig.ready);
    const std::string host = "localhost:" + std::to_string(rig.front.port());
    const std::string reply =
        rawExchange(rig.front.port(), "GET /label?x=%41 HTTP/1.1\r\nHost: " + host +
                                          "\r\nCookie: auth=xyz\r\n"
                                          "Connection: close\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply;
    EXPECT_NE(reply.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
    EXPECT_NE(reply.find(std::string("Set-Cookie: ") + kCookie + "\r\n"), std::string::npos);
    EXPECT_EQ(reply.substr(reply.size() - std::strlen(kPage)), kPage);
    const std::vector<Seen> seen = rig.pappl.waitFor(1, 5s);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, HTTP_STATE_GET);
    EXPECT_EQ(seen[0].resource, "/label?x=A");
    EXPECT_EQ(seen[0].host, host);
    EXPECT_EQ(seen[0].cookie, "auth=xyz");
}

TEST(FrontTest, OversizedAttributesAreRefusedAndTheFrontServesOn) {
    Rig rig;
    ASSERT_TRUE(rig.ready);
    http_t* http = rig.client();
    ASSERT_NE(http, nullptr);
    IppPtr response(cupsDoRequest(http, printJob("image/png", 10).release(), "/ipp/print"));
    EXPECT_EQ(cupsLastError(), IPP_STATUS_ERROR_REQUEST_ENTITY) << cupsLastErrorString();
    httpClose(http);

    http = rig.client();
    ASSERT_NE(http, nullptr);
    expectJobSeven(printWhole(http, "image/png", "tiny", true));
    httpClose(http);
    const std::vector<Seen> seen = rig.pappl.waitFor(1, 5s);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].bytes, 4u);
}

// A client that goes quiet (chunked, so the front cannot know the end) or hangs up in the
// middle of a document: PAPPL's read of it fails, within the silence limit or at once.
TEST(FrontTest, DocumentCutShortBreaksUpstreamWithinSeconds) {
    for (const auto& [stall, limit] : {std::pair{true, 9s}, std::pair{false, 3s}}) {
        SCOPED_TRACE(stall ? "stalled" : "closed");
        Rig rig;
        ASSERT_TRUE(rig.ready);
        const std::string pwg = "RaS2" + randomBytes(100000, stall ? 4 : 5);
        http_t* http = rig.client();
        ASSERT_NE(http, nullptr);
        IppPtr request = printJob("image/pwg-raster");
        ASSERT_TRUE(sendJob(http, request.get(), pwg, 40000, stall));
        if (!stall) {
            httpClose(http);
        }
        const auto cut = Clock::now();
        const std::vector<Seen> seen = rig.pappl.waitFor(1, 15s);
        if (stall) {
            httpClose(http);
        }
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_TRUE(seen[0].broken);
        EXPECT_LT(seen[0].bytes, pwg.size());
        EXPECT_LT(seen[0].at - cut, limit);
    }
}

} // namespace
