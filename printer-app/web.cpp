// The printer's web page of the last label: the head page the printer got, as a picture;
// the app's pages of the printer.
#include "printer-app/app.h"

#include <png.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tarvik_app {

void PrinterState::setLabel(Label label) {
    std::lock_guard<std::mutex> lock(mutex_);
    label_ = std::move(label);
}

PrinterState::Label PrinterState::label() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return label_;
}

void PrinterState::setStatus(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = std::move(text);
}

std::string PrinterState::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

std::vector<uint8_t> labelPng(const PrinterState::Label& label) {
    const int32_t width = label.rowBytes * 8;
    if (label.lines <= 0 || width <= 0 ||
        label.dots.size() < size_t(label.lines) * size_t(label.rowBytes)) {
        return {};
    }
    std::vector<uint8_t> grey(size_t(width) * size_t(label.lines));
    for (size_t i = 0; i < grey.size(); ++i) {
        const uint8_t byte = label.dots[i / 8];
        grey[i] = (byte & (0x80 >> (i % 8))) ? 0 : 255;
    }
    return encodePng(uint32_t(width), uint32_t(label.lines), PNG_FORMAT_GRAY, grey);
}

std::vector<uint8_t> encodePng(uint32_t width, uint32_t height, uint32_t format,
                               const std::vector<uint8_t>& pixels) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = format;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, nullptr)) {
        return {};
    }
    std::vector<uint8_t> png(size);
    if (!png_image_write_to_memory(&image, png.data(), &size, 0, pixels.data(), 0, nullptr)) {
        return {};
    }
    png.resize(size);
    return png;
}

namespace {

bool servePng(pappl_client_t* client, void* data) {
    try {
        PrinterState* state = printerState(printerOfPage(client, data));
        const std::vector<uint8_t> png =
            state != nullptr ? labelPng(state->label()) : std::vector<uint8_t>{};
        if (png.empty()) {
            return papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
        }
        if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "image/png", 0, png.size())) {
            return false;
        }
        return httpWrite2(papplClientGetHTTP(client), reinterpret_cast<const char*>(png.data()),
                          png.size()) == static_cast<ssize_t>(png.size());
    } catch (...) {
        return false;
    }
}

bool servePage(pappl_client_t* client, void* data) {
    try {
        pappl_printer_t* printer = printerOfPage(client, data);
        PrinterState* state = printerState(printer);
        if (state == nullptr) {
            return papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
        }
        const PrinterState::Label label = state->label();
        papplClientHTMLPrinterHeader(client, printer, "Last Label", 10, nullptr, nullptr);
        papplClientHTMLPuts(client, "<div class=\"row\"><div class=\"col-12\"><p "
                                    "id=\"tarvik-state\"><b>");
        papplClientHTMLEscape(client, stateWords(printer).c_str(), 0);
        papplClientHTMLPuts(client, "</b>. The printer last said: ");
        const std::string status = state->status();
        papplClientHTMLEscape(client, status.empty() ? "not asked yet" : status.c_str(), 0);
        papplClientHTMLPuts(client, ".</p>");
        if (label.lines > 0) {
            papplClientHTMLPrintf(client,
                                  "<p>Job %d: %d copies of %d lines, %d dots wide, as the "
                                  "print head got them.</p><img src=\"label.png?%d\" "
                                  "alt=\"Last label\" style=\"border:1px solid #888\">",
                                  label.jobId, label.copies, label.lines, label.rowBytes * 8,
                                  label.jobId);
        } else {
            papplClientHTMLPuts(client, "<p>No label printed yet.</p>");
        }
        papplClientHTMLPuts(client, "</div></div>");
        papplClientHTMLPrinterFooter(client);
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

std::string stateWords(pappl_printer_t* printer) {
    const pappl_preason_t reasons = papplPrinterGetReasons(printer);
    if (reasons & PAPPL_PREASON_OFFLINE) {
        return "Offline";
    }
    // The T58 reports that it is not ready without saying why.
    if (reasons & PAPPL_PREASON_OTHER) {
        return "Not ready: check the labels and the head";
    }
    switch (papplPrinterGetState(printer)) {
    case IPP_PSTATE_STOPPED:
        return "Paused";
    case IPP_PSTATE_PROCESSING:
        return "Printing";
    default:
        return "Ready";
    }
}

pappl_printer_t* printerOfPage(pappl_client_t* client, void* data) {
    const int id = static_cast<int>(reinterpret_cast<intptr_t>(data));
    return papplSystemFindPrinter(papplClientGetSystem(client), nullptr, id, nullptr);
}

void addWebPages(pappl_printer_t* printer) {
    pappl_system_t* system = papplPrinterGetSystem(printer);
    void* id = reinterpret_cast<void*>(static_cast<intptr_t>(papplPrinterGetID(printer)));
    char page[256];
    char png[256];
    papplPrinterGetPath(printer, "label", page, sizeof page);
    papplPrinterGetPath(printer, "label.png", png, sizeof png);
    papplSystemAddResourceCallback(system, page, "text/html", servePage, id);
    papplSystemAddResourceCallback(system, png, "image/png", servePng, id);
    papplPrinterAddLink(printer, "Last Label", page,
                        PAPPL_LOPTIONS_NAVIGATION | PAPPL_LOPTIONS_STATUS);
    addSettingsPage(printer, id);
}

} // namespace tarvik_app
