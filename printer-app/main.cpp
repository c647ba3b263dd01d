// tarvik-printer-app: every attached T58 as an IPP Everywhere printer, on PAPPL's main loop.
#include "printer-app/app.h"
#include "printer-app/arrivals.h"
#include "printer-app/front.h"
#include "printer-app/image_filter.h"
#include "printer-app/pdf_filter.h"
#include "printer-app/service.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace tarvik_app {

namespace {

constexpr const char* kVersion = "1.0.0";
constexpr const char* kFooter = "Tarvik T58 printer application";

std::string gStateFile;
// The sub-command, for the system callback: PAPPL asks it for "server" and for "drivers".
std::string gSubcommand;
Front gFront;
Arrivals gArrivals;
PdfLimits gPdfLimits;

struct OptionBit {
    const char* name;
    pappl_soptions_t bit;
    bool set;
};

constexpr OptionBit kServerOptions[] = {
    {"dnssd-host", PAPPL_SOPTIONS_DNSSD_HOST, true},
    {"no-multi-queue", PAPPL_SOPTIONS_MULTI_QUEUE, false},
    {"raw-socket", PAPPL_SOPTIONS_RAW_SOCKET, true},
    {"no-web-interface", PAPPL_SOPTIONS_WEB_INTERFACE, false},
    {"web-log", PAPPL_SOPTIONS_WEB_LOG, true},
    {"web-network", PAPPL_SOPTIONS_WEB_NETWORK, true},
    {"web-remote", PAPPL_SOPTIONS_WEB_REMOTE, true},
    {"web-security", PAPPL_SOPTIONS_WEB_SECURITY, true},
    {"web-tls", PAPPL_SOPTIONS_WEB_TLS, true},
    {"no-tls", PAPPL_SOPTIONS_NO_TLS, true},
};

// A comma-separated list of the names above; "none" clears all, unknown names are logged.
pappl_soptions_t serverOptions(const char* text) {
    pappl_soptions_t options = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE |
                               PAPPL_SOPTIONS_WEB_LOG | PAPPL_SOPTIONS_WEB_SECURITY;
    std::string list = text ? text : "";
    size_t start = 0;
    while (start <= list.size() && !list.empty()) {
        const size_t comma = list.find(',', start);
        const std::string word =
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (word == "none") {
            options = PAPPL_SOPTIONS_NONE;
        }
        for (const OptionBit& o : kServerOptions) {
            if (word == o.name) {
                options = o.set ? (options | o.bit) : (options & ~o.bit);
            }
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return options;
}

pappl_loglevel_t logLevel(const char* text) {
    if (text == nullptr) {
        return PAPPL_LOGLEVEL_WARN;
    }
    const struct {
        const char* name;
        pappl_loglevel_t level;
    } levels[] = {{"fatal", PAPPL_LOGLEVEL_FATAL},
                  {"error", PAPPL_LOGLEVEL_ERROR},
                  {"warn", PAPPL_LOGLEVEL_WARN},
                  {"info", PAPPL_LOGLEVEL_INFO},
                  {"debug", PAPPL_LOGLEVEL_DEBUG}};
    for (const auto& l : levels) {
        if (std::strcmp(text, l.name) == 0) {
            return l.level;
        }
    }
    return PAPPL_LOGLEVEL_WARN;
}

// The state file: -o state-file, systemd's StateDirectory, /var/lib for root, else the
// user's configuration folder.
std::string stateFile(int num_options, cups_option_t* options) {
    if (const char* path = cupsGetOption("state-file", num_options, options)) {
        return path;
    }
    if (const char* dir = std::getenv("STATE_DIRECTORY")) {
        return std::string(dir) + "/tarvik-printer-app.state";
    }
    if (getuid() == 0) {
        return "/var/lib/tarvik-printer-app.state";
    }
    const char* home = std::getenv("HOME");
    return std::string(home ? home : ".") + "/.tarvik-printer-app.state";
}

// A stop takes no new connection and leaves no job held by the app.
void beforeStop(void* data) {
    gFront.stop();
    gArrivals.stop();
    releaseAllHeld(static_cast<pappl_system_t*>(data));
}

bool saveState(pappl_system_t* system, void*) {
    return Service::get().saveState(system, gStateFile);
}

// Jobs saved by the last run start once the system runs: asking each printer its status
// closes its device, which starts the printer's next job.
bool startQueues(pappl_system_t* system, void*) {
    papplSystemIteratePrinters(
        system, [](pappl_printer_t* printer, void*) { updateStatus(printer); }, nullptr);
    return false;
}

// "drivers" lists the drivers of a system of its own: no state, no listener, no printer.
pappl_system_t* driversSystem() {
    pappl_system_t* system =
        papplSystemCreate(PAPPL_SOPTIONS_NONE, "Tarvik T58", 0, nullptr, nullptr, "/dev/null",
                          PAPPL_LOGLEVEL_FATAL, nullptr, false);
    if (system != nullptr) {
        papplSystemSetPrinterDrivers(system, 2, kDrivers, autoaddDriver, nullptr, driverSetup,
                                     system);
    }
    return system;
}

// The server clients reach: the front owns the public port, PAPPL listens on a socket of
// its own beside the state. A private server (started by a sub-command to ask it) has
// neither, adds no printer and logs only what is fatal unless told otherwise.
bool addListeners(pappl_system_t* system, bool privateServer, const std::string& upstream) {
    if (privateServer) {
        return true;
    }
    return papplSystemAddListeners(system, upstream.c_str()) && gFront.start();
}

pappl_system_t* createSystem(int num_options, cups_option_t* options, void*) {
    if (gSubcommand == "drivers") {
        return driversSystem();
    }
    // Before any thread starts, so that the stop signal reaches only the app's own watcher.
    Service::get().blockStopSignals();
    const bool privateServer = cupsGetOption("private-server", num_options, options) != nullptr;
    const char* portText = cupsGetOption("server-port", num_options, options);
    int port = portText ? std::atoi(portText) : 0;
    if (port < 0 || port > 65535) {
        std::fprintf(stderr, "tarvik-printer-app: Bad server-port value.\n");
        return nullptr;
    }
    const char* spool = cupsGetOption("spool-directory", num_options, options);
    if (spool != nullptr && access(spool, F_OK) != 0 && mkdir(spool, 0700) != 0) {
        std::perror(spool);
        return nullptr;
    }
    gStateFile = stateFile(num_options, options);
    const std::string upstream = gStateFile + ".sock";
    const char* listen = cupsGetOption("listen-hostname", num_options, options);
    const pappl_soptions_t soptions =
        serverOptions(cupsGetOption("server-options", num_options, options));
    if (!privateServer) {
        FrontConfig front;
        // Out of the box only this host may print or change settings.
        front.listen = listen ? listen : "localhost";
        front.port = port;
        front.upstream = upstream;
        front.remoteAdmin = (soptions & PAPPL_SOPTIONS_WEB_REMOTE) != 0;
        if (!gFront.listen(front)) {
            std::fprintf(stderr, "tarvik-printer-app: Cannot listen on port %d.\n", port);
            return nullptr;
        }
        port = gFront.port();
    }
    const char* logFile = cupsGetOption("log-file", num_options, options);
    const char* name = cupsGetOption("system-name", num_options, options);
    const char* levelText = cupsGetOption("log-level", num_options, options);
    const pappl_loglevel_t level =
        privateServer && levelText == nullptr ? PAPPL_LOGLEVEL_FATAL : logLevel(levelText);
    // The front speaks plain HTTP: PAPPL must not offer ipps that only it could answer.
    pappl_system_t* system =
        papplSystemCreate(soptions | PAPPL_SOPTIONS_NO_TLS, name ? name : "Tarvik T58", port,
                          "_print,_universal", spool, logFile ? logFile : "-", level,
                          cupsGetOption("auth-service", num_options, options), false);
    if (system == nullptr) {
        return nullptr;
    }
    const char* host = cupsGetOption("server-hostname", num_options, options);
    papplSystemSetHostName(system, host ? host : (listen ? nullptr : "localhost"));
    if (const char* group = cupsGetOption("admin-group", num_options, options)) {
        papplSystemSetAdminGroup(system, group);
    }
    papplSystemSetPrinterDrivers(system, 2, kDrivers, autoaddDriver, printerCreated, driverSetup,
                                 system);
    papplSystemSetFooterHTML(system, kFooter);
    registerImageFilters(system);
    if (const char* seconds = cupsGetOption("pdf-render-seconds", num_options, options)) {
        gPdfLimits.seconds = std::clamp(std::atoi(seconds), 1, 3600);
    }
    registerPdfFilter(system, &gPdfLimits);
    papplSystemAddMIMEFilter(system, kSpooledRaster, "application/octet-stream", printSpooledRaster,
                             nullptr);
    papplSystemAddMIMEFilter(system, kTestPage, "application/octet-stream", printTestPage, nullptr);
    papplSystemSetSaveCallback(system, saveState, nullptr);
    Service::get().setDriverNamer(driverNameOf);
    requeueStoppedJobs(gStateFile);
    Service::get().watchStopSignals(system, gStateFile, beforeStop, system);
    papplSystemAddTimerCallback(system, 0, 0, startQueues, nullptr);
    if (!papplSystemLoadState(system, gStateFile.c_str()) && !privateServer) {
        papplSystemSetDNSSDName(system, "Tarvik T58");
    }
    if (!addListeners(system, privateServer, upstream)) {
        papplSystemDelete(system);
        return nullptr;
    }
    if (!privateServer) {
        gArrivals.start(system, gStateFile + ".added");
    }
    return system;
}

// Only the T58s of this host: PAPPL's full list browses DNS-SD, which needs a daemon.
int listDevices(const char*, int, cups_option_t*, int, char**, void*) {
    registerScheme();
    papplDeviceList(
        PAPPL_DEVTYPE_CUSTOM_LOCAL,
        [](const char* info, const char* uri, const char* id, void*) {
            std::printf("%s\n    %s\n    %s\n", uri, info, id ? id : "");
            return false;
        },
        nullptr, papplLogDevice, nullptr);
    return 0;
}

} // namespace

} // namespace tarvik_app

int main(int argc, char* argv[]) {
    // Nothing the app writes (state, spool, logs) is for other users.
    umask(077);
    // The app's own PDF renderer, run by a PDF job: no server, no PAPPL.
    if (argc > 1 && std::strcmp(argv[1], tarvik_app::kPdfRenderCommand) == 0) {
        return tarvik_app::runPdfRenderer(argc, argv);
    }
    tarvik_app::gSubcommand = argc > 1 ? argv[1] : "";
    tarvik_app::registerScheme();
    return papplMainloop(argc, argv, tarvik_app::kVersion, tarvik_app::kFooter, 2,
                         tarvik_app::kDrivers, tarvik_app::autoaddDriver, tarvik_app::driverSetup,
                         "devices", tarvik_app::listDevices, tarvik_app::createSystem, nullptr,
                         nullptr);
}
