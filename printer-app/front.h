#pragma once

// The app's IPP/HTTP front: it owns the public TCP listeners and relays every request to
// PAPPL on its private domain socket. PAPPL prints PWG and Apple raster while it arrives and
// answers server-error-busy while another job prints; the front renames such a document's
// format to kSpooledRaster, so PAPPL spools it like any other document and queues the job.

#include "printer-app/formats.h"

#include <pappl/pappl.h>

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tarvik_app {

struct FrontConfig {
    std::string listen = "localhost"; // comma-separated: "localhost" (127.0.0.1 and ::1), "*"
                                      // (all addresses, v4 and v6), or host names/addresses
    int port = 0;                     // 0: the first free port from 8000 + getuid() % 1000
    std::string upstream;             // PAPPL's domain socket path
    bool remoteAdmin = false;         // let non-loopback peers administer (PAPPL's web-remote)
    pappl_system_t* system = nullptr; // for papplLog only; may be null
};

// The parts of the front shared by front.cpp and front_relay.cpp.
namespace front_detail {

// One client connection as the accept thread sees it: the thread serving it, and the sockets
// the accept thread shuts down when the request header is late or on stop().
struct FrontSlot {
    using Clock = std::chrono::steady_clock;

    std::mutex mutex;
    int clientFd = -1;
    int upstreamFd = -1;
    bool closing = false;
    Clock::time_point deadline = Clock::time_point::max();
    std::atomic<bool> done{false};
    std::thread thread;

    void setDeadline(Clock::duration limit);
    void clearDeadline();
    // False once stop() has begun: the connection must not open another upstream socket.
    bool attachUpstream(int fd);
    void detachUpstream();
    void detachClient();
    bool isClosing();
    // Ends the connection's blocking reads and writes; the serving thread closes the sockets.
    void cutNoLock();
};

// front_relay.cpp: serves one accepted client until it ends, then closes it.
void serveFrontClient(http_t* client, FrontSlot& slot, const FrontConfig& config) noexcept;

// What the front decides about a request.
// The request URI percent-decoded, as libcups encodes it again when it sends it; false when
// it decodes to control characters or is malformed.
bool decodeUri(const char* raw, std::string& out);
// The length of the URI as libcups sends it, percent-encoding '%', controls and 8-bit bytes.
size_t sentLength(const std::string& uri);
// "address:port" of the local end of a TCP socket, for a client that sent no Host.
std::string localHost(int fd);
// libcups's client keeps no Set-Cookie of a response, so the head waiting on fd (after any
// 100 Continue) is read here first with MSG_PEEK; libcups then reads all of it as usual.
std::vector<std::string> peekSetCookies(int fd, int waitMs);
// What a peer on another host may do: print, follow its jobs, read the printer's state.
bool openToEveryone(ipp_op_t op);
// The document-format of a Print-Job or Send-Document as PAPPL would take it ("" when
// absent); nothing for other operations or a value that is no single MIME type.
std::optional<std::string> documentFormatOf(ipp_t* ipp);
// Whether the document's first bytes decide the format: it is absent or generic.
bool needsSniff(const std::string& format);
// A PWG or Apple raster, by its format or its first bytes.
bool isRaster(const std::string& format, const std::string& head);
// The request with document-format kSpooledRaster: the same one, or a copy (ipp is freed).
ipp_t* withSpooledFormat(ipp_t* ipp);

void frontLog(pappl_system_t* system, pappl_loglevel_t level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

} // namespace front_detail

class Front {
  public:
    Front() = default;
    Front(const Front&) = delete;
    Front& operator=(const Front&) = delete;
    ~Front();

    // Binds the listeners, so that port() is known before the PAPPL system is created;
    // false with a logged reason.
    bool listen(FrontConfig config);
    int port() const { return port_; }
    // Starts the accept thread.
    bool start();
    // Stops accepting, ends every connection and joins every thread; safe to call twice.
    void stop();

  private:
    bool bindAll(const std::vector<std::string>& names, int port);
    void closeListeners();
    void acceptLoop() noexcept;
    void acceptOne(int listener);
    void reapDone();
    void enforceDeadlines();
    size_t active();
    void wake();

    FrontConfig config_;
    std::vector<int> listeners_;
    int port_ = 0;
    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;
    std::mutex mutex_;
    std::list<std::unique_ptr<front_detail::FrontSlot>> slots_;
};

} // namespace tarvik_app
