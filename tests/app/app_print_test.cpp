// What the virtual T58 prints when jobs come through tarvik-printer-app over IPP.

#include "printer-app/settings.h"
#include "tests/app/app_harness.h"

#include <cups/ipp.h>
#include <gtest/gtest.h>

#include <thread>

using namespace apptest;

namespace {

constexpr const char* kPrinter0 = "T58-VT58-0001";
constexpr const char* kPrinter1 = "T58-VT58-0002";
constexpr const char* kRaster = "image/pwg-raster";

void expectSamePages(const std::vector<vt58::PrintedPage>& got,
                     const std::vector<vt58::PrintedPage>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_TRUE(got[i].complete);
        EXPECT_EQ(got[i].darkness, want[i].darkness);
        EXPECT_EQ(got[i].cutter, want[i].cutter);
        EXPECT_EQ(got[i].copies, want[i].copies);
        EXPECT_EQ(got[i].copyNumber, want[i].copyNumber);
        EXPECT_EQ(got[i].pageLines, want[i].pageLines);
        EXPECT_EQ(got[i].rowBytes, want[i].rowBytes);
        EXPECT_TRUE(got[i].data == want[i].data) << "page " << i << " differs";
    }
}

} // namespace

TEST(AppPrint, PwgLabelWithJobSettingsPrintsAsTheBackendPrintsIt) {
    App app(head(0));
    REQUIRE_APP(app);
    auto pages = writePwgLabel(app.dir.file("label.pwg"), "om_50x30-label_50x30mm", 203, 1, 11);
    ASSERT_EQ(pages.size(), 1u);
    std::string out;
    const int job = ipptoolPrint(
        app.uri(), app.dir.file("label.pwg"), kRaster,
        {"integer copies 2", "integer print-darkness 20", "integer tarvik-cutter 3",
         "enum orientation-requested 6",
         "collection media-col { MEMBER collection media-size { MEMBER integer x-dimension 5000 "
         "MEMBER integer y-dimension 3000 } MEMBER integer media-left-offset 300 "
         "MEMBER integer media-top-offset -200 }"},
        &out);
    ASSERT_GT(job, 0) << out;
    JobEnd end;
    const auto got = app.pagesAfter(job, &end);
    EXPECT_EQ(end.state, IPP_JSTATE_COMPLETED) << end.message << app.server->log();
    // darkness 25 % + 20 % = 45 % of 31; the 30 mm label is the 3 cm template.
    const auto want = backendPrints(pages, 0, 2,
                                    {{"Blackness", "14"},
                                     {"CutterSet", "3"},
                                     {"RotationAngle", "2"},
                                     {"HorizontalOffset", "0"},
                                     {"HorizontalOffsetValue", "3"},
                                     {"VerticalOffset", "1"},
                                     {"VerticalOffsetValue", "2"},
                                     {"StpTemplateCM", "3"},
                                     {"StpTemplateMM", "0"}});
    ASSERT_EQ(want.size(), 2u);
    EXPECT_EQ(want[0].darkness, 0xE0 | 14);
    expectSamePages(got, want);
    EXPECT_TRUE(app.printer.errors().empty());
    // The core's progress lines stay out of the service's journal.
    EXPECT_EQ(app.server->output().find("qzOffset"), std::string::npos) << app.server->output();
    EXPECT_NE(app.server->papplLog().find("qzOffset"), std::string::npos);
}

// Each core line of a job lands in PAPPL's log under the name of the printer it was about;
// none reaches the app's own standard output or error.
TEST(AppPrint, CoreLinesLandInPapplsLogUnderTheirPrinter) {
    App app(twoHeads(), 2);
    REQUIRE_APP(app);
    writePwgLabel(app.dir.file("b.pwg"), "om_58x60-label_58x60mm", 300, 1, 61);
    const int job = ipptoolPrint(app.uri(kPrinter1), app.dir.file("b.pwg"), kRaster, {});
    ASSERT_GT(job, 0);
    EXPECT_EQ(waitJob(app.uri(kPrinter1), job).state, IPP_JSTATE_COMPLETED);
    const std::string log = app.server->papplLog();
    const std::string line = "] tarvik_backend: procData end";
    EXPECT_NE(log.find(std::string("[Printer ") + kPrinter1 + line), std::string::npos) << log;
    EXPECT_EQ(log.find(std::string("[Printer ") + kPrinter0 + line), std::string::npos) << log;
    const std::string output = app.server->output();
    EXPECT_EQ(output.find("tarvik_backend"), std::string::npos) << output;
    EXPECT_EQ(output.find("t58IsFree"), std::string::npos) << output;
}

