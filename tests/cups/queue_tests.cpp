// A real CUPS queue on the T58: the project installed with `cmake --install` into a scratch
// DESTDIR, a private cupsd using it, queues added with lpadmin, PDF labels printed with lp
// through pdftopdf and gstoraster to rastertotarvik and the backend, and the virtual T58
// telling what it printed.

#include "tests/cups/harness.h"
#include "tests/support/support.h"
#include "vt58/vt58.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>

#include <filesystem>
#include <memory>
#include <sstream>

namespace fs = std::filesystem;
using cupstest::Proc;

namespace {

constexpr int kCompleted = 9; // IPP job-state "completed"

struct Rect {
    double x, y, w, h; // mm from the label's top-left corner
};

// A PDF of one page per entry, each label w x h mm with its rectangles filled black.
std::string labelPostScript(double wMm, double hMm, const std::vector<std::vector<Rect>>& pages) {
    std::ostringstream ps;
    ps << "%!PS\n/mm { 72 mul 25.4 div } def\n<< /PageSize [" << wMm * 72 / 25.4 << " "
       << hMm * 72 / 25.4 << "] >> setpagedevice\n";
    for (const auto& page : pages) {
        for (const Rect& r : page)
            ps << r.x << " mm " << hMm - r.y - r.h << " mm " << r.w << " mm " << r.h
               << " mm rectfill\n";
        ps << "showpage\n";
    }
    return ps.str();
}

struct Box {
    int x0 = -1, y0 = -1, x1 = -1, y1 = -1; // inclusive; -1 when the page is blank
};

Box inkBox(const vt58::PrintedPage& p) {
    Box b;
    for (int y = 0; y < p.pageLines; ++y) {
        for (int x = 0; x < p.rowBytes * 8; ++x) {
            if (!p.dot(x, y))
                continue;
            if (b.x0 < 0 || x < b.x0)
                b.x0 = x;
            if (b.y0 < 0)
                b.y0 = y;
            b.x1 = std::max(b.x1, x);
            b.y1 = y;
        }
    }
    return b;
}

// Rendering and rounding move an edge by a dot or two, never more.
void expectBox(const Box& got, const Box& want, const std::string& what) {
    constexpr int kSlack = 2;
    EXPECT_NEAR(got.x0, want.x0, kSlack) << what << " left edge";
    EXPECT_NEAR(got.x1, want.x1, kSlack) << what << " right edge";
    EXPECT_NEAR(got.y0, want.y0, kSlack) << what << " top edge";
    EXPECT_NEAR(got.y1, want.y1, kSlack) << what << " bottom edge";
}

class CupsQueue : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        root_ = std::make_unique<tsupport::TempDir>("tarvik-cups");
        chmod(root_->path().c_str(), 0755);
        std::string log;
        installed_ = cupstest::installProject(root_->file("dest"), &log);
        if (!installed_) {
            setupError_ = "cmake --install failed: " + log;
            return;
        }
        fs::create_directory(root_->file("cups"));
        cups_ = std::make_unique<cupstest::PrivateCups>(root_->file("cups"),
                                                        cupstest::installTree(root_->file("dest")));
        if (!cups_->start(&setupError_))
            cups_.reset();
    }
    static void TearDownTestSuite() {
        cups_.reset();
        root_.reset();
    }

    void SetUp() override {
        ASSERT_TRUE(cups_) << setupError_;
        files_ = std::make_unique<tsupport::TempDir>("tarvik-labels");
        chmod(files_->path().c_str(), 0755);
    }
    void TearDown() override {
        // Every job's raster file is gone once its backend has ended.
        for (const auto& e : fs::directory_iterator(cups_->spoolTmp()))
            ADD_FAILURE() << "left in the spool folder: " << e.path().filename();
        printer_.reset();
    }

    // A virtual T58 whose preload every backend run gets from now on.
    void attach(vt58::Scenario scenario) {
        printer_.reset();
        printer_ = std::make_unique<vt58::VirtualT58>(std::move(scenario));
        ASSERT_TRUE(printer_->ok()) << printer_->setupError();
        ASSERT_TRUE(cups_->setBackendEnv(printer_->childEnv()));
    }
    void attachHead(int dpi) {
        vt58::Scenario s;
        s.headByte = dpi == 203 ? 0 : 1;
        attach(s);
    }

    void addQueue(const std::string& name, int dpi, const std::vector<std::string>& options = {},
                  const std::string& uri = "tarvik://T58") {
        std::string ppd = dpi == 203 ? cupstest::installTree(root_->file("dest")).ppd203
                                     : cupstest::installTree(root_->file("dest")).ppd300;
        std::vector<std::string> argv = {
            "lpadmin", "-p", name, "-E", "-v",
            uri,       "-P", ppd,  "-o", "printer-error-policy=abort-job"};
        for (const std::string& o : options) {
            argv.push_back("-o");
            argv.push_back(o);
        }
        Proc p = cups_->client(argv);
        ASSERT_EQ(p.status, 0) << p.out << p.err;
    }

    std::string pdf(const std::string& name, double wMm, double hMm,
                    const std::vector<std::vector<Rect>>& pages) {
        std::string path = files_->file(name);
        std::string log;
        EXPECT_TRUE(cupstest::makePdf(labelPostScript(wMm, hMm, pages), path, &log)) << log;
        return path;
    }

    // Prints and waits for the job's end; the pages the virtual T58 printed meanwhile.
    std::vector<vt58::PrintedPage> printAndWait(const std::vector<std::string>& lpArgs) {
        size_t before = printer_->pageCount();
        std::string out;
        std::optional<int> job = cups_->print(lpArgs, &out);
        EXPECT_TRUE(job) << out;
        if (!job)
            return {};
        int state = cups_->waitJob(*job);
        EXPECT_EQ(state, kCompleted) << "job " << *job << "\n" << tailOfLog();
        std::vector<vt58::PrintedPage> pages = printer_->pages();
        pages.erase(pages.begin(), pages.begin() + static_cast<std::ptrdiff_t>(before));
        for (const vt58::PrintedPage& p : pages)
            EXPECT_TRUE(p.complete) << "copy " << p.copyNumber << " is missing blocks";
        // The backend's standard error is its log: a sanitizer build reports there.
        std::string log = backendLog();
        EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
        EXPECT_EQ(log.find("runtime error"), std::string::npos) << log;
        return pages;
    }

    std::string backendLog() const { return tsupport::readFile(cups_->shmDir() + "/t58print.log"); }
    std::string tailOfLog() const {
        std::string log = cups_->errorLog();
        return log.size() > 6000 ? log.substr(log.size() - 6000) : log;
    }

    static std::unique_ptr<tsupport::TempDir> root_;
    static std::unique_ptr<cupstest::PrivateCups> cups_;
    static bool installed_;
    static std::string setupError_;
    std::unique_ptr<tsupport::TempDir> files_;
    std::unique_ptr<vt58::VirtualT58> printer_;
};

