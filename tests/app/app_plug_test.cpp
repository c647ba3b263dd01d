// Plug and print: a T58 plugged in while the server runs becomes a printer once, shows
// offline while pulled out and prints its waiting job when it is back.

#include "tests/app/app_harness.h"

#include <cups/ipp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using namespace apptest;

namespace {

bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 20s) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

} // namespace

TEST(AppPlug, APrinterPluggedInIsAddedOnceAndPrintsAfterAPull) {
    vt58::Scenario s = twoHeads();
    s.printers[1].unplugged = true;
    s.printers[1].plugInAtMs = 1500;
    App app(std::move(s), 1);
    REQUIRE_APP(app);
    const char* late = "T58-VT58-0002";
    const std::vector<std::string> both = {kFirstPrinter, late};
    ASSERT_TRUE(app.server->waitReady(2)) << app.server->log();
    EXPECT_EQ(sorted(app.server->printerNames()), both);
    EXPECT_EQ(printerAttr(app.uri(late), "printer-make-and-model"), "Tarvik T58 300dpi");

    ASSERT_TRUE(app.printer.unplug(1));
    EXPECT_TRUE(waitFor([&] {
        return printerAttr(app.uri(late), "printer-state-reasons").find("offline") !=
               std::string::npos;
    })) << app.server->log();
    writePwgLabel(app.dir.file("l.pwg"), "om_40x30-label_40x30mm", 300, 1, 7);
    std::string out;
    const int job = ipptoolPrint(app.uri(late), app.dir.file("l.pwg"), "image/pwg-raster",
                                 {"integer copies 2"}, &out);
    ASSERT_GT(job, 0) << out;
    ASSERT_TRUE(app.printer.replug(1));
    EXPECT_EQ(waitJob(app.uri(late), job).state, IPP_JSTATE_COMPLETED) << app.server->log();
    const auto pages = app.printer.pages();
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0].device, 1);
    EXPECT_EQ(pages[1].copyNumber, 2);

    // Neither the replug nor a restart adds it again; a deleted printer stays deleted.
    EXPECT_EQ(sorted(app.server->printerNames()), both);
    ASSERT_TRUE(app.server->stop());
    app.start();
    ASSERT_TRUE(app.ready) << app.server->log();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(sorted(app.server->printerNames()), both);
    ASSERT_TRUE(app.server->deletePrinter(late));
    ASSERT_TRUE(app.printer.unplug(1));
    ASSERT_TRUE(app.printer.replug(1));
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(app.server->printerNames(), std::vector<std::string>{kFirstPrinter});
}
