// PAPPL 1.3 keeps a printer's active jobs newest first and starts the first pending one, so
// jobs queued behind a long job would print newest first. When a job ends, every pending
// job but the oldest is held for a moment; the oldest starts, and releases the others.
#include "printer-app/app.h"
#include "printer-app/service.h"

#include <algorithm>
#include <string>
#include <vector>

namespace tarvik_app {

namespace {

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

} // namespace

void holdYoungerJobs(pappl_job_t* ending) {
    pappl_printer_t* printer = papplJobGetPrinter(ending);
    PrinterState* state = printerState(printer);
    if (state == nullptr) {
        return;
    }
    Pending pending;
    pending.self = papplJobGetID(ending);
    papplPrinterIterateActiveJobs(printer, collectPending, &pending, 1, 0);
    std::sort(pending.ids.begin(), pending.ids.end());
    for (size_t i = 1; i < pending.ids.size(); ++i) {
        pappl_job_t* job = papplPrinterFindJob(printer, pending.ids[i]);
        if (job != nullptr && papplJobHold(job, nullptr, "indefinite", 0)) {
            state->noteHeld(pending.ids[i]);
        }
    }
}

void releaseHeldJobs(pappl_job_t* starting) {
    pappl_printer_t* printer = papplJobGetPrinter(starting);
    PrinterState* state = printerState(printer);
    if (state == nullptr) {
        return;
    }
    std::vector<int> held = state->takeHeld();
    for (int id : Service::get().takeRestartHeld(papplPrinterGetName(printer))) {
        held.push_back(id);
    }
    for (int id : held) {
        if (pappl_job_t* job = papplPrinterFindJob(printer, id)) {
            papplJobRelease(job, nullptr);
        }
    }
}

void releaseAllHeld(pappl_system_t* system) {
    papplSystemIteratePrinters(
        system,
        [](pappl_printer_t* printer, void*) {
            PrinterState* state = printerState(printer);
            for (int id : state != nullptr ? state->takeHeld() : std::vector<int>{}) {
                if (pappl_job_t* job = papplPrinterFindJob(printer, id)) {
                    papplJobRelease(job, nullptr);
                }
            }
        },
        nullptr);
}

} // namespace tarvik_app
