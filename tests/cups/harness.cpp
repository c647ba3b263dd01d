#include "tests/cups/harness.h"

#include "tests/support/support.h"

#include <cups/cups.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace cupstest {
namespace {

using Clock = std::chrono::steady_clock;

std::string lookUp(const std::string& name, const EnvPairs& env) {
    if (name.find('/') != std::string::npos)
        return name;
    std::string path = "/usr/sbin:/usr/bin:/sbin:/bin";
    for (const auto& [k, v] : env) {
        if (k == "PATH")
            path = v;
    }
    std::stringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string cand = (dir.empty() ? "." : dir) + "/" + name;
        if (access(cand.c_str(), X_OK) == 0)
            return cand;
    }
    return name;
}

int statusOf(int st) {
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    return -1;
}

bool writeText(const std::string& path, const std::string& text, mode_t mode) {
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f << text;
        if (!f)
            return false;
    }
    return chmod(path.c_str(), mode) == 0;
}

bool socketAnswers(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

} // namespace

EnvPairs baseEnv() {
    return {{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}, {"LANG", "C"}};
}

Proc runProgram(const std::vector<std::string>& argv, const EnvPairs& env,
                const std::string& stdinPath, std::chrono::milliseconds timeout) {
    Proc proc;
    if (argv.empty())
        return proc;
    tsupport::RunOptions options;
    options.exe = lookUp(argv[0], env);
    options.args.assign(argv.begin() + 1, argv.end());
    options.env = env;
    options.stdinPath = stdinPath;
    options.timeout = timeout;
    const tsupport::RunResult run = tsupport::runBackend(options);
    proc.status = run.termSignal != 0 ? 128 + run.termSignal : run.exitStatus;
    proc.timedOut = run.timedOut;
    proc.out = run.out;
    proc.err = run.err;
    return proc;
}

InstallTree installTree(const std::string& destdir) {
    InstallTree t;
    t.destdir = destdir;
    t.backend = destdir + TARVIK_CUPS_SERVERBIN "/backend/tarvik";
    t.filter = destdir + TARVIK_CUPS_SERVERBIN "/filter/rastertotarvik";
    t.ppd203 = destdir + TARVIK_PPD_DIR "/t58-203.ppd";
    t.ppd300 = destdir + TARVIK_PPD_DIR "/t58-300.ppd";
    t.udevRule = destdir + TARVIK_UDEV_RULES_DIR "/60-tarvik.rules";
    return t;
}

bool installProject(const std::string& destdir, std::string* log) {
    EnvPairs env = baseEnv();
    env.emplace_back("DESTDIR", destdir);
    Proc p = runProgram(
        {TARVIK_CMAKE_COMMAND, "--install", TARVIK_BUILD_DIR, "--component", "tarvik"}, env);
    if (log)
        *log = p.out + p.err;
    return p.status == 0;
}

bool makePdf(const std::string& postscript, const std::string& pdfPath, std::string* log) {
    std::string psPath = pdfPath + ".ps";
    if (!writeText(psPath, postscript, 0644))
        return false;
    Proc p = runProgram(
        {"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite", "-o", pdfPath, psPath},
        baseEnv());
    if (log)
        *log = p.out + p.err;
    return p.status == 0 && chmod(pdfPath.c_str(), 0644) == 0;
}

PrivateCups::PrivateCups(std::string root, InstallTree tree)
    : root_(std::move(root)), tree_(std::move(tree)), socket_(root_ + "/cups.sock") {}

PrivateCups::~PrivateCups() {
    stop();
}