std::unique_ptr<tsupport::TempDir> CupsQueue::root_;
std::unique_ptr<cupstest::PrivateCups> CupsQueue::cups_;
bool CupsQueue::installed_ = false;
std::string CupsQueue::setupError_;

TEST_F(CupsQueue, InstallPutsEveryPieceWhereCupsLooksWithSafeModes) {
    cupstest::InstallTree t = cupstest::installTree(root_->file("dest"));
    struct stat st;
    ASSERT_EQ(stat(t.backend.c_str(), &st), 0) << t.backend;
    EXPECT_EQ(st.st_mode & 07777, 0700u) << "run as root, written by no one else";
    ASSERT_EQ(stat(t.filter.c_str(), &st), 0) << t.filter;
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_NE(tsupport::readFile(t.udevRule)
                  .find("ATTR{idVendor}==\"0525\", "
                        "ATTR{idProduct}==\"a4b6\""),
              std::string::npos);
    for (const std::string& ppd : {t.ppd203, t.ppd300}) {
        Proc p = cupstest::runProgram({"cupstestppd", "-R", t.destdir, ppd}, cupstest::baseEnv());
        EXPECT_EQ(p.status, 0) << ppd << "\n" << p.out << p.err;
        EXPECT_NE(p.out.find(": PASS"), std::string::npos) << p.out;
    }
}