TEST(AppPrint, PrinterDefaultsReachThePrinter) {
    App app(head(1));
    REQUIRE_APP(app);
    std::string out;
    ASSERT_TRUE(ipptoolSetPrinter(
        app.uri(),
        {"integer printer-darkness-configured 100", "integer tarvik-cutter-default 5",
         "integer tarvik-rotation-default 1",
         "collection media-col-default { MEMBER collection media-size { MEMBER integer "
         "x-dimension 4000 MEMBER integer y-dimension 6000 } MEMBER integer media-left-offset "
         "-100 MEMBER integer media-top-offset 400 }"},
        &out))
        << out;
    auto pages = writePwgLabel(app.dir.file("label.pwg"), "om_40x60-label_40x60mm", 300, 1, 21);
    const int job = ipptoolPrint(app.uri(), app.dir.file("label.pwg"), kRaster, {}, &out);
    ASSERT_GT(job, 0) << out;
    const auto got = app.pagesAfter(job);
    const auto want = backendPrints(pages, 1, 1,
                                    {{"Blackness", "31"},
                                     {"CutterSet", "5"},
                                     {"RotationAngle", "1"},
                                     {"HorizontalOffset", "1"},
                                     {"HorizontalOffsetValue", "1"},
                                     {"VerticalOffset", "0"},
                                     {"VerticalOffsetValue", "4"},
                                     {"StpTemplateCM", "6"},
                                     {"StpTemplateMM", "0"}});
    ASSERT_EQ(want.size(), 1u);
    // 60 mm at 300 dpi.
    EXPECT_EQ(want[0].pageLines, 708);
    expectSamePages(got, want);
}

TEST(AppPrint, CopiesAreExact) {
    App app(head(1));
    REQUIRE_APP(app);
    writePwgLabel(app.dir.file("two.pwg"), "om_40x30-label_40x30mm", 300, 2, 31);
    std::string out;
    const int job =
        ipptoolPrint(app.uri(), app.dir.file("two.pwg"), kRaster, {"integer copies 3"}, &out);
    ASSERT_GT(job, 0) << out;
    JobEnd end;
    const auto got = app.pagesAfter(job, &end);
    EXPECT_EQ(end.state, IPP_JSTATE_COMPLETED);
    ASSERT_EQ(got.size(), 6u);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_TRUE(got[i].complete);
        EXPECT_EQ(got[i].copies, 3);
        EXPECT_EQ(got[i].copyNumber, static_cast<int>(i % 3) + 1);
    }
    EXPECT_NE(got[0].data, got[3].data);
}

TEST(AppPrint, TwoPrintersWithDifferentHeadsPrintTheirOwnJobsAtOnce) {
    vt58::Scenario s = twoHeads();
    // The first printer stays not ready for its first 25 polls (some 5 s): the other one
    // prints meanwhile, unless one printer's wait held up the other's jobs.
    s.printers[0].notReady(25);
    App app(s, 2);
    REQUIRE_APP(app);
    EXPECT_NE(printerAttr(app.uri(kPrinter0), "printer-make-and-model").find("203"),
              std::string::npos);
    EXPECT_NE(printerAttr(app.uri(kPrinter1), "printer-make-and-model").find("300"),
              std::string::npos);
    writePwgLabel(app.dir.file("a.pwg"), "om_58x60-label_58x60mm", 203, 3, 41);
    writePwgLabel(app.dir.file("b.pwg"), "om_58x60-label_58x60mm", 300, 3, 51);
    int jobA = 0;
    int jobB = 0;
    std::thread a(
        [&] { jobA = ipptoolPrint(app.uri(kPrinter0), app.dir.file("a.pwg"), kRaster, {}); });
    std::thread b(
        [&] { jobB = ipptoolPrint(app.uri(kPrinter1), app.dir.file("b.pwg"), kRaster, {}); });
    a.join();
    b.join();
    ASSERT_GT(jobA, 0);
    ASSERT_GT(jobB, 0);
    EXPECT_EQ(waitJob(app.uri(kPrinter0), jobA).state, IPP_JSTATE_COMPLETED);
    EXPECT_EQ(waitJob(app.uri(kPrinter1), jobB).state, IPP_JSTATE_COMPLETED);
    const auto pages = app.printer.pages();
    ASSERT_EQ(pages.size(), 6u);
    int perDevice[2] = {0, 0};
    for (const auto& p : pages) {
        ++perDevice[p.device];
        EXPECT_EQ(p.rowBytes, p.device == 0 ? 48 : 72);
        EXPECT_TRUE(p.complete);
    }
    EXPECT_EQ(perDevice[0], 3);
    EXPECT_EQ(perDevice[1], 3);
    // The second printer's labels were all out before the first printer got ready.
    vt58::Clock::time_point firstOfWaiting = vt58::Clock::time_point::max();
    vt58::Clock::time_point lastOfOther{};
    for (const auto& p : pages) {
        if (p.device == 0) {
            firstOfWaiting = std::min(firstOfWaiting, p.started);
        } else {
            lastOfOther = std::max(lastOfOther, p.ended);
        }
    }
    EXPECT_LT(lastOfOther, firstOfWaiting);
    EXPECT_TRUE(app.printer.errors().empty());
}

