// PAPPL 1.3 keeps a printer's active jobs newest first and starts the first pending one, so
// jobs queued behind a long job would print newest first. When a job ends, every pending
// job but the oldest is held for a moment; the oldest starts, and releases the others.
#include "printer-app/app.h"
#include "printer-app/service.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace tarvik_app {

namespace {

struct Older {
    int self = 0;
    PrinterState* state = nullptr;
    bool pending = false;
    bool processing = false;
};

// Jobs older than self whose thread has not claimed: started (processing), or pending, which
// is also what a job PAPPL has just started looks like for a few milliseconds.
void findOlderComing(pappl_job_t* job, void* data) {
    auto* older = static_cast<Older*>(data);
    const ipp_jstate_t state = papplJobGetState(job);
    if (papplJobGetID(job) >= older->self || older->state->claimed(papplJobGetID(job))) {
        return;
    }
    older->pending = older->pending || state == IPP_JSTATE_PENDING;
    older->processing = older->processing || state == IPP_JSTATE_PROCESSING;
}

struct Pending {
    int self = 0;
    std::vector<int> ids;
};

void collectPending(pappl_job_t* job, void* data) {
    auto* pending = static_cast<Pending*>(data);
    if (papplJobGetID(job) != pending->self && papplJobGetState(job) == IPP_JSTATE_PENDING) {
        try {
            pending->ids.push_back(papplJobGetID(job));
        } catch (...) {
        }
    }
}

void releaseJobs(pappl_printer_t* printer, const std::vector<int>& ids) {
    for (int id : ids) {
        if (pappl_job_t* job = papplPrinterFindJob(printer, id)) {
            papplJobRelease(job, nullptr);
        }
    }
}

} // namespace

bool PrinterState::noteHeld(int jobId) {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
        held_.push_back(jobId);
        return true;
    } catch (...) {
        return false;
    }
}

std::vector<int> PrinterState::takeHeld() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(held_, {});
}

bool PrinterState::claim(int jobId) {
    // Job ids only grow: a window of recent ones is enough to know a second start.
    constexpr int kClaimWindow = 100000;
    std::lock_guard<std::mutex> lock(mutex_);
    try {
        if (!claimed_.insert(jobId).second) {
            return false;
        }
        // Waiting from the claim on, so that a younger job never passes it unseen.
        waiting_.insert(jobId);
    } catch (...) {
        // Out of memory: the job prints when the printer is free, in no particular turn.
        waiting_.erase(jobId);
        return true;
    }
    claimed_.erase(claimed_.begin(), claimed_.lower_bound(jobId - kClaimWindow));
    return true;
}

bool PrinterState::claimed(int jobId) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return claimed_.count(jobId) != 0;
}

void PrinterState::takeTurn(
    int jobId, const std::function<bool(std::chrono::milliseconds waited)>& olderComing) {
    constexpr auto kPoll = std::chrono::milliseconds(10);
    // A thread PAPPL started is at its turn within milliseconds; this bounds the wait for
    // one that never comes.
    constexpr auto kGiveUp = std::chrono::seconds(2);
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const bool first =
            waiting_.empty() || *waiting_.begin() == jobId || waiting_.count(jobId) == 0;
        if (!printing_ && first) {
            lock.unlock();
            const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start);
            const bool wait = waited < kGiveUp && olderComing(waited);
            lock.lock();
            if (!wait && !printing_) {
                break;
            }
        }
        turn_.wait_for(lock, kPoll);
    }
    waiting_.erase(jobId);
    printing_ = true;
}

bool PrinterState::tryTurn() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (printing_ || !waiting_.empty()) {
        return false;
    }
    printing_ = true;
    return true;
}

void PrinterState::endTurn() {
    std::lock_guard<std::mutex> lock(mutex_);
    printing_ = false;
    turn_.notify_all();
}

void holdYoungerJobs(pappl_job_t* ending) {
    pappl_printer_t* printer = papplJobGetPrinter(ending);
    PrinterState* state = printerState(printer);
    if (state == nullptr) {
        return;
    }
    Pending pending;
    pending.self = papplJobGetID(ending);
    // collectPending keeps what fits in memory; sorting and holding allocate nothing.
    papplPrinterIterateActiveJobs(printer, collectPending, &pending, 1, 0);
    std::sort(pending.ids.begin(), pending.ids.end());
    for (size_t i = 1; i < pending.ids.size(); ++i) {
        pappl_job_t* job = papplPrinterFindJob(printer, pending.ids[i]);
        // A hold the app cannot remember would never be released: it is undone at once.
        if (job != nullptr && papplJobHold(job, nullptr, "indefinite", 0) &&
            !state->noteHeld(pending.ids[i])) {
            papplJobRelease(job, nullptr);
        }
    }
}

void releaseHeldJobs(pappl_job_t* starting) {
    pappl_printer_t* printer = papplJobGetPrinter(starting);
    PrinterState* state = printerState(printer);
    if (state == nullptr) {
        return;
    }
    releaseJobs(printer, state->takeHeld());
    try {
        releaseJobs(printer, Service::get().takeRestartHeld(papplPrinterGetName(printer)));
    } catch (...) {
    }
}

bool olderJobComing(pappl_job_t* job, std::chrono::milliseconds waited) {
    // A pending job may have no thread at all (its document came after this one's).
    constexpr auto kPendingWait = std::chrono::milliseconds(100);
    pappl_printer_t* printer = papplJobGetPrinter(job);
    Older older;
    older.self = papplJobGetID(job);
    older.state = printerState(printer);
    if (older.state != nullptr) {
        papplPrinterIterateActiveJobs(printer, findOlderComing, &older, 1, 0);
    }
    return older.processing || (older.pending && waited < kPendingWait);
}

void releaseAllHeld(pappl_system_t* system) {
    papplSystemIteratePrinters(
        system,
        [](pappl_printer_t* printer, void*) {
            if (PrinterState* state = printerState(printer)) {
                releaseJobs(printer, state->takeHeld());
            }
        },
        nullptr);
}

} // namespace tarvik_app