TEST_F(CupsQueue, DiscoveryShowsEachAttachedT58ThroughLpinfo) {
    attach({});
    Proc one = cups_->client({"lpinfo", "-l", "-v", "--include-schemes", "tarvik"});
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_NE(one.out.find("uri = tarvik://T58?serial=VT58-0001"), std::string::npos) << one.out;
    EXPECT_NE(one.out.find("class = direct"), std::string::npos) << one.out;
    EXPECT_NE(one.out.find("make-and-model = Tarvik T58"), std::string::npos) << one.out;
    EXPECT_NE(one.out.find("device-id = MFG:Tarvik;MDL:T58;"), std::string::npos) << one.out;

    vt58::Scenario two;
    two.layout = vt58::Layout::TwoPrinters;
    attach(two);
    Proc both = cups_->client({"lpinfo", "-v", "--include-schemes", "tarvik"});
    EXPECT_EQ(tsupport::countOf(both.out, "direct tarvik://T58?serial=VT58-000"), 2u) << both.out;

    vt58::Scenario none;
    none.layout = vt58::Layout::OthersOnly;
    attach(none);
    Proc zero = cups_->client({"lpinfo", "-v", "--include-schemes", "tarvik"});
    EXPECT_EQ(zero.status, 0);
    EXPECT_EQ(zero.out.find("tarvik://"), std::string::npos) << zero.out;
}

// PPD defaults only: a 50 x 30 mm label is wider than the 48 mm head; the raster is its
// imageable area, so the printed page is the head's width with the drawing unmoved.
TEST_F(CupsQueue, DefaultsGiveAHeadWidthLabelWithTheDrawingInPlace) {
    attachHead(203);
    addQueue("Plain203", 203);
    std::string label = pdf("plain.pdf", 50, 30, {{{10, 5, 10, 10}}});
    std::vector<vt58::PrintedPage> pages = printAndWait({"-d", "Plain203", label});
    ASSERT_EQ(pages.size(), 1u);
    const vt58::PrintedPage& p = pages[0];
    EXPECT_EQ(p.rowBytes, 48);
    EXPECT_EQ(p.pageLines, 240) << "30 mm at 203 dpi";
    EXPECT_EQ(p.copies, 1);
    EXPECT_EQ(p.darkness, 0xE0 | 8) << "the PPD's default darkness";
    EXPECT_EQ(p.cutter, 0);
    // The head covers the label from 16 dots (two whole bytes) in: 10 mm is dot 80 there.
    expectBox(inkBox(p), {80 - 16, 40, 160 - 16 - 1, 120 - 1}, "50 x 30 mm label");
}

// Rotation, centring and a label template, all from the queue's defaults, on the 300 dpi
// head: the drawing lands where the turn and the centring put it, on a 5 cm label.
TEST_F(CupsQueue, RotationCentringAndTemplateFromTheQueueDefaults) {
    attachHead(300);
    addQueue("Turned300", 300, {"RotationAngle=1", "StpTemplateCM=5", "StpTemplateMM=0"});
    std::string label = pdf("turn.pdf", 40, 30, {{{5, 3, 10, 5}}});
    std::vector<vt58::PrintedPage> pages =
        printAndWait({"-d", "Turned300", "-o", "PageSize=40x30mm", label});
    ASSERT_EQ(pages.size(), 1u);
    const vt58::PrintedPage& p = pages[0];
    EXPECT_EQ(p.rowBytes, 72);
    EXPECT_EQ(p.pageLines, 590) << "a 5 cm template at 300 dpi";
    // The 472 x 354 dot raster turned counter-clockwise is 384 dots wide (354 rounded up to
    // 32) and 472 rows high; a dot (x, y) goes to column y, row 471 - x, and the 48-byte
    // rows sit 12 bytes (96 dots) in from the head's start.
    expectBox(inkBox(p), {96 + 35, 471 - 177, 96 + 94, 471 - 59}, "turned label");
}

