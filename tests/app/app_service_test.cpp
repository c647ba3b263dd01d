// The app as an always-on service: jobs queued and never refused, a stop and a start that
// neither lose nor double a label, a paused printer that holds every job.

#include "tests/app/app_harness.h"

#include <cups/ipp.h>
#include <gtest/gtest.h>
#include <png.h>

#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

using namespace apptest;

namespace {

constexpr const char* kLabel203 = "om_50x30-label_50x30mm";

// Every frame answered after a pause, so that a label takes a good part of a second and a
// stop lands inside a job.
vt58::Scenario slowPrinter(uint8_t headByte, int frameMs = 40) {
    vt58::Scenario s;
    s.headByte = headByte;
    s.hook = [frameMs](const vt58::FrameRecord&, vt58::Reply&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(frameMs));
    };
    return s;
}

bool waitPages(const App& app, size_t n, std::chrono::milliseconds timeout = 60s) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (app.printer.pages().size() < n && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(20ms);
    }
    return app.printer.pages().size() >= n;
}

size_t completePages(const App& app) {
    size_t n = 0;
    for (const auto& p : app.printer.pages()) {
        n += p.complete ? 1 : 0;
    }
    return n;
}

} // namespace

TEST(AppService, StopBetweenCopiesGoesOnAfterTheStartWithTheCopiesLeft) {
    App svc(slowPrinter(0));
    REQUIRE_APP(svc);
    writePwgLabel(svc.dir.file("l.pwg"), kLabel203, 203, 1, 101);
    std::string out;
    const int job = ipptoolPrint(svc.uri(), svc.dir.file("l.pwg"), "image/pwg-raster",
                                 {"integer copies 10"}, &out);
    ASSERT_GT(job, 0) << out;
    ASSERT_TRUE(waitPages(svc, 4)) << svc.server->log();
    EXPECT_TRUE(svc.server->stop(10s)) << "the stop took longer than 10 s";
    const size_t before = svc.printer.pages().size();
    EXPECT_LT(before, 10u);
    EXPECT_EQ(completePages(svc), before) << "a label was cut by the stop";
    svc.start();
    ASSERT_TRUE(svc.ready) << svc.server->log();
    EXPECT_EQ(waitJob(svc.uri(), job).state, IPP_JSTATE_COMPLETED) << svc.server->log();
    const auto pages = svc.printer.pages();
    ASSERT_EQ(pages.size(), 10u) << svc.server->log();
    for (size_t i = 0; i < pages.size(); ++i) {
        EXPECT_TRUE(pages[i].complete);
        EXPECT_EQ(pages[i].copies, 10);
        EXPECT_EQ(pages[i].copyNumber, static_cast<int>(i) + 1);
        EXPECT_EQ(pages[i].data, pages[0].data);
    }
}

TEST(AppService, JobsQueuedAtAStopPrintOnceAfterTheStart) {
    App svc(slowPrinter(1, 30));
    REQUIRE_APP(svc);
    std::vector<int> jobs;
    for (uint32_t i = 0; i < 4; ++i) {
        const std::string file = svc.dir.file("l" + std::to_string(i) + ".pwg");
        writePwgLabel(file, "om_40x30-label_40x30mm", 300, 1, 200 + i);
        std::string out;
        jobs.push_back(
            ipptoolPrint(svc.uri(), file, "image/pwg-raster", {"integer copies 2"}, &out));
        ASSERT_GT(jobs.back(), 0) << out;
    }
    ASSERT_TRUE(waitPages(svc, 1)) << svc.server->log();
    EXPECT_TRUE(svc.server->stop(10s));
    EXPECT_LT(svc.printer.pages().size(), 8u);
    svc.start();
    ASSERT_TRUE(svc.ready) << svc.server->log();
    for (int job : jobs) {
        EXPECT_EQ(waitJob(svc.uri(), job).state, IPP_JSTATE_COMPLETED) << svc.server->log();
    }
    const auto pages = svc.printer.pages();
    ASSERT_EQ(pages.size(), 8u);
    for (size_t i = 0; i < pages.size(); ++i) {
        EXPECT_TRUE(pages[i].complete);
        EXPECT_EQ(pages[i].copyNumber, static_cast<int>(i % 2) + 1);
        // Each job's own label, in the order the jobs came.
        EXPECT_EQ(pages[i].data, pages[i - i % 2].data);
        if (i >= 2 && i % 2 == 0) {
            EXPECT_NE(pages[i].data, pages[i - 2].data);
        }
    }
}

namespace {

// A page whose top 4 * (index + 1) rows are black: the printed head page tells its job.
tsupport::RasterPage numberedPage(uint32_t width, uint32_t lines, uint32_t index) {
    return tsupport::makePage(width, lines,
                              [index](uint32_t, uint32_t y) { return y < 4 * (index + 1); });
}

uint32_t numberOf(const vt58::PrintedPage& page) {
    int rows = 0;
    while (rows < page.pageLines && page.data[size_t(rows) * page.rowBytes + 10] == 0xFF) {
        ++rows;
    }
    return static_cast<uint32_t>(rows / 4) - 1;
}

bool writeNumbered(const std::string& path, uint32_t index, int dpi, uint32_t width) {
    cups_page_header2_t pwg;
    cupsRasterInitPWGHeader(&pwg, pwgMediaForPWG("om_40x30-label_40x30mm"), "black_1", dpi, dpi,
                            "one-sided", nullptr);
    tsupport::RasterWriteOptions options;
    options.mode = CUPS_RASTER_WRITE_PWG;
    options.header = [&](size_t, cups_page_header2_t& h) { h = pwg; };
    return tsupport::writeRaster(path, {numberedPage(pwg.cupsWidth, pwg.cupsHeight, index)},
                                 options) &&
           pwg.cupsWidth <= width;
}

} // namespace

