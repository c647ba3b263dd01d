// Running a command against the virtual printer: the child gets an explicit environment.

#include "vt58/vt58.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vt58 {
namespace {

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            close(fd);
    }
};

int statusOf(int st) {
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    return -1;
}

// Reads what is there without blocking; false at end of file.
bool drain(int fd, std::string* out) {
    char buf[4096];
    while (true) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            if (out)
                out->append(buf, static_cast<size_t>(n));
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
}

} // namespace

EnvPairs currentEnv() {
    EnvPairs env;
    for (char** e = environ; e && *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (eq)
            env.emplace_back(std::string(*e, static_cast<size_t>(eq - *e)), std::string(eq + 1));
    }
    return env;
}

int runCommand(const std::vector<std::string>& argv, const EnvPairs& env,
               std::chrono::milliseconds timeout, std::string* output) {
    if (argv.empty())
        return -1;
    // Everything the child needs is built before fork: after it only exec-safe calls.
    std::vector<std::string> envText;
    for (const auto& [n, v] : env)
        envText.push_back(n + "=" + v);
    std::vector<char*> cargv, cenv;
    for (const std::string& a : argv)
        cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    for (std::string& e : envText)
        cenv.push_back(e.data());
    cenv.push_back(nullptr);
    std::string path = argv[0];
    if (path.find('/') == std::string::npos) {
        for (const auto& [n, v] : env)
            if (n == "PATH") {
                size_t start = 0;
                while (start <= v.size()) {
                    size_t end = v.find(':', start);
                    std::string dir = v.substr(start, end - start);
                    std::string cand = (dir.empty() ? "." : dir) + "/" + argv[0];
                    if (access(cand.c_str(), X_OK) == 0) {
                        path = cand;
                        break;
                    }
                    if (end == std::string::npos)
                        break;
                    start = end + 1;
                }
            }
    }

    Fd rd, wr;
    if (output) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0)
            return -1;
        rd.fd = p[0];
        wr.fd = p[1];
        fcntl(rd.fd, F_SETFL, O_NONBLOCK);
    }
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (wr.fd >= 0)
            dup2(wr.fd, 1);
        execve(path.c_str(), cargv.data(), cenv.data());
        _exit(127);
    }
    if (wr.fd >= 0) {
        close(wr.fd);
        wr.fd = -1;
    }
    auto end = Clock::now() + timeout;
    bool open = rd.fd >= 0;
    while (true) {
        int st = 0;
        pid_t done = waitpid(pid, &st, WNOHANG);
        if (done == pid) {
            if (open)
                drain(rd.fd, output);
            return statusOf(st);
        }
        if (done < 0 && errno != EINTR)
            return -1;
        if (Clock::now() >= end) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            return 128 + SIGKILL;
        }
        if (open) {
            pollfd pf{rd.fd, POLLIN, 0};
            poll(&pf, 1, 10);
            open = drain(rd.fd, output);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

} // namespace vt58
