// The app as an always-on service: jobs queued and never refused, a stop and a start that
// neither lose nor double a label, a paused printer that holds every job.

#include "tests/app/app_harness.h"

#include <cups/ipp.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <memory>
#include <set>
#include <thread>

using namespace apptest;

namespace {

constexpr const char* kPrinter0 = "T58-VT58-0001";
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

struct Service {
    tsupport::TempDir dir{"tarvik-service"};
    vt58::VirtualT58 printer;
    std::unique_ptr<AppServer> server;
    bool ready = false;

    explicit Service(vt58::Scenario s) : printer(std::move(s)) { start(); }
    void start() {
        server = std::make_unique<AppServer>(printer, dir.path());
        ready = server->waitReady(1);
    }
    std::string uri() const { return server->printerUri(kPrinter0); }
    bool waitPages(size_t n, std::chrono::milliseconds timeout = 60s) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (printer.pages().size() < n && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(20ms);
        }
        return printer.pages().size() >= n;
    }
    size_t completePages() const {
        size_t n = 0;
        for (const auto& p : printer.pages()) {
            n += p.complete ? 1 : 0;
        }
        return n;
    }
};

#define REQUIRE_SERVICE(svc)                                                                       \
    if (geteuid() != 0) {                                                                          \
        GTEST_SKIP() << "needs root for a private mount namespace";                                \
    }                                                                                              \
    ASSERT_TRUE((svc).printer.ok()) << (svc).printer.setupError();                                 \
    ASSERT_TRUE((svc).ready) << (svc).server->log()

} // namespace

TEST(AppService, StopBetweenCopiesGoesOnAfterTheStartWithTheCopiesLeft) {
    Service svc(slowPrinter(0));
    REQUIRE_SERVICE(svc);
    writePwgLabel(svc.dir.file("l.pwg"), kLabel203, 203, 1, 101);
    std::string out;
    const int job =
        ipptoolPrint(svc.uri(), svc.dir.file("l.pwg"), "image/pwg-raster", {"integer copies 10"},
                     &out);
    ASSERT_GT(job, 0) << out;
    ASSERT_TRUE(svc.waitPages(4)) << svc.server->log();
    EXPECT_TRUE(svc.server->stop(10s)) << "the stop took longer than 10 s";
    const size_t before = svc.printer.pages().size();
    EXPECT_LT(before, 10u);
    EXPECT_EQ(svc.completePages(), before) << "a label was cut by the stop";
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
    Service svc(slowPrinter(1, 30));
    REQUIRE_SERVICE(svc);
    std::vector<int> jobs;
    for (uint32_t i = 0; i < 4; ++i) {
        const std::string file = svc.dir.file("l" + std::to_string(i) + ".pwg");
        writePwgLabel(file, "om_40x30-label_40x30mm", 300, 1, 200 + i);
        std::string out;
        jobs.push_back(ipptoolPrint(svc.uri(), file, "image/pwg-raster", {"integer copies 2"},
                                    &out));
        ASSERT_GT(jobs.back(), 0) << out;
    }
    ASSERT_TRUE(svc.waitPages(1)) << svc.server->log();
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
