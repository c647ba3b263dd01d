// tarvik-demo: prints a label the way a CUPS print queue does, on the virtual T58.
//
// The project is installed with `cmake --install` into a scratch folder; a private cupsd
// (never the system's) gets the installed backend, filter and PPDs; each variant below is a
// queue whose PPD defaults ask for a rotation, an offset or a label template; the label goes
// through lp, pdftopdf, Ghostscript, rastertotarvik and the tarvik backend to the virtual
// T58, and every label it printed is written as a PNG file. With the printer application
// built, the same label also goes as a 1-bit PWG raster (Ghostscript), and as the PDF itself,
// by IPP Print-Job through tarvik-printer-app to a virtual T58 of its own. zbarimg reads the
// codes on every printed label; each of the sample label's must show its Code 128 and its QR
// code.
//
// usage: tarvik-demo [--out DIR] [--copies N] [LABEL.pdf|LABEL.ps]

#ifdef TARVIK_DEMO_APP
#include "tests/app/app_harness.h"
#endif
#include "tests/cups/harness.h"
#include "tests/support/support.h"
#include "vt58/vt58.h"

#include <cups/cups.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Variant {
    const char* name;
    int dpi;
    const char* what;
    std::vector<std::string> defaults; // the queue's PPD defaults
};

const std::vector<Variant> kVariants = {
    {"plain-300dpi", 300, "PPD defaults, centred on the 576-dot head", {}},
    {"turned-300dpi",
     300,
     "turned 90 degrees counter-clockwise on a 6 cm label template",
     {"RotationAngle=1", "StpTemplateCM=6", "StpTemplateMM=0"}},
    {"shifted-203dpi",
     203,
     "moved 4 mm towards the row's end and 3 mm up, darkness 12, on the 384-dot head",
     {"HorizontalOffset=0", "HorizontalOffsetValue=4", "VerticalOffset=1", "VerticalOffsetValue=3",
      "Blackness=12"}},
};

const char* const kSampleLabel = TARVIK_SOURCE_DIR "/demo/label.ps";

struct Args {
    std::string out = "out";
    std::string label = kSampleLabel;
    bool sample = true; // the label is the sample, whose codes must scan
    int copies = 2;
};

// Printed labels of the sample on which zbarimg missed a code.
size_t unscannedLabels = 0;

bool parseArgs(int argc, char** argv, Args& a) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--out" || arg == "--copies") && i + 1 < argc) {
            std::string value = argv[++i];
            if (arg == "--out")
                a.out = value;
            else
                a.copies = std::atoi(value.c_str());
        } else if (!arg.empty() && arg[0] != '-') {
            a.label = arg;
        } else {
            return false;
        }
    }
    std::error_code ec;
    a.sample = fs::equivalent(a.label, kSampleLabel, ec);
    return a.copies >= 1 && a.copies <= 99;
}

// A PDF for lp: the label itself, or one Ghostscript makes from PostScript.
bool labelPdf(const std::string& label, const std::string& pdf) {
    std::string head = tsupport::readFile(label).substr(0, 5);
    if (head == "%PDF-") {
        std::error_code ec;
        fs::copy_file(label, pdf, fs::copy_options::overwrite_existing, ec);
        return !ec && chmod(pdf.c_str(), 0644) == 0;
    }
    std::string log;
    if (!cupstest::makePdf(tsupport::readFile(label), pdf, &log)) {
        fprintf(stderr, "tarvik-demo: Ghostscript could not read %s:\n%s", label.c_str(),
                log.c_str());
        return false;
    }
    return true;
}

struct Totals {
    size_t labels = 0, pages = 0, blocks = 0, bytes = 0, raw = 0, packed = 0;
};

Totals totalsOf(const vt58::Record& r) {
    Totals t;
    for (const vt58::PrintedPage& p : r.pages) {
        ++t.labels;
        t.pages += p.copyNumber == 1 ? 1 : 0;
        t.blocks += static_cast<size_t>(p.blocks);
        t.raw += static_cast<size_t>(p.rows) * static_cast<size_t>(p.rowBytes);
    }
    for (const vt58::FrameRecord& f : r.frames) {
        t.bytes += f.bytes.size();
        // A print-data frame is 17 bytes of envelope and block header, the compressed
        // block and a checksum.
        if (f.kind == vt58::FrameKind::Print && f.taken)
            t.packed += f.bytes.size() - 18;
    }
    return t;
}

void printTotals(const Totals& t, int copies, double seconds, const char* from) {
    printf("                %zu page(s) x %d copies = %zu labels, %zu blocks, %zu bytes sent, "
           "compressed %.1f : 1, %.2f s from %s to the last label\n",
           t.pages, copies, t.labels, t.blocks, t.bytes,
           t.packed ? static_cast<double>(t.raw) / static_cast<double>(t.packed) : 0.0, seconds,
           from);
}

