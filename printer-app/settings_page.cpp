// The printer's "T58 Settings" page: the cutter and the rotation defaults by name. PAPPL's
// Printing Defaults page names vendor choices only from strings files with a language, and
// PAPPL 1.3.1 adds printer-strings-languages-supported to the printer's attributes again on
// every Get-Printer-Attributes once such a file exists; so the app names them here instead.
#include "printer-app/app.h"
#include "printer-app/settings.h"

#include <array>
#include <string>

namespace tarvik_app {

namespace {

struct Setting {
    const char* name; // the vendor attribute
    const char* label;
    const char* const* choices; // the names of the values 0, 1, ...
    int count;
};

// The T58 does not say what its cutter settings do; they carry the PPD's names.
constexpr std::array<const char*, kMaxCutter + 1> kCutter = {
    "Cutter setting 0 (default)", "Cutter setting 1", "Cutter setting 2", "Cutter setting 3",
    "Cutter setting 4",           "Cutter setting 5", "Cutter setting 6", "Cutter setting 7",
};
constexpr std::array<const char*, 4> kRotation = {"None", "90° counter-clockwise", "180°",
                                                  "270° (90° clockwise)"};
constexpr std::array<Setting, 2> kSettings = {{
    {"tarvik-cutter", "Cutter", kCutter.data(), int(kCutter.size())},
    {"tarvik-rotation", "Rotation", kRotation.data(), int(kRotation.size())},
}};

// The value's keyword ("0", "1", ...) when it is one of the setting's, else "".
std::string choiceOf(const Setting& s, const char* value) {
    for (int i = 0; value != nullptr && i < s.count; ++i) {
        if (std::to_string(i) == value) {
            return value;
        }
    }
    return "";
}

std::string defaultOf(ipp_t* attrs, const Setting& s) {
    char text[64] = "";
    const std::string name = std::string(s.name) + "-default";
    ippAttributeString(ippFindAttribute(attrs, name.c_str(), IPP_TAG_ZERO), text, sizeof text);
    return text;
}

// As PAPPL's Printing Defaults form: the session key against forged posts, then the
// printer's defaults with the new vendor values.
const char* save(pappl_client_t* client, pappl_printer_t* printer) {
    cups_option_t* form = nullptr;
    const int count = papplClientGetForm(client, &form);
    const char* status = nullptr;
    int numVendor = 0;
    cups_option_t* vendor = nullptr;
    if (count == 0) {
        status = "Invalid form data.";
    } else if (!papplClientIsValidForm(client, count, form)) {
        status = "Invalid form submission.";
    }
    for (const Setting& s : kSettings) {
        const std::string value = choiceOf(s, cupsGetOption(s.name, count, form));
        if (status == nullptr && value.empty()) {
            status = "Bad printer defaults.";
        }
        numVendor = cupsAddOption(s.name, value.c_str(), numVendor, &vendor);
    }
    pappl_pr_driver_data_t data;
    if (status == nullptr) {
        const bool saved = papplPrinterGetDriverData(printer, &data) != nullptr &&
                           papplPrinterSetDriverDefaults(printer, &data, numVendor, vendor);
        status = saved ? "Changes saved." : "Bad printer defaults.";
    }
    cupsFreeOptions(numVendor, vendor);
    cupsFreeOptions(count, form);
    return status;
}

void putForm(pappl_client_t* client, pappl_printer_t* printer) {
    ipp_t* attrs = papplPrinterGetDriverAttributes(printer);
    papplClientHTMLStartForm(client, papplClientGetURI(client), false);
    papplClientHTMLPuts(client, "<table class=\"form\"><tbody>\n");
    for (const Setting& s : kSettings) {
        const std::string current = defaultOf(attrs, s);
        papplClientHTMLPrintf(client,
                              "<tr><th><label for=\"%s\">%s:</label></th><td><select "
                              "name=\"%s\" id=\"%s\">",
                              s.name, s.label, s.name, s.name);
        for (int i = 0; i < s.count; ++i) {
            const std::string value = std::to_string(i);
            // PAPPL's printf escapes the strings it puts.
            papplClientHTMLPrintf(client, "<option value=\"%s\"%s>%s</option>", value.c_str(),
                                  value == current ? " selected" : "", s.choices[i]);
        }
        papplClientHTMLPuts(client, "</select></td></tr>\n");
    }
    ippDelete(attrs);
    papplClientHTMLPuts(client,
                        "<tr><th></th><td>The cutter setting goes to the printer as it is. The "
                        "rotation turns raster jobs that ask for no orientation.</td></tr>\n"
                        "<tr><th></th><td><input type=\"submit\" value=\"Save Changes\"></td>"
                        "</tr>\n</tbody></table></form>\n");
}

bool serveSettings(pappl_client_t* client, void* data) {
    try {
        pappl_printer_t* printer = printerOfPage(client, data);
        if (printer == nullptr) {
            return papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
        }
        // Without authorization PAPPL has answered with its login page or an error.
        if (!papplClientHTMLAuthorize(client)) {
            return true;
        }
        const char* status =
            papplClientGetMethod(client) == HTTP_STATE_POST ? save(client, printer) : nullptr;
        papplClientHTMLPrinterHeader(client, printer, "T58 Settings", 0, nullptr, nullptr);
        papplClientHTMLPuts(client, "<div class=\"row\"><div class=\"col-12\">\n");
        if (status != nullptr) {
            papplClientHTMLPrintf(client, "<div class=\"banner\">%s</div>\n", status);
        }
        putForm(client, printer);
        papplClientHTMLPuts(client, "</div></div>\n");
        papplClientHTMLPrinterFooter(client);
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

void addSettingsPage(pappl_printer_t* printer, void* id) {
    char path[256];
    papplPrinterGetPath(printer, "t58-settings", path, sizeof path);
    papplSystemAddResourceCallback(papplPrinterGetSystem(printer), path, "text/html", serveSettings,
                                   id);
    papplPrinterAddLink(printer, "T58 Settings", path,
                        PAPPL_LOPTIONS_NAVIGATION | PAPPL_LOPTIONS_CONFIGURATION);
}

} // namespace tarvik_app
