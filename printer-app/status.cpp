// The printer's state as IPP and the web page show it, from the T58's status replies.
#include "link/status.h"
#include "printer-app/app.h"

#include <cstdio>
#include <string>

namespace tarvik_app {

OpenResult openLink(DeviceData& dev) {
    if (!dev.linkOpen && init_t58(dev.printer.link) == OpenResult::Opened) {
        dev.linkOpen = true;
    }
    return dev.linkOpen ? OpenResult::Opened : OpenResult::Failed;
}

void closeLink(DeviceData& dev) {
    if (dev.linkOpen) {
        close_t58(dev.printer.link);
        dev.linkOpen = false;
    }
}

bool askStatus(DeviceData& dev, T58Status* status) {
    const bool wasOpen = dev.linkOpen;
    if (wasOpen ? getDot_T58(dev.printer.link) != 0 : openLink(dev) != OpenResult::Opened) {
        return false;
    }
    *status = dev.printer.link.lastStatus;
    if (!wasOpen) {
        closeLink(dev);
    }
    return true;
}

// The T58 reports "not ready" in six bits without naming them: IPP's "other" with the
// bits on the web page. Busy is a normal part of printing and no reason at all.
pappl_preason_t reasonsOf(const T58Status& status) {
    return status.notReady != 0 ? PAPPL_PREASON_OTHER : PAPPL_PREASON_NONE;
}

std::string statusText(const T58Status& status) {
    std::string text;
    if (status.notReady != 0) {
        char bits[48];
        std::snprintf(bits, sizeof bits, "not ready (conditions 0x%02X)", status.notReady);
        text = bits;
    } else if (status.bBusy) {
        text = "busy";
    } else {
        text = "ready";
    }
    if (status.stopsPage()) {
        text += ", stopping the page";
    }
    return text;
}

// Asks an idle printer its status; a printer busy with a job keeps the reasons the job set.
bool updateStatus(pappl_printer_t* printer) {
    // While the state loads, closing the device would start a saved job before the system
    // runs; the first turn of the running system asks instead (startQueues).
    if (!papplSystemIsRunning(papplPrinterGetSystem(printer))) {
        return true;
    }
    PrinterState* state = printerState(printer);
    if (state == nullptr || !state->tryTurn()) {
        return true;
    }
    pappl_device_t* device = papplPrinterOpenDevice(printer);
    if (device != nullptr) {
        try {
            DeviceData* dev = deviceData(device);
            if (dev != nullptr) {
                dev->coreLines.usedBy(printer);
            }
            T58Status status;
            const bool online = dev != nullptr && askStatus(*dev, &status);
            if (online) {
                const pappl_preason_t reasons = reasonsOf(status);
                papplPrinterSetReasons(printer, reasons,
                                       (PAPPL_PREASON_OTHER | PAPPL_PREASON_OFFLINE) & ~reasons);
            } else {
                papplPrinterSetReasons(printer, PAPPL_PREASON_OFFLINE, PAPPL_PREASON_NONE);
            }
            state->setStatus(online ? statusText(status) : "offline (unplugged or not answering)");
        } catch (...) {
        }
    }
    // The turn ends first: closing the device may start the printer's next job.
    state->endTurn();
    if (device != nullptr) {
        papplPrinterCloseDevice(printer);
    }
    return true;
}

} // namespace tarvik_app