// The sample's codes, as zbarimg names their types, and as the demo does.
const std::pair<std::string, std::string> kSampleCodes[] = {{"CODE-128", "Code 128"},
                                                            {"QR-Code", "QR"}};

// What zbarimg read on a printed label ("TYPE:text" lines): "Code 128 scans (text)" for each
// code, the sample's first; with the sample, "QR does NOT scan" for one of its codes missed.
std::string scanLine(const std::vector<std::string>& codes, bool sample, bool& both) {
    std::string line;
    auto add = [&line](const std::string& part) { line += (line.empty() ? "" : ", ") + part; };
    auto scans = [](const std::string& name, const std::string& code) {
        return name + " scans (" + code.substr(code.find(':') + 1) + ")";
    };
    std::vector<std::string> rest = codes;
    both = true;
    for (const auto& [type, name] : kSampleCodes) {
        auto of = [&type](const std::string& code) { return code.rfind(type + ":", 0) == 0; };
        for (const std::string& code : codes)
            if (of(code))
                add(scans(name, code));
        const bool found = std::erase_if(rest, of) > 0;
        if (!found && sample)
            add(name + " does NOT scan");
        both = both && found;
    }
    for (const std::string& code : rest)
        add(scans(code.substr(0, code.find(':')), code));
    return line.empty() ? "no code scans" : line;
}

// One line of what zbarimg reads on a printed label.
void reportScan(const std::string& png, int page, int copy, const Args& a) {
    bool both = false;
    const std::string line = scanLine(tsupport::scanBarcodes(png), a.sample, both);
    printf("                page %d copy %d: %s\n", page, copy, line.c_str());
    if (a.sample && !both)
        ++unscannedLabels;
}

bool writePngs(const vt58::Record& r, const Args& a, const Variant& v) {
    bool ok = true;
    int page = 0;
    for (const vt58::PrintedPage& p : r.pages) {
        page += p.copyNumber == 1 ? 1 : 0;
        char name[160];
        snprintf(name, sizeof name, "%s/%s-page%d-copy%d.png", a.out.c_str(), v.name, page,
                 p.copyNumber);
        std::string err;
        if (!vt58::writePng(p, name, &err)) {
            fprintf(stderr, "tarvik-demo: %s\n", err.c_str());
            ok = false;
            continue;
        }
        reportScan(name, page, p.copyNumber, a);
    }
    return ok;
}

bool runVariant(cupstest::PrivateCups& cups, const cupstest::InstallTree& tree, const Variant& v,
                const Args& a, const std::string& pdf) {
    vt58::Scenario scenario;
    scenario.headByte = v.dpi == 203 ? 0 : 1;
    vt58::VirtualT58 printer(scenario);
    if (!printer.ok() || !cups.setBackendEnv(printer.childEnv())) {
        fprintf(stderr, "tarvik-demo: virtual T58: %s\n", printer.setupError().c_str());
        return false;
    }
    std::vector<std::string> lpadmin = {"lpadmin", "-p",
                                        v.name,    "-E",
                                        "-v",      "tarvik://T58",
                                        "-P",      v.dpi == 203 ? tree.ppd203 : tree.ppd300,
                                        "-o",      "printer-error-policy=abort-job"};
    for (const std::string& d : v.defaults) {
        lpadmin.push_back("-o");
        lpadmin.push_back(d);
    }
    cupstest::Proc added = cups.client(lpadmin);
    if (added.status != 0) {
        fprintf(stderr, "tarvik-demo: lpadmin: %s%s", added.out.c_str(), added.err.c_str());
        return false;
    }
    auto start = std::chrono::steady_clock::now();
    std::string lpOut;
    std::optional<int> job =
        cups.print({"-d", v.name, "-n", std::to_string(a.copies), pdf}, &lpOut);
    int state = job ? cups.waitJob(*job) : 0;
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    vt58::Record record = printer.record();
    Totals t = totalsOf(record);
    printf("%-15s %s\n", v.name, v.what);
    if (state != IPP_JSTATE_COMPLETED) {
        printf("                the job did not complete (%s)\n", lpOut.c_str());
        return false;
    }
    printTotals(t, a.copies, seconds, "lp");
    return writePngs(record, a, v);
}