TEST_F(CupsQueue, OffsetsFromTheQueueDefaultsMoveTheDrawing) {
    attachHead(203);
    addQueue("Shifted203", 203,
             {"HorizontalOffset=0", "HorizontalOffsetValue=5", "VerticalOffset=1",
              "VerticalOffsetValue=3"});
    std::string label = pdf("shift.pdf", 40, 30, {{{10, 10, 10, 10}}});
    std::vector<vt58::PrintedPage> pages =
        printAndWait({"-d", "Shifted203", "-o", "PageSize=40x30mm", label});
    ASSERT_EQ(pages.size(), 1u);
    const vt58::PrintedPage& p = pages[0];
    EXPECT_EQ(p.rowBytes, 48);
    EXPECT_EQ(p.pageLines, 240);
    // 40 bytes centred on 48 (4 bytes in), then 5 mm towards the row's end (5 bytes) and
    // 3 mm up (23 lines).
    expectBox(inkBox(p), {80 + 72, 80 - 23, 159 + 72, 159 - 23}, "shifted label");
}

TEST_F(CupsQueue, CopiesGiveExactlyThatManyLabels) {
    attachHead(203);
    addQueue("Copies203", 203);
    std::string label = pdf("copies.pdf", 50, 30, {{{20, 10, 5, 5}}});
    std::vector<vt58::PrintedPage> pages = printAndWait({"-d", "Copies203", "-n", "3", label});
    ASSERT_EQ(pages.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pages[i].copyNumber, i + 1);
        EXPECT_EQ(pages[i].copies, 3);
        EXPECT_EQ(pages[i].data, pages[0].data);
    }
    EXPECT_NE(backendLog().find("tarvik_backend: argv[4] =  3\n"), std::string::npos);

    // Collated copies are made before the raster reaches the backend; they must not be
    // multiplied again by the printer's own copies.
    pages = printAndWait({"-d", "Copies203", "-n", "3", "-o", "collate=true", label});
    EXPECT_EQ(pages.size(), 3u);
}

std::vector<vt58::PrintedPage> pagesOn(const std::vector<vt58::PrintedPage>& all, int device) {
    std::vector<vt58::PrintedPage> out;
    std::copy_if(all.begin(), all.end(), std::back_inserter(out),
                 [device](const vt58::PrintedPage& p) { return p.device == device; });
    return out;
}

// Two benches, a 203 dpi and a 300 dpi printer on one bus, a queue for each by its serial,
// jobs sent to both at once: each printer prints only its own queue's labels.
TEST_F(CupsQueue, TwoQueuesOnTwoPrintersEachPrintOnlyTheirOwnLabels) {
    vt58::Scenario bus;
    bus.printers.resize(2);
    bus.printers[0].serial = "BENCH-1";
    bus.printers[0].headByte = 0;
    bus.printers[1].serial = "BENCH-2";
    bus.printers[1].headByte = 1;
    attach(bus);
    addQueue("Bench1", 203, {}, "tarvik://T58?serial=BENCH-1");
    addQueue("Bench2", 300, {}, "tarvik://T58?serial=BENCH-2");
    const std::string small = pdf("small.pdf", 50, 30, {{{5, 5, 5, 5}}});
    const std::string large = pdf("large.pdf", 50, 30, {{{20, 10, 5, 5}}});
    const std::optional<int> one = cups_->print({"-d", "Bench1", "-n", "2", small});
    const std::optional<int> two = cups_->print({"-d", "Bench2", "-n", "3", large});
    ASSERT_TRUE(one && two);
    EXPECT_EQ(cups_->waitJob(*one), kCompleted) << tailOfLog();
    EXPECT_EQ(cups_->waitJob(*two), kCompleted) << tailOfLog();
    const std::vector<vt58::PrintedPage> all = printer_->pages();
    const std::vector<vt58::PrintedPage> first = pagesOn(all, 0);
    const std::vector<vt58::PrintedPage> second = pagesOn(all, 1);
    ASSERT_EQ(first.size(), 2u);
    ASSERT_EQ(second.size(), 3u);
    for (const vt58::PrintedPage& p : first) {
        EXPECT_TRUE(p.complete);
        EXPECT_EQ(p.rowBytes, 48);
        EXPECT_EQ(p.pageLines, 240) << "the default 30 mm label at 203 dpi";
    }
    for (const vt58::PrintedPage& p : second) {
        EXPECT_TRUE(p.complete);
        EXPECT_EQ(p.rowBytes, 72);
        EXPECT_EQ(p.pageLines, 354) << "the default 30 mm label at 300 dpi";
    }
}

