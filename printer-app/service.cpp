#include "printer-app/service.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace tarvik_app {

namespace {

using namespace std::chrono_literals;

// The label in progress finishes first (a label takes about a second); a printer that
// does not get ready is not waited for past this, so a stop ends well within 10 s.
constexpr auto kStopDeadline = 7s;
constexpr auto kStopPoll = 20ms;
constexpr auto kSaveEvery = 500ms;

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

} // namespace

// The file written whole or not at all, a line each: a stop between two writes leaves the
// older one.
bool writeWhole(const std::string& path, const std::vector<std::string>& lines) {
    const std::string temp = path + ".new";
    {
        std::ofstream file(temp, std::ios::trunc);
        for (const std::string& line : lines) {
            file << line << '\n';
        }
        if (!file.flush()) {
            unlink(temp.c_str());
            return false;
        }
    }
    return std::rename(temp.c_str(), path.c_str()) == 0;
}

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string progressPath(pappl_job_t* job) {
    const char* file = papplJobGetFilename(job);
    return file != nullptr && *file != '\0' ? std::string(file) + ".t58-progress" : "";
}

JobProgress loadProgress(const std::string& path) {
    JobProgress progress;
    std::ifstream in(path);
    int32_t pages = 0;
    int32_t copies = 0;
    if (in >> pages >> copies && pages >= 0 && copies >= 0) {
        progress.pages = pages;
        progress.copies = copies;
    }
    return progress;
}

void saveProgress(const std::string& path, const JobProgress& progress) {
    if (!path.empty()) {
        writeWhole(path, {std::to_string(progress.pages) + " " + std::to_string(progress.copies)});
    }
}

void removeProgress(const std::string& path) {
    if (!path.empty()) {
        unlink(path.c_str());
    }
}

namespace {

// The value of ` key="..."` in a state line (values carry no unescaped quote).
std::string valueOf(const std::string& line, const char* key) {
    const std::string tag = std::string(" ") + key + "=\"";
    const size_t at = line.find(tag);
    if (at == std::string::npos) {
        return "";
    }
    const size_t from = at + tag.size();
    const size_t to = line.find('"', from);
    return to == std::string::npos ? "" : line.substr(from, to - from);
}

void setJobState(std::string& line, const char* state) {
    const size_t at = line.find(" state=\"");
    const size_t end = at == std::string::npos ? at : line.find('"', at + 8);
    if (end != std::string::npos) {
        line.replace(at, end + 1 - at, std::string(" state=\"") + state + "\"");
    }
}

// The waiting jobs of one printer's block: the oldest pending, the others held.
void orderWaitingJobs(std::vector<std::string>& lines, const std::vector<size_t>& waiting,
                      const std::string& printer) {
    size_t oldest = waiting.front();
    for (size_t i : waiting) {
        if (std::atoi(valueOf(lines[i], "id").c_str()) <
            std::atoi(valueOf(lines[oldest], "id").c_str())) {
            oldest = i;
        }
    }
    for (size_t i : waiting) {
        setJobState(lines[i], i == oldest ? "3" : "4");
        if (i != oldest) {
            Service::get().noteRestartHeld(printer, std::atoi(valueOf(lines[i], "id").c_str()));
        }
    }
}

bool requeueJobsIn(const std::string& stateFile) {
    std::vector<std::string> lines = readLines(stateFile);
    std::string printer;
    std::vector<size_t> waiting;
    bool changed = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.rfind("<Printer ", 0) == 0) {
            printer = valueOf(line, "name");
            waiting.clear();
        } else if (line.rfind("Job ", 0) == 0) {
            const std::string state = valueOf(line, "state");
            if (state == "3" || state == "5") {
                waiting.push_back(i);
            }
        } else if (line.rfind("</Printer>", 0) == 0 && !waiting.empty()) {
            orderWaitingJobs(lines, waiting, printer);
            waiting.clear();
            changed = true;
        }
    }
    return !changed || writeWhole(stateFile, lines);
}

} // namespace

bool requeueStoppedJobs(const std::string& stateFile) {
    try {
        return requeueJobsIn(stateFile);
    } catch (...) {
        return false;
    }
}

Service& Service::get() {
    static Service service;
    return service;
}

