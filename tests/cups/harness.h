#pragma once

// A private CUPS for the queue tests: the project installed into a scratch DESTDIR, a cupsd
// with its own ServerRoot, ServerBin, spool and logs listening on a local socket, started in
// a mount namespace whose /dev/shm is a folder of the test. Never the system daemon.

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cupstest {

using EnvPairs = std::vector<std::pair<std::string, std::string>>;
using namespace std::chrono_literals;

struct Proc {
    int status = -1; // exit code, 128 + signal when killed, -1 when not started
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Runs argv (a bare name is looked up in PATH) with the given environment and standard
// input, collecting standard output and standard error.
Proc runProgram(const std::vector<std::string>& argv, const EnvPairs& env,
                const std::string& stdinPath = "/dev/null",
                std::chrono::milliseconds timeout = 60s);

// The environment a plain command needs: PATH, LANG.
EnvPairs baseEnv();

// Where `cmake --install` puts the T58 files below a DESTDIR.
struct InstallTree {
    std::string destdir;
    std::string backend;
    std::string filter;
    std::string ppd203;
    std::string ppd300;
    std::string udevRule;
};

InstallTree installTree(const std::string& destdir);
// Installs the project's T58 component into destdir; false with cmake's output in log.
bool installProject(const std::string& destdir, std::string* log);

// A PDF made by Ghostscript from PostScript text.
bool makePdf(const std::string& postscript, const std::string& pdfPath, std::string* log);

class PrivateCups {
  public:
    // root: an empty folder that the lp user can enter.
    PrivateCups(std::string root, InstallTree tree);
    ~PrivateCups();
    PrivateCups(const PrivateCups&) = delete;
    PrivateCups& operator=(const PrivateCups&) = delete;

    bool start(std::string* error);
    void stop();
    bool running() const { return pid_ > 0; }

    // Variables the wrapper backend puts back before it runs the real backend (a root
    // cupsd gives a backend no LD_* variable): the virtual T58's preload.
    bool setBackendEnv(const EnvPairs& env);

    // A client command (lp, lpadmin, lpinfo, lpstat) against this cupsd.
    Proc client(const std::vector<std::string>& argv) const;
    // lp; the job id, or nullopt.
    std::optional<int> print(const std::vector<std::string>& lpArgs, std::string* out = nullptr);
    // Waits until the job has ended; its final job-state (IPP), or 0 on timeout.
    int waitJob(int jobId, std::chrono::milliseconds timeout = 90s) const;

    const std::string& socket() const { return socket_; }
    std::string shmDir() const { return root_ + "/shm"; }
    std::string spoolTmp() const { return root_ + "/spool/tmp"; }
    std::string ppdOf(const std::string& queue) const {
        return root_ + "/etc/ppd/" + queue + ".ppd";
    }
    std::string errorLog() const;

  private:
    bool layOut(std::string* error);
    bool writeConfig();

    std::string root_;
    InstallTree tree_;
    std::string socket_;
    int pid_ = -1;
};

} // namespace cupstest
