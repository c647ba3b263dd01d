#include "tests/app/app_harness.h"
#include "tests/support/job.h"

#include <cups/cups.h>
#include <cups/raster.h>
#include <png.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

namespace apptest {

namespace {

bool connects(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

// The resource part of a printer URI: "/ipp/print/NAME".
std::string resourceOf(const std::string& uri) {
    const size_t slash = uri.find('/', uri.find("//") + 2);
    return slash == std::string::npos ? "/" : uri.substr(slash);
}

int portOf(const std::string& uri) {
    const size_t colon = uri.rfind(':');
    return std::atoi(uri.c_str() + colon + 1);
}

ipp_t* request(const std::string& uri, ipp_t* req) {
    http_t* http = httpConnect2("localhost", portOf(uri), nullptr, AF_INET,
                                HTTP_ENCRYPTION_IF_REQUESTED, 1, 5000, nullptr);
    if (http == nullptr) {
        ippDelete(req);
        return nullptr;
    }
    ipp_t* resp = cupsDoRequest(http, req, resourceOf(uri).c_str());
    httpClose(http);
    return resp;
}

std::string runIpptool(const std::string& uri, const std::string& testText, const std::string& file,
                       int* status) {
    char path[] = "/tmp/apptest-XXXXXX.test";
    const int fd = mkstemps(path, 5);
    if (fd < 0) {
        *status = -1;
        return {};
    }
    (void)!write(fd, testText.data(), testText.size());
    close(fd);
    std::vector<std::string> argv = {"/usr/bin/ipptool", "-tv"};
    if (!file.empty()) {
        argv.insert(argv.end(), {"-f", file});
    }
    argv.insert(argv.end(), {uri, path});
    std::string out;
    *status = vt58::runCommand(argv, {{"PATH", "/usr/bin:/bin"}, {"LANG", "C"}}, 60s, &out);
    unlink(path);
    return out;
}

std::string operationHeader(const char* op) {
    return std::string("{\n NAME \"") + op + "\"\n OPERATION " + op +
           "\n GROUP operation-attributes-tag\n ATTR charset attributes-charset utf-8\n"
           " ATTR naturalLanguage attributes-natural-language en\n ATTR uri printer-uri $uri\n"
           " ATTR name requesting-user-name tester\n";
}

} // namespace

int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(fd);
    return port;
}

AppServer::AppServer(const vt58::VirtualT58& printer, const std::string& dir,
                     std::vector<std::string> extraArgs)
    : dir_(dir), port_(freePort()) {
    for (const char* sub : {"/run", "/shm", "/spool"}) {
        mkdir((dir + sub).c_str(), 0700);
    }
    tsupport::SpawnOptions server;
    server.argv = {tsupport::binPath("tarvik-printer-app"),
                   "server",
                   "-o",
                   "server-port=" + std::to_string(port_),
                   "-o",
                   "spool-directory=" + dir + "/spool",
                   "-o",
                   "state-file=" + dir + "/state",
                   "-o",
                   "log-file=" + dir + "/log",
                   "-o",
                   "log-level=debug"};
    server.argv.insert(server.argv.end(), extraArgs.begin(), extraArgs.end());
    // The sanitizer build's options reach the server too, so that its reports fail the test.
    server.env = printer.withChildEnv(tsupport::withSanitizerOptions(
        {{"PATH", "/usr/bin:/bin"}, {"HOME", dir}, {"TMPDIR", dir}, {"LANG", "C"}}));
    server.binds = {{dir + "/run", "/run"}, {dir + "/shm", "/dev/shm"}};
    const std::string out = dir + "/out";
    server.outFd = server.errFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_ = tsupport::spawn(server);
    close(server.outFd);
}

AppServer::~AppServer() {
    stop();
}

bool AppServer::stop(std::chrono::milliseconds wait) {
    if (pid_ <= 0) {
        return true;
    }
    kill(pid_, SIGTERM);
    int status = 0;
    const auto until = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < until) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return false;
}