void Service::blockStopSignals() {
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void Service::watchStopSignals(pappl_system_t* system, std::string stateFile,
                               void (*beforeStop)(void*), void* data) {
    beforeStop_ = beforeStop;
    beforeStopData_ = data;
    // The watcher lives as long as the process, which it ends itself. Without threads the
    // stop is PAPPL's own (the signals are then unblocked again).
    try {
        startWatchers(system, stateFile);
    } catch (...) {
        const sigset_t set = stopSignals();
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    }
}

void Service::startWatchers(pappl_system_t* system, const std::string& stateFile) {
    std::thread([this, system, stateFile] {
        const sigset_t set = stopSignals();
        int signal = 0;
        while (sigwait(&set, &signal) != 0) {
        }
        stop(system, stateFile);
    }).detach();
    std::thread([this, system, stateFile] {
        while (!stopping_.load()) {
            std::this_thread::sleep_for(1s);
            flushState(system, stateFile);
        }
    }).detach();
}

void Service::enterJob() {
    ++busyJobs_;
}

void Service::leaveJob() {
    --busyJobs_;
}

void Service::park() {
    leaveJob();
    for (;;) {
        std::this_thread::sleep_for(1s);
    }
}

bool Service::saveState(pappl_system_t* system, const std::string& stateFile) {
    std::lock_guard<std::mutex> lock(saveMutex_);
    if (finalSaved_) {
        return true;
    }
    if (std::chrono::steady_clock::now() - lastSave_ < kSaveEvery) {
        saveDue_ = true;
        return true;
    }
    return saveNow(system, stateFile);
}

void Service::flushState(pappl_system_t* system, const std::string& stateFile) {
    std::lock_guard<std::mutex> lock(saveMutex_);
    if (saveDue_ && !finalSaved_) {
        saveNow(system, stateFile);
    }
}

bool Service::saveNow(pappl_system_t* system, const std::string& stateFile) {
    lastSave_ = std::chrono::steady_clock::now();
    saveDue_ = false;
    return writeState(system, stateFile);
}

void Service::setDriverNamer(const char* (*driverOf)(pappl_printer_t* printer)) {
    driverOf_ = driverOf;
}

bool Service::writeState(pappl_system_t* system, const std::string& stateFile) {
    if (!papplSystemSaveState(system, stateFile.c_str())) {
        return false;
    }
    try {
        nameAutoDrivers(system, stateFile);
    } catch (...) {
    }
    return true;
}

void Service::nameAutoDrivers(pappl_system_t* system, const std::string& stateFile) {
    if (driverOf_ == nullptr) {
        return;
    }
    std::vector<std::string> lines = readLines(stateFile);
    bool changed = false;
    for (std::string& line : lines) {
        const size_t at = line.find(" driver=\"auto\"");
        if (line.rfind("<Printer ", 0) != 0 || at == std::string::npos) {
            continue;
        }
        const int id = std::atoi(valueOf(line, "id").c_str());
        pappl_printer_t* printer = papplSystemFindPrinter(system, nullptr, id, nullptr);
        if (const char* driver = printer != nullptr ? driverOf_(printer) : nullptr) {
            line.replace(at, 14, std::string(" driver=\"") + driver + "\"");
            changed = true;
        }
    }
    if (changed) {
        writeWhole(stateFile, lines);
    }
}

void Service::noteRestartHeld(const std::string& printer, int jobId) {
    std::lock_guard<std::mutex> lock(heldMutex_);
    restartHeld_[printer].push_back(jobId);
}

std::vector<int> Service::takeRestartHeld(const std::string& printer) {
    std::lock_guard<std::mutex> lock(heldMutex_);
    auto it = restartHeld_.find(printer);
    if (it == restartHeld_.end()) {
        return {};
    }
    std::vector<int> ids = std::move(it->second);
    restartHeld_.erase(it);
    return ids;
}

void Service::stop(pappl_system_t* system, const std::string& stateFile) {
    papplLog(system, PAPPL_LOGLEVEL_INFO, "Stopping: the labels in progress finish first.");
    stopping_ = true;
    if (beforeStop_ != nullptr) {
        beforeStop_(beforeStopData_);
    }
    const auto deadline = std::chrono::steady_clock::now() + kStopDeadline;
    while (busyJobs_.load() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kStopPoll);
    }
    if (busyJobs_.load() > 0) {
        papplLog(system, PAPPL_LOGLEVEL_WARN, "Stopping with a label still in progress.");
    }
    {
        std::lock_guard<std::mutex> lock(saveMutex_);
        saveNow(system, stateFile);
        finalSaved_ = true;
    }
    papplLog(system, PAPPL_LOGLEVEL_INFO, "Stopped; the jobs left print after the next start.");
    // PAPPL would wait up to a minute for the queued jobs; they are saved to print later.
    _exit(0);
}

} // namespace tarvik_app