std::string PrivateCups::errorLog() const {
    std::ifstream f(root_ + "/log/error_log", std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

bool PrivateCups::setBackendEnv(const EnvPairs& env) {
    std::string text;
    for (const auto& [k, v] : env) {
        if (v.find('\'') != std::string::npos)
            return false;
        text += "export " + k + "='" + v + "'\n";
    }
    return writeText(root_ + "/backend.env", text, 0600);
}

// ServerBin: the system's daemon helpers (cupsd starts every child through cups-exec) and
// filters, the installed T58 filter, and the wrapper backend.
bool PrivateCups::layOut(std::string* error) {
    std::error_code ec;
    for (const char* d :
         {"etc/ppd", "bin/backend", "bin/filter", "spool/tmp", "cache", "state", "log", "shm"})
        fs::create_directories(root_ + "/" + d, ec);
    chmod(root_.c_str(), 0755);
    const std::string sys = TARVIK_SYSTEM_CUPS_SERVERBIN;
    for (const char* d : {"daemon", "notifier"})
        fs::create_directory_symlink(sys + "/" + d, root_ + "/bin/" + d, ec);
    for (const auto& entry : fs::directory_iterator(sys + "/filter", ec)) {
        if (entry.path().filename() != "rastertotarvik")
            fs::create_symlink(entry.path(),
                               fs::path(root_) / "bin/filter" / entry.path().filename(), ec);
    }
    fs::copy_file(tree_.filter, root_ + "/bin/filter/rastertotarvik",
                  fs::copy_options::overwrite_existing, ec);
    if (ec) {
        *error = "cannot copy the installed filter: " + ec.message();
        return false;
    }
    chmod((root_ + "/bin/filter/rastertotarvik").c_str(), 0755);
    // A backend that others may write is refused; one that others may not run runs as root.
    std::string wrapper = "#!/bin/bash\n"
                          "# The virtual T58's preload, which cupsd takes away from a backend.\n"
                          ". '" +
                          root_ + "/backend.env'\n" + "exec -a \"${DEVICE_URI:-tarvik}\" '" +
                          tree_.backend + "' \"$@\"\n";
    if (!writeText(root_ + "/bin/backend/tarvik", wrapper, 0700) || !setBackendEnv({}) ||
        !writeConfig()) {
        *error = "cannot write the private ServerBin or configuration";
        return false;
    }
    return true;
}

bool PrivateCups::writeConfig() {
    const std::string& r = root_;
    std::string files;
    for (const std::string& line :
         {"ServerRoot " + r + "/etc", "ServerBin " + r + "/bin",
          std::string("DataDir ") + TARVIK_SYSTEM_CUPS_DATADIR, "RequestRoot " + r + "/spool",
          "TempDir " + r + "/spool/tmp", "CacheDir " + r + "/cache", "StateDir " + r + "/state",
          "ErrorLog " + r + "/log/error_log", "AccessLog " + r + "/log/access_log",
          "PageLog " + r + "/log/page_log", std::string("User lp"), std::string("Group lp"),
          std::string("SystemGroup root")})
        files += line + "\n";
    std::string conf = "LogLevel debug\nMaxLogSize 0\nListen " + socket_ +
                       "\nBrowsing Off\nWebInterface No\nDefaultAuthType None\n"
                       "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                       "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n"
                       "</Policy>\n";
    return writeText(r + "/etc/cups-files.conf", files, 0644) &&
           writeText(r + "/etc/cupsd.conf", conf, 0644);
}

bool PrivateCups::start(std::string* error) {
    if (!layOut(error))
        return false;
    std::string conf = root_ + "/etc/cupsd.conf";
    std::string files = root_ + "/etc/cups-files.conf";
    // The backend writes its log and page dumps into /dev/shm: give this cupsd and all it
    // starts the test's folder there.
    tsupport::SpawnOptions cupsd{{TARVIK_CUPSD, "-f", "-c", conf, "-s", files},
                                 {{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}, {"LANG", "C"}},
                                 {{shmDir(), "/dev/shm"}}};
    const std::string out = root_ + "/log/cupsd.out";
    cupsd.outFd = cupsd.errFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t pid = tsupport::spawn(cupsd);
    close(cupsd.outFd);
    if (pid < 0) {
        *error = "fork failed";
        return false;
    }
    pid_ = pid;
    auto deadline = Clock::now() + 20s;
    while (Clock::now() < deadline) {
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            *error = "cupsd ended at start with status " + std::to_string(statusOf(st));
            return false;
        }
        if (socketAnswers(socket_))
            return true;
        std::this_thread::sleep_for(50ms);
    }
    *error = "cupsd did not answer on its socket";
    stop();
    return false;
}

void PrivateCups::stop() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    auto deadline = Clock::now() + 10s;
    int st = 0;
    while (waitpid(pid_, &st, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &st, 0);
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    pid_ = -1;
}

Proc PrivateCups::client(const std::vector<std::string>& argv) const {
    EnvPairs env = baseEnv();
    env.emplace_back("CUPS_SERVER", socket_);
    return runProgram(argv, env);
}

std::optional<int> PrivateCups::print(const std::vector<std::string>& lpArgs, std::string* out) {
    std::vector<std::string> argv = {"lp"};
    argv.insert(argv.end(), lpArgs.begin(), lpArgs.end());
    Proc p = client(argv);
    if (out)
        *out = p.out + p.err;
    // "request id is QUEUE-12 (1 file(s))"
    const std::string lead = "request id is ";
    size_t at = p.out.find(lead);
    size_t end = at == std::string::npos ? at : p.out.find(' ', at + lead.size());
    size_t dash = end == std::string::npos ? end : p.out.rfind('-', end);
    if (p.status != 0 || dash == std::string::npos || dash < at)
        return std::nullopt;
    int id = atoi(p.out.c_str() + dash + 1);
    return id > 0 ? std::optional<int>(id) : std::nullopt;
}

int PrivateCups::waitJob(int jobId, std::chrono::milliseconds timeout) const {
    http_t* http = httpConnect2(socket_.c_str(), 0, nullptr, AF_LOCAL, HTTP_ENCRYPTION_NEVER, 1,
                                5000, nullptr);
    if (http == nullptr)
        return 0;
    std::string uri = "ipp://localhost/jobs/" + std::to_string(jobId);
    int state = 0;
    auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        ipp_t* req = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
        ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri.c_str());
        ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                     "job-state");
        ipp_t* resp = cupsDoRequest(http, req, "/");
        ipp_attribute_t* attr = resp ? ippFindAttribute(resp, "job-state", IPP_TAG_ENUM) : nullptr;
        int now = attr ? ippGetInteger(attr, 0) : 0;
        ippDelete(resp);
        if (now >= IPP_JSTATE_CANCELED) {
            state = now;
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    httpClose(http);
    return state;
}

} // namespace cupstest