std::vector<std::string> AppServer::printerNames() const {
    std::vector<std::string> names;
    if (!connects(port_)) {
        return names;
    }
    ipp_t* req = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    const std::string sys = "ipp://localhost:" + std::to_string(port_) + "/ipp/system";
    ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_URI, "system-uri", nullptr, sys.c_str());
    ipp_t* resp = request(sys, req);
    for (ipp_attribute_t* a = ippFindAttribute(resp, "printer-name", IPP_TAG_NAME); a;
         a = ippFindNextAttribute(resp, "printer-name", IPP_TAG_NAME)) {
        names.emplace_back(ippGetString(a, 0, nullptr));
    }
    ippDelete(resp);
    return names;
}

bool AppServer::deletePrinter(const std::string& name) const {
    const int id = std::atoi(printerAttr(printerUri(name), "printer-id").c_str());
    const std::string sys = "ipp://localhost:" + std::to_string(port_) + "/ipp/system";
    ipp_t* req = ippNewRequest(IPP_OP_DELETE_PRINTER);
    ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_URI, "system-uri", nullptr, sys.c_str());
    ippAddInteger(req, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "printer-id", id);
    ipp_t* resp = request(sys, req);
    const bool ok = resp != nullptr && ippGetStatusCode(resp) == IPP_STATUS_OK;
    ippDelete(resp);
    return id > 0 && ok;
}

bool AppServer::waitReady(size_t printers, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        if (printerNames().size() >= printers) {
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

std::string AppServer::printerUri(const std::string& name) const {
    return "ipp://localhost:" + std::to_string(port_) + "/ipp/print/" + name;
}

std::string AppServer::log() const {
    return tsupport::readFile(dir_ + "/log") + output();
}

std::string AppServer::papplLog() const {
    return tsupport::readFile(dir_ + "/log");
}

std::string AppServer::output() const {
    return tsupport::readFile(dir_ + "/out");
}

std::vector<tsupport::RasterPage> writePwgLabel(const std::string& path, const char* media, int dpi,
                                                int pages, uint32_t seed, const char* type) {
    cups_page_header2_t pwg;
    if (!cupsRasterInitPWGHeader(&pwg, pwgMediaForPWG(media), type, dpi, dpi, "one-sided",
                                 nullptr)) {
        return {};
    }
    pwg.cupsInteger[CUPS_RASTER_PWG_TotalPageCount] = static_cast<unsigned>(pages);
    std::vector<tsupport::RasterPage> written;
    for (int i = 0; i < pages; ++i) {
        written.push_back(tsupport::randomPage(
            pwg.cupsWidth, pwg.cupsHeight, seed + static_cast<uint32_t>(i), pwg.cupsBytesPerLine));
    }
    tsupport::RasterWriteOptions options;
    options.mode = CUPS_RASTER_WRITE_PWG;
    options.header = [&pwg](size_t, cups_page_header2_t& header) { header = pwg; };
    if (!tsupport::writeRaster(path, written, options)) {
        written.clear();
    }
    return written;
}

tsupport::RasterPage greyOf(const tsupport::RasterPage& page) {
    tsupport::RasterPage grey = page;
    grey.bytesPerLine = page.width;
    grey.pixels.assign(size_t{page.width} * page.height, 255);
    for (uint32_t y = 0; y < page.height; ++y) {
        for (uint32_t x = 0; x < page.width; ++x) {
            if (page.pixels[y * page.bytesPerLine + x / 8] & (0x80 >> (x % 8))) {
                grey.pixels[size_t{y} * page.width + x] = 0;
            }
        }
    }
    return grey;
}

std::string greyPng(const std::vector<uint8_t>& grey, uint32_t width, uint32_t height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_GRAY;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, grey.data(), 0, nullptr)) {
        return {};
    }
    std::string png(size, '\0');
    if (!png_image_write_to_memory(&image, png.data(), &size, 0, grey.data(), 0, nullptr)) {
        return {};
    }
    png.resize(size);
    return png;
}

int ipptoolPrint(const std::string& printerUri, const std::string& file, const std::string& format,
                 const std::vector<std::string>& jobAttrs, std::string* out) {
    std::string test = operationHeader("Print-Job");
    test += " ATTR mimeMediaType document-format " + format + "\n GROUP job-attributes-tag\n";
    for (const std::string& a : jobAttrs) {
        test += " ATTR " + a + "\n";
    }
    test += " FILE $filename\n STATUS successful-ok\n EXPECT job-id OF-TYPE integer\n}\n";
    int status = 0;
    const std::string text = runIpptool(printerUri, test, file, &status);
    if (out != nullptr) {
        *out = text;
    }
    const size_t at = text.find("job-id (integer) = ");
    return status == 0 && at != std::string::npos ? std::atoi(text.c_str() + at + 19) : -1;
}