TEST(AppService, ABurstOfClientsOnTwoPrintersIsAcceptedAndPrintsEachLabelOnceInOrder) {
    vt58::Scenario s = twoHeads();
    // Labels take longer than requests, so that jobs queue behind one another.
    s.hook = [](const vt58::FrameRecord&, vt58::Reply&) { std::this_thread::sleep_for(10ms); };
    App app(s, 2);
    REQUIRE_APP(app);
    constexpr uint32_t kClients = 6;
    constexpr uint32_t kEach = 3;
    const char* names[2] = {"T58-VT58-0001", "T58-VT58-0002"};
    std::vector<std::thread> clients;
    std::mutex mutex;
    std::map<std::pair<int, int>, uint32_t> sent; // (printer, job id) -> label number
    int refused = 0;
    for (uint32_t c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (uint32_t j = 0; j < kEach; ++j) {
                const uint32_t label = c * kEach + j;
                const int printer = static_cast<int>(label % 2);
                const std::string file = app.dir.file("b" + std::to_string(label) + ".pwg");
                writeNumbered(file, label, printer == 0 ? 203 : 300, printer == 0 ? 384 : 576);
                const int job = ipptoolPrint(app.uri(names[printer]), file, "image/pwg-raster", {});
                std::lock_guard<std::mutex> lock(mutex);
                if (job > 0) {
                    sent[{printer, job}] = label;
                } else {
                    ++refused;
                }
            }
        });
    }
    for (auto& t : clients) {
        t.join();
    }
    EXPECT_EQ(refused, 0);
    for (const auto& [key, label] : sent) {
        EXPECT_EQ(waitJob(app.uri(names[key.first]), key.second).state, IPP_JSTATE_COMPLETED);
    }
    // Each label once, on its own printer; each client's labels to one printer in the order
    // it sent them (jobs whose documents arrive at once have no order between them).
    std::vector<uint32_t> got[2];
    for (const auto& page : app.printer.pages()) {
        EXPECT_TRUE(page.complete);
        got[page.device].push_back(numberOf(page));
    }
    for (int p = 0; p < 2; ++p) {
        std::vector<uint32_t> want;
        for (const auto& [key, label] : sent) {
            if (key.first == p) {
                want.push_back(label);
            }
        }
        std::vector<uint32_t> sorted = got[p];
        std::sort(sorted.begin(), sorted.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(sorted, want) << app.server->log();
        for (size_t i = 1; i < got[p].size(); ++i) {
            for (size_t j = 0; j < i; ++j) {
                // Labels of one client: c * kEach + j, so the same quotient.
                if (got[p][i] / kEach == got[p][j] / kEach) {
                    EXPECT_LT(got[p][j], got[p][i]) << app.server->log();
                }
            }
        }
    }
}

TEST(AppService, APausedPrinterHoldsEveryFormatUntilItResumes) {
    App app(head(0));
    REQUIRE_APP(app);
    ASSERT_TRUE(ipptoolPrinterOp(app.uri(), "Pause-Printer"));
    writeNumbered(app.dir.file("p.pwg"), 1, 203, 384);
    std::vector<uint8_t> grey(200 * 100, 0);
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = 200;
    image.height = 100;
    image.format = PNG_FORMAT_GRAY;
    ASSERT_TRUE(
        png_image_write_to_file(&image, app.dir.file("p.png").c_str(), 0, grey.data(), 0, nullptr));
    std::string out;
    const int raster = ipptoolPrint(app.uri(), app.dir.file("p.pwg"), "image/pwg-raster", {}, &out);
    ASSERT_GT(raster, 0) << out;
    const int png = ipptoolPrint(app.uri(), app.dir.file("p.png"), "image/png", {}, &out);
    ASSERT_GT(png, 0) << out;
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(app.printer.pages().empty());
    EXPECT_EQ(printerAttr(app.uri(), "printer-state"), "stopped");
    ASSERT_TRUE(ipptoolPrinterOp(app.uri(), "Resume-Printer"));
    EXPECT_EQ(waitJob(app.uri(), raster).state, IPP_JSTATE_COMPLETED);
    EXPECT_EQ(waitJob(app.uri(), png).state, IPP_JSTATE_COMPLETED);
    EXPECT_EQ(app.printer.pages().size(), 2u);
}

TEST(AppCommands, DriversAreListedAndAnAutoPrinterIsSavedWithItsDriver) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for a private mount namespace";
    }
    tsupport::TempDir home("tarvik-cli");
    std::string listed;
    vt58::runCommand({tsupport::binPath("tarvik-printer-app"), "drivers"},
                     {{"PATH", "/usr/bin:/bin"}, {"HOME", home.path()}, {"TMPDIR", home.path()}},
                     30s, &listed);
    EXPECT_NE(listed.find("t58_203dpi \"Tarvik T58 203dpi\""), std::string::npos) << listed;
    EXPECT_NE(listed.find("t58_300dpi \"Tarvik T58 300dpi\""), std::string::npos) << listed;

    App svc(head(1));
    REQUIRE_APP(svc);
    std::string out;
    ASSERT_TRUE(ipptoolCreatePrinter(svc.server->port(), "Bench", "tarvik://T58?serial=VT58-0001",
                                     "auto", &out))
        << out;
    EXPECT_TRUE(svc.server->stop());
    EXPECT_NE(tsupport::readFile(svc.dir.file("state")).find("driver=\"t58_300dpi\" id=\"2\""),
              std::string::npos);
    svc.start();
    ASSERT_TRUE(svc.ready);
    EXPECT_NE(printerAttr(svc.server->printerUri("Bench"), "printer-make-and-model").find("300"),
              std::string::npos)
        << svc.server->log();
}
