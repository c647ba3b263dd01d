// The test page and the web page as a user meets them: the test label framed at the edges
// the head prints, on each head; a browser that sets the label size and the darkness through
// PAPPL's forms and the cutter on the app's T58 Settings page, prints the test page and finds
// its picture; the printer's attributes, asked again, each once.

#include "tests/app/app_harness.h"

#include <cups/cups.h>
#include <cups/ipp.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>

using namespace apptest;

namespace {

constexpr const char* kTestPage = "application/vnd.tarvik-test-page";

// Dots of a label's hundredths of mm, as PAPPL makes a page of them.
int dotsOf(int hmm, int dpi) {
    return hmm * dpi / 2540;
}

// The frame: the first and the last line black across `width` dots, and the same two
// columns black on every line between.
void expectFrame(const vt58::PrintedPage& page, int width, int lines) {
    ASSERT_EQ(page.pageLines, lines);
    ASSERT_TRUE(page.complete);
    int left = 0;
    while (left < page.rowBytes * 8 && !page.dot(left, 0)) {
        ++left;
    }
    const int right = left + width - 1;
    for (int x = left; x <= right; ++x) {
        ASSERT_TRUE(page.dot(x, 0) && page.dot(x, lines - 1)) << "column " << x;
    }
    EXPECT_FALSE(page.dot(right + 1, 0));
    for (int y = 0; y < lines; ++y) {
        ASSERT_TRUE(page.dot(left, y) && page.dot(right, y)) << "line " << y;
    }
}

int printTestPage(const App& app, const char* printer, const std::string& file) {
    std::string out;
    const int job = ipptoolPrint(app.uri(printer), file, kTestPage, {}, &out);
    EXPECT_GT(job, 0) << out;
    return job;
}

// Why the browser test cannot run here, or "" when it can.
std::string browserMissing() {
    for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromedriver", "/usr/bin/python3"}) {
        if (access(path, X_OK) != 0) {
            return std::string("needs ") + path + " (Debian's chromium, chromium-driver)";
        }
    }
    if (vt58::runCommand({"/usr/bin/python3", "-c", "import selenium"}, {{"PATH", "/usr/bin"}}) !=
        0) {
        return "needs python3-selenium for /usr/bin/python3";
    }
    return "";
}

// Get-Printer-Attributes of all attributes: how often each name came.
std::map<std::string, int> attributeCounts(int port, const std::string& printerUri) {
    std::map<std::string, int> counts;
    http_t* http = httpConnect2("localhost", port, nullptr, AF_INET, HTTP_ENCRYPTION_IF_REQUESTED,
                                1, 5000, nullptr);
    if (http == nullptr) {
        return counts;
    }
    ipp_t* req = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printerUri.c_str());
    ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "all");
    ipp_t* resp = cupsDoRequest(http, req, printerUri.substr(printerUri.find("/ipp/")).c_str());
    for (ipp_attribute_t* a = ippFirstAttribute(resp); a; a = ippNextAttribute(resp)) {
        if (ippGetGroupTag(a) == IPP_TAG_PRINTER && ippGetName(a) != nullptr) {
            ++counts[ippGetName(a)];
        }
    }
    ippDelete(resp);
    httpClose(http);
    return counts;
}

} // namespace

// No name twice, printer-strings-languages-supported above all: PAPPL 1.3.1 adds it to the
// printer again on every such request once a strings file with a language is registered.
TEST(AppWeb, PrinterAttributesComeOnceEachTimeAsked) {
    App app(head(0));
    REQUIRE_APP(app);
    ASSERT_FALSE(attributeCounts(app.server->port(), app.uri()).empty());
    const std::map<std::string, int> counts = attributeCounts(app.server->port(), app.uri());
    ASSERT_TRUE(counts.count("tarvik-cutter-default"));
    for (const auto& [name, n] : counts) {
        EXPECT_EQ(n, 1) << name;
    }
}

TEST(AppTestPage, FramesTheLabelAtTheEdgesTheHeadPrints) {
    App app(twoHeads(), 2);
    REQUIRE_APP(app);
    const std::string doc = app.dir.file("test-page.txt");
    tsupport::writeFile(doc, "T58 test page\n");
    // The 300 dpi printer's current size is 40 x 60 mm, within its head.
    std::string out;
    ASSERT_TRUE(ipptoolSetPrinter(app.uri("T58-VT58-0002"),
                                  {"collection media-col-default { MEMBER collection media-size "
                                   "{ MEMBER integer x-dimension 4000 MEMBER integer y-dimension "
                                   "6000 } }"},
                                  &out))
        << out;
    const int first = printTestPage(app, kFirstPrinter, doc);
    ASSERT_EQ(waitJob(app.uri(), first).state, IPP_JSTATE_COMPLETED) << app.server->log();
    const int second = printTestPage(app, "T58-VT58-0002", doc);
    ASSERT_EQ(waitJob(app.uri("T58-VT58-0002"), second).state, IPP_JSTATE_COMPLETED);
    const auto pages = app.printer.pages();
    ASSERT_EQ(pages.size(), 2u);
    // The 50 x 30 mm label is wider than the 203 dpi head: the frame is at the head's edges.
    EXPECT_EQ(pages[0].rowBytes, 48);
    expectFrame(pages[0], 384, dotsOf(3000, 203));
    EXPECT_EQ(pages[1].rowBytes, 72);
    expectFrame(pages[1], dotsOf(4000, 300), dotsOf(6000, 300));
    EXPECT_TRUE(app.printer.errors().empty());
}

TEST(AppWeb, BrowserSetsSizeDarknessCutterAndPrintsTheTestPage) {
    App app(head(0));
    REQUIRE_APP(app);
    if (const std::string missing = browserMissing(); !missing.empty()) {
        GTEST_SKIP() << missing;
    }
    const std::string base =
        "http://localhost:" + std::to_string(app.server->port()) + "/" + kFirstPrinter;
    const int lines = dotsOf(6000, 203);
    tsupport::RunOptions run;
    run.exe = "/usr/bin/python3";
    run.args = {TARVIK_WEB_TEST_SCRIPT,
                "--base",
                base,
                "--media",
                "om_40x60-label_40x60mm",
                "--darkness-now",
                "25",
                "--darkness",
                "100",
                "--cutter",
                "Cutter setting 3",
                "--width",
                "384",
                "--lines",
                std::to_string(lines),
                "--job",
                "1"};
    // The pages as pictures, for the README's: TARVIK_WEB_SCREENSHOTS=<folder>.
    if (const char* shots = std::getenv("TARVIK_WEB_SCREENSHOTS")) {
        run.args.insert(run.args.end(), {"--screenshots", shots});
    }
    run.env = {{"PATH", "/usr/bin:/bin"},
               {"HOME", app.dir.path()},
               {"TMPDIR", app.dir.path()},
               {"LANG", "C.UTF-8"}};
    // Chromium's shared memory stays out of the real /dev/shm.
    run.shmDir = app.dir.file("browser-shm");
    mkdir(run.shmDir.c_str(), 0700);
    run.timeout = std::chrono::seconds(150);
    const tsupport::RunResult result = tsupport::runBackend(run);
    ASSERT_EQ(result.exitStatus, 0) << result.out << result.err << app.server->log();
    const auto pages = app.printer.pages();
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].pageLines, lines);
    EXPECT_EQ(pages[0].darkness, 0xE0 | 31);
    EXPECT_EQ(pages[0].cutter & 7, 3);
}