// A queue whose printer is unplugged waits, prints on no other printer, and prints once
// its own printer is back. The URI arrives percent-encoded, as CUPS may store it.
TEST_F(CupsQueue, AQueueWhosePrinterIsUnpluggedWaitsAndPrintsNothingElsewhere) {
    vt58::Scenario bus;
    bus.printers.resize(2);
    bus.printers[0].serial = "BENCH-1";
    bus.printers[1].serial = "BENCH-2";
    bus.printers[1].unplugged = true;
    attach(bus);
    addQueue("Away", 300, {}, "tarvik://T58?serial=BENCH%2D2");
    const std::string label = pdf("away.pdf", 50, 30, {{{20, 10, 5, 5}}});
    const std::optional<int> job = cups_->print({"-d", "Away", label});
    ASSERT_TRUE(job);
    EXPECT_EQ(cups_->waitJob(*job, std::chrono::seconds(5)), 0) << "the job waits for its printer";
    EXPECT_EQ(printer_->pageCount(), 0u) << "nothing printed on the other printer";
    ASSERT_TRUE(printer_->replug(1));
    EXPECT_EQ(cups_->waitJob(*job), kCompleted) << tailOfLog();
    const std::vector<vt58::PrintedPage> all = printer_->pages();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].device, 1);
    EXPECT_TRUE(all[0].complete);
}

TEST_F(CupsQueue, AThreePageDocumentGivesThreeLabelsInOrder) {
    attachHead(300);
    addQueue("Pages300", 300);
    // Page k carries a mark 10 k mm from the left.
    std::string doc =
        pdf("three.pdf", 50, 30, {{{10, 10, 4, 4}}, {{20, 10, 4, 4}}, {{30, 10, 4, 4}}});
    std::vector<vt58::PrintedPage> pages = printAndWait({"-d", "Pages300", doc});
    ASSERT_EQ(pages.size(), 3u);
    std::vector<int> lefts;
    for (const vt58::PrintedPage& p : pages)
        lefts.push_back(inkBox(p).x0);
    ASSERT_EQ(lefts.size(), 3u);
    EXPECT_LT(lefts[0], lefts[1]);
    EXPECT_LT(lefts[1], lefts[2]);
    EXPECT_NEAR(lefts[1] - lefts[0], 118, 2) << "10 mm at 300 dpi";

    // Two documents in one job: each gets its own raster file and backend run, in order.
    std::string one = pdf("one.pdf", 50, 30, {{{5, 5, 4, 4}}});
    pages = printAndWait({"-d", "Pages300", one, doc});
    ASSERT_EQ(pages.size(), 4u);
    for (size_t i = 1; i < pages.size(); ++i)
        EXPECT_LT(inkBox(pages[i - 1]).x0, inkBox(pages[i]).x0) << "label " << i + 1;
}

TEST_F(CupsQueue, ADefaultChangedWithLpadminReachesTheDarknessByte) {
    attachHead(203);
    addQueue("Dark203", 203);
    Proc p = cups_->client({"lpadmin", "-p", "Dark203", "-o", "Blackness=12"});
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_NE(tsupport::readFile(cups_->ppdOf("Dark203")).find("*DefaultBlackness: 12\n"),
              std::string::npos);
    std::string label = pdf("dark.pdf", 50, 30, {{{10, 10, 10, 10}}});
    std::vector<vt58::PrintedPage> pages = printAndWait({"-d", "Dark203", "-n", "2", label});
    ASSERT_EQ(pages.size(), 2u);
    for (const vt58::PrintedPage& page : pages)
        EXPECT_EQ(page.darkness, 0xEC);
    EXPECT_NE(backendLog().find("tarvik_getCupsParm: Blackness (Darkness):12(12)\n"),
              std::string::npos)
        << backendLog().substr(0, 2000);
}

} // namespace