bool ipptoolSetPrinter(const std::string& printerUri, const std::vector<std::string>& attrs,
                       std::string* out) {
    std::string test =
        operationHeader("Set-Printer-Attributes") + " GROUP printer-attributes-tag\n";
    for (const std::string& a : attrs) {
        test += " ATTR " + a + "\n";
    }
    test += " STATUS successful-ok\n}\n";
    int status = 0;
    const std::string text = runIpptool(printerUri, test, "", &status);
    if (out != nullptr) {
        *out = text;
    }
    return status == 0;
}

bool ipptoolPrinterOp(const std::string& printerUri, const char* op, std::string* out) {
    const std::string test = operationHeader(op) + " STATUS successful-ok\n}\n";
    int status = 0;
    const std::string text = runIpptool(printerUri, test, "", &status);
    if (out != nullptr) {
        *out = text;
    }
    return status == 0;
}

bool ipptoolCreatePrinter(int port, const std::string& name, const std::string& deviceUri,
                          const std::string& driver, std::string* out) {
    const std::string test =
        "{\n NAME \"Create-Printer\"\n OPERATION Create-Printer\n"
        " GROUP operation-attributes-tag\n ATTR charset attributes-charset utf-8\n"
        " ATTR naturalLanguage attributes-natural-language en\n ATTR uri system-uri $uri\n"
        " ATTR name requesting-user-name tester\n ATTR keyword printer-service-type print\n"
        " ATTR keyword smi55357-driver " +
        driver + "\n ATTR uri smi55357-device-uri \"" + deviceUri +
        "\"\n GROUP printer-attributes-tag\n ATTR name printer-name \"" + name +
        "\"\n STATUS successful-ok\n}\n";
    int status = 0;
    const std::string text =
        runIpptool("ipp://localhost:" + std::to_string(port) + "/ipp/system", test, "", &status);
    if (out != nullptr) {
        *out = text;
    }
    return status == 0;
}

JobEnd waitJob(const std::string& printerUri, int jobId, std::chrono::milliseconds timeout) {
    JobEnd end;
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
        ipp_t* req = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
        ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                     printerUri.c_str());
        ippAddInteger(req, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", jobId);
        ipp_t* resp = request(printerUri, req);
        const int state = ippGetInteger(ippFindAttribute(resp, "job-state", IPP_TAG_ENUM), 0);
        char text[1024] = "";
        ippAttributeString(ippFindAttribute(resp, "job-state-reasons", IPP_TAG_KEYWORD), text,
                           sizeof text);
        end.reasons = text;
        const char* msg =
            ippGetString(ippFindAttribute(resp, "job-state-message", IPP_TAG_TEXT), 0, nullptr);
        end.message = msg ? msg : "";
        ippDelete(resp);
        if (state >= IPP_JSTATE_CANCELED) {
            end.state = state;
            return end;
        }
        std::this_thread::sleep_for(50ms);
    }
    return end;
}

std::string printerAttr(const std::string& printerUri, const char* name) {
    ipp_t* req = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printerUri.c_str());
    ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, name);
    ipp_t* resp = request(printerUri, req);
    char text[4096] = "";
    ippAttributeString(ippFindAttribute(resp, name, IPP_TAG_ZERO), text, sizeof text);
    ippDelete(resp);
    return text;
}

std::vector<vt58::PrintedPage>
backendPrints(const std::vector<tsupport::RasterPage>& pages, uint8_t headByte, int copies,
              const std::vector<std::pair<std::string, std::string>>& ppd) {
    tjob::PrinterJob job;
    job.scenario.headByte = headByte;
    job.pages = pages;
    job.ppd = ppd;
    job.copies = std::to_string(copies);
    const auto r = tjob::runJob(job);
    return r ? r->record.pages : std::vector<vt58::PrintedPage>{};
}

} // namespace apptest