TEST(AppState, UnpluggedPrinterShowsOfflineAndItsJobPrintsOnceWhenItIsBack) {
    App app(head(1));
    REQUIRE_APP(app);
    ASSERT_TRUE(app.printer.unplug(0));
    writePwgLabel(app.dir.file("l.pwg"), "om_40x30-label_40x30mm", 300, 1, 61);
    // The job is queued at once and waits for its printer.
    std::string out;
    int job = 0;
    std::thread submit(
        [&] { job = ipptoolPrint(app.uri(), app.dir.file("l.pwg"), kRaster, {}, &out); });
    bool offline = false;
    for (int i = 0; i < 100 && !offline; ++i) {
        offline =
            printerAttr(app.uri(), "printer-state-reasons").find("offline") != std::string::npos;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(offline) << printerAttr(app.uri(), "printer-state-reasons");
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(app.printer.pages().empty());
    EXPECT_EQ(printerAttr(app.uri(), "printer-state"), "processing");
    ASSERT_TRUE(app.printer.replug(0));
    submit.join();
    ASSERT_GT(job, 0) << out;
    JobEnd end;
    const auto pages = app.pagesAfter(job, &end);
    EXPECT_EQ(end.state, IPP_JSTATE_COMPLETED) << end.message;
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_TRUE(pages[0].complete);
    EXPECT_EQ(printerAttr(app.uri(), "printer-state-reasons").find("offline"), std::string::npos);
}

TEST(AppState, PrinterPulledOutMidJobGetsTheCopiesNotYetPrintedWhenItIsBack) {
    // Pulled out inside a label (its 15th block), and between two labels (a status poll).
    for (const auto& [site, index, printed] :
         {std::tuple{vt58::Site::PrintReply, 15, 5u}, std::tuple{vt58::Site::StatusReply, 5, 4u}}) {
        SCOPED_TRACE(index);
        vt58::Scenario s = head(0);
        s.vanish(site, index, 2000);
        App app(s);
        REQUIRE_APP(app);
        writePwgLabel(app.dir.file("l.pwg"), "om_50x30-label_50x30mm", 203, 1, 65);
        const int job =
            ipptoolPrint(app.uri(), app.dir.file("l.pwg"), kRaster, {"integer copies 4"});
        ASSERT_GT(job, 0);
        JobEnd end;
        const auto pages = app.pagesAfter(job, &end);
        EXPECT_EQ(end.state, IPP_JSTATE_COMPLETED) << end.message << app.server->log();
        std::vector<int> complete;
        for (const auto& p : pages) {
            if (p.complete) {
                complete.push_back(p.copyNumber);
            }
        }
        // A label cut by the pull is printed again; none twice, none missing.
        EXPECT_EQ(complete, (std::vector<int>{1, 2, 3, 4}));
        EXPECT_EQ(pages.size(), printed);
    }
}

TEST(AppState, PrinterStopEndsTheJobCanceledAtTheDevice) {
    vt58::Scenario s = head(1);
    s.jobStop();
    App app(s);
    REQUIRE_APP(app);
    writePwgLabel(app.dir.file("l.pwg"), "om_40x30-label_40x30mm", 300, 1, 71);
    const int job = ipptoolPrint(app.uri(), app.dir.file("l.pwg"), kRaster, {"integer copies 2"});
    ASSERT_GT(job, 0);
    JobEnd end;
    const auto pages = app.pagesAfter(job, &end);
    EXPECT_EQ(end.state, IPP_JSTATE_CANCELED) << end.message;
    EXPECT_NE(end.reasons.find("job-canceled-at-device"), std::string::npos) << end.reasons;
    EXPECT_TRUE(pages.empty());
}

TEST(AppState, LinkFailureAbortsTheJobWithTheReason) {
    vt58::Scenario s = head(0);
    s.fail(vt58::Site::PrintReply, 1, vt58::Fault::TransferError, vt58::kForever);
    App app(s);
    REQUIRE_APP(app);
    writePwgLabel(app.dir.file("l.pwg"), "om_40x30-label_40x30mm", 203, 1, 81);
    const int job = ipptoolPrint(app.uri(), app.dir.file("l.pwg"), kRaster, {});
    ASSERT_GT(job, 0);
    const JobEnd end = waitJob(app.uri(), job);
    EXPECT_EQ(end.state, IPP_JSTATE_ABORTED);
    EXPECT_NE(end.message.find("link"), std::string::npos) << end.message;
}

TEST(AppInput, BadDocumentsAndValuesEndOnlyTheirJobs) {
    App app(head(1));
    REQUIRE_APP(app);
    tsupport::writeFile(app.dir.file("x.pdf"), "%PDF-1.4\n%%EOF\n");
    writePwgLabel(app.dir.file("l.pwg"), "om_40x30-label_40x30mm", 300, 1, 91);
    std::string out;
    for (const char* bad : {"integer copies 0", "integer print-darkness 1000"}) {
        EXPECT_EQ(ipptoolPrint(app.uri(), app.dir.file("l.pwg"), kRaster, {bad}, &out), -1) << bad;
        EXPECT_NE(out.find("client-error"), std::string::npos) << bad << out;
    }
    // A PDF without a page ends its job unprinted.
    const int pdf = ipptoolPrint(app.uri(), app.dir.file("x.pdf"), "application/pdf", {}, &out);
    if (pdf > 0) {
        EXPECT_EQ(waitJob(app.uri(), pdf).state, IPP_JSTATE_ABORTED);
    }
    for (int i = 0; i < 100 && printerAttr(app.uri(), "printer-state") != "idle"; ++i) {
        std::this_thread::sleep_for(50ms);
    }
    // A grey page far wider than the label (a Letter page, as a driverless queue may send)
    // prints its label and leaves the server serving.
    writePwgLabel(app.dir.file("letter.pwg"), "na_letter_8.5x11in", 300, 1, 93, "sgray_8");
    const int grey = ipptoolPrint(app.uri(), app.dir.file("letter.pwg"), kRaster, {}, &out);
    ASSERT_GT(grey, 0) << out;
    EXPECT_EQ(waitJob(app.uri(), grey).state, IPP_JSTATE_COMPLETED);
    // Vendor values out of range are held to the printer's: cutter 7, no turn.
    const int job = ipptoolPrint(app.uri(), app.dir.file("l.pwg"), kRaster,
                                 {"integer tarvik-cutter 99", "integer tarvik-rotation -5"}, &out);
    ASSERT_GT(job, 0) << out;
    EXPECT_EQ(waitJob(app.uri(), job).state, IPP_JSTATE_COMPLETED);
    const auto pages = app.printer.pages();
    ASSERT_FALSE(pages.empty());
    EXPECT_EQ(pages.back().cutter & 7, 7);
    EXPECT_TRUE(pages.back().complete);
}

TEST(AppSettings, DarknessMapsBothWaysOnThePrintersScale) {
    for (int b = 0; b < 32; ++b) {
        EXPECT_EQ(tarvik_app::darknessByte(tarvik_app::darknessPercent(uint8_t(b)), 0), b);
    }
    EXPECT_EQ(tarvik_app::darknessByte(0, -100), 0);
    EXPECT_EQ(tarvik_app::darknessByte(100, 100), 31);
    EXPECT_EQ(tarvik_app::darknessByte(-5000, 0), 0);
}