#ifdef TARVIK_DEMO_APP
// A document by IPP Print-Job (ipptool) to tarvik-printer-app on a virtual T58 of its own.
bool printThroughApp(const Variant& v, const std::string& file, const char* format, const Args& a,
                     const std::string& dir) {
    vt58::Scenario scenario;
    scenario.headByte = v.dpi == 203 ? 0 : 1;
    vt58::VirtualT58 printer(scenario);
    if (!printer.ok()) {
        fprintf(stderr, "tarvik-demo: virtual T58: %s\n", printer.setupError().c_str());
        return false;
    }
    apptest::AppServer server(printer, dir);
    if (!server.waitReady(1)) {
        fprintf(stderr, "tarvik-demo: tarvik-printer-app did not start:\n%s", server.log().c_str());
        return false;
    }
    const std::string uri = server.printerUri("T58-VT58-0001");
    const auto start = std::chrono::steady_clock::now();
    std::string out;
    const int job = apptest::ipptoolPrint(uri, file, format,
                                          {"integer copies " + std::to_string(a.copies)}, &out);
    const apptest::JobEnd end = job > 0 ? apptest::waitJob(uri, job) : apptest::JobEnd{};
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    server.stop();
    vt58::Record record = printer.record();
    Totals t = totalsOf(record);
    printf("%-15s %s\n", v.name, v.what);
    if (end.state != IPP_JSTATE_COMPLETED) {
        printf("                the job did not complete: %s\n%s", end.message.c_str(),
               out.c_str());
        return false;
    }
    printTotals(t, a.copies, seconds, "Print-Job");
    return writePngs(record, a, v);
}

// The label as Ghostscript's 1-bit PWG raster.
bool runAppVariant(const Args& a) {
    const Variant v{
        "app-ipp-203dpi", 203, "IPP Print-Job of a 1-bit PWG raster to tarvik-printer-app", {}};
    tsupport::TempDir dir("tarvik-demo-app");
    const std::string pwg = dir.file("label.pwg");
    cupstest::Proc gs = cupstest::runProgram({"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE",
                                              "-sDEVICE=pwgraster", "-dcupsColorSpace=3",
                                              "-dcupsBitsPerColor=1", "-r203", "-o", pwg, a.label},
                                             cupstest::baseEnv());
    if (gs.status != 0) {
        fprintf(stderr, "tarvik-demo: Ghostscript: %s%s", gs.out.c_str(), gs.err.c_str());
        return false;
    }
    return printThroughApp(v, pwg, "image/pwg-raster", a, dir.path());
}

// The label's PDF itself: the app renders it for the head.
bool runAppPdfVariant(const Args& a, const std::string& pdf) {
    bool ok = true;
    for (const Variant& v :
         {Variant{"app-pdf-203dpi", 203, "IPP Print-Job of the PDF to tarvik-printer-app", {}},
          Variant{"app-pdf-300dpi", 300, "the same PDF on the 576-dot head", {}}}) {
        tsupport::TempDir dir("tarvik-demo-pdf");
        ok = printThroughApp(v, pdf, "application/pdf", a, dir.path()) && ok;
    }
    return ok;
}
#endif

int run(const Args& a) {
    if (geteuid() != 0) {
        fprintf(stderr, "tarvik-demo: needs root (a private cupsd in its own mount namespace)\n");
        return 1;
    }
    tsupport::TempDir scratch("tarvik-demo");
    chmod(scratch.path().c_str(), 0755);
    std::string log;
    if (!cupstest::installProject(scratch.file("dest"), &log)) {
        fprintf(stderr, "tarvik-demo: cmake --install failed:\n%s", log.c_str());
        return 1;
    }
    std::string pdf = scratch.file("label.pdf");
    if (!labelPdf(a.label, pdf))
        return 1;
    fs::create_directories(a.out);
    fs::create_directory(scratch.file("cups"));
    cupstest::InstallTree tree = cupstest::installTree(scratch.file("dest"));
    cupstest::PrivateCups cups(scratch.file("cups"), tree);
    std::string error;
    if (!cups.start(&error)) {
        fprintf(stderr, "tarvik-demo: private cupsd: %s\n", error.c_str());
        return 1;
    }
    printf("Label %s, through a private cupsd (pdftopdf, gstoraster, rastertotarvik, tarvik)\n",
           a.label.c_str());
    bool ok = true;
    for (const Variant& v : kVariants)
        ok = runVariant(cups, tree, v, a, pdf) && ok;
    cups.stop();
#ifdef TARVIK_DEMO_APP
    printf("The same label through tarvik-printer-app (IPP Everywhere, PAPPL)\n");
    ok = runAppVariant(a) && ok;
    ok = runAppPdfVariant(a, pdf) && ok;
#endif
    printf("PNG files of every printed label are in %s/\n", a.out.c_str());
    if (unscannedLabels > 0)
        printf("%zu printed label(s) of the sample without both a Code 128 and a QR code that "
               "scan\n",
               unscannedLabels);
    return ok && unscannedLabels == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    Args a;
    if (!parseArgs(argc, argv, a)) {
        fprintf(stderr, "usage: tarvik-demo [--out DIR] [--copies N] [LABEL.pdf|LABEL.ps]\n");
        return 2;
    }
    return run(a);
}
