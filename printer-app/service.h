#pragma once

#include <pappl/pappl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// The server's life across a stop and a start: what of each job is on labels already, the
// stop that lets every label in progress finish, and the state saved for the next start.
namespace tarvik_app {

// A file of lines written whole or not at all (through PATH.new and a rename), and read back.
bool writeWhole(const std::string& path, const std::vector<std::string>& lines);
std::vector<std::string> readLines(const std::string& path);

// Pages of a job printed whole, and copies printed of the page after them.
struct JobProgress {
    int32_t pages = 0;
    int32_t copies = 0;
};

// Kept beside the job's document, so it lives exactly as long as the job's spool file.
std::string progressPath(pappl_job_t* job);
JobProgress loadProgress(const std::string& path);
// Written whole or not at all: a stop between two writes leaves the older record.
void saveProgress(const std::string& path, const JobProgress& progress);
void removeProgress(const std::string& path);

// Readies the saved state for the next start. A job stopped between copies is saved as
// processing, and PAPPL never starts such a job again: it becomes pending, to go on where it
// stopped. PAPPL starts the newest pending job first, so only each printer's oldest waiting
// job stays pending; the others are held until it starts (Service::takeRestartHeld).
bool requeueStoppedJobs(const std::string& stateFile);

class Service {
  public:
    static Service& get();

    // Blocks SIGTERM and SIGINT in every thread started after it; call before the system.
    void blockStopSignals();
    // Starts the thread that waits for the stop signal.
    void watchStopSignals(pappl_system_t* system, std::string stateFile, void (*beforeStop)(void*),
                          void* data);

    bool stopping() const { return stopping_.load(); }
    // A job thread working on labels: the stop waits for it to leave or to park.
    void enterJob();
    void leaveJob();
    // Never returns while the server stops: the job stays processing, as saved.
    [[noreturn]] void park();

    // PAPPL saves the whole state, every queued job's attributes with it, at each change: a
    // burst of jobs would write it once a job. Saves come at most every kSaveEvery; one
    // asked for sooner is made by flushState, which the watcher's own thread calls each
    // second (a PAPPL timer would hold the system's lock while this takes the save lock).
    bool saveState(pappl_system_t* system, const std::string& stateFile);
    void flushState(pappl_system_t* system, const std::string& stateFile);
    // PAPPL saves a printer added with the driver "auto" under that name, which no later
    // start knows; the state names the driver the printer was given instead.
    void setDriverNamer(const char* (*driverOf)(pappl_printer_t* printer));

    void noteRestartHeld(const std::string& printer, int jobId);
    std::vector<int> takeRestartHeld(const std::string& printer);

  private:
    // With saveMutex_ held.
    bool saveNow(pappl_system_t* system, const std::string& stateFile);
    bool writeState(pappl_system_t* system, const std::string& stateFile);
    void nameAutoDrivers(pappl_system_t* system, const std::string& stateFile);
    void startWatchers(pappl_system_t* system, const std::string& stateFile);
    void stop(pappl_system_t* system, const std::string& stateFile);

    std::atomic<bool> stopping_{false};
    std::atomic<int> busyJobs_{0};
    std::mutex saveMutex_;
    bool finalSaved_ = false;
    bool saveDue_ = false;
    std::chrono::steady_clock::time_point lastSave_{};
    const char* (*driverOf_)(pappl_printer_t*) = nullptr;
    void (*beforeStop_)(void*) = nullptr;
    void* beforeStopData_ = nullptr;
    std::mutex heldMutex_;
    std::map<std::string, std::vector<int>> restartHeld_;
};

} // namespace tarvik_app
