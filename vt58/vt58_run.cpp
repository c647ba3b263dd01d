// vt58-run: runs a command against a scripted virtual T58 and reports what it printed.

#include "vt58/vt58.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: vt58-run [--scenario FILE] [--png DIR] [--record FILE] [--timeout SECONDS]\n"
    "                -- command [args...]\n";

struct Args {
    std::string scenario, pngDir, recordFile;
    int timeoutSeconds = 600;
    std::vector<std::string> command;
};

bool parseArgs(int argc, char** argv, Args& a) {
    int i = 1;
    for (; i < argc; ++i) {
        std::string opt = argv[i];
        if (opt == "--")
            break;
        if (i + 1 >= argc)
            return false;
        std::string value = argv[++i];
        if (opt == "--scenario")
            a.scenario = value;
        else if (opt == "--png")
            a.pngDir = value;
        else if (opt == "--record")
            a.recordFile = value;
        else if (opt == "--timeout")
            a.timeoutSeconds = std::atoi(value.c_str());
        else
            return false;
    }
    for (++i; i < argc; ++i)
        a.command.push_back(argv[i]);
    return !a.command.empty() && a.timeoutSeconds > 0;
}

bool writePngs(const vt58::Record& r, const std::string& dir) {
    mkdir(dir.c_str(), 0755);
    bool ok = true;
    for (size_t i = 0; i < r.pages.size(); ++i) {
        const vt58::PrintedPage& p = r.pages[i];
        char name[96];
        std::snprintf(name, sizeof name, "/page-%03zu-dev%d-copy%d.png", i + 1, p.device,
                      p.copyNumber);
        std::string err;
        if (!vt58::writePng(p, dir + name, &err)) {
            std::fprintf(stderr, "vt58-run: %s\n", err.c_str());
            ok = false;
        }
    }
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    Args a;
    if (!parseArgs(argc, argv, a)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    vt58::Scenario s;
    std::string err;
    if (!a.scenario.empty() && !vt58::loadScenario(a.scenario, s, err)) {
        std::fprintf(stderr, "vt58-run: %s: %s\n", a.scenario.c_str(), err.c_str());
        return 2;
    }
    vt58::VirtualT58 printer(s);
    if (!printer.ok()) {
        std::fprintf(stderr, "vt58-run: %s\n", printer.setupError().c_str());
        return 2;
    }
    int status = vt58::runCommand(a.command, printer.withChildEnv(vt58::currentEnv()),
                                  std::chrono::seconds(a.timeoutSeconds));
    vt58::Record r = printer.record();
    std::fputs(vt58::summary(r).c_str(), stderr);
    bool ok = true;
    if (!a.pngDir.empty())
        ok = writePngs(r, a.pngDir);
    if (!a.recordFile.empty()) {
        std::ofstream f(a.recordFile);
        f << vt58::dumpRecord(r);
        ok = ok && static_cast<bool>(f);
    }
    if (status != 0)
        return status < 0 ? 2 : status;
    return r.errors.empty() && ok ? 0 : 1;
}
