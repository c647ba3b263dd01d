// The unmodified backend against the virtual T58, run as the tests' support runs it: forked,
// in a private mount namespace whose /dev/shm is a test folder, with the emulator's
// environment added to the child's.

#include "tests/support/job.h"
#include "tests/support/support.h"
#include "vt58/vt58.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace vt58;

namespace {

struct Job {
    tjob::JobFolders folders{"vt58-backend"};
    std::vector<tsupport::RasterPage> pages;

    explicit Job(std::vector<tsupport::RasterPage> p) : pages(std::move(p)) {}

    tsupport::RunResult run(const VirtualT58& printer, const std::string& copies,
                            std::function<bool()> sigtermWhen = {}) {
        tjob::JobSpec spec;
        spec.pages = pages;
        spec.copies = copies;
        spec.timeout = std::chrono::seconds(30);
        spec.sigtermWhen = std::move(sigtermWhen);
        return tjob::runJob(spec, &printer, folders).run;
    }
};

} // namespace

TEST(Vt58Backend, PrintsEveryCopyOfEveryPage) {
    // Two pages of different heights on the 203 dpi head.
    Scenario s;
    s.headByte = 0;
    VirtualT58 printer(s);
    ASSERT_TRUE(printer.ok()) << printer.setupError();
    Job job({tsupport::randomPage(384, 100, 1), tsupport::randomPage(384, 40, 2)});
    tsupport::RunResult r = job.run(printer, "2");
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitStatus, 0);
    printer.waitClosed();
    Record rec = printer.record();
    EXPECT_TRUE(rec.errors.empty()) << summary(rec);
    ASSERT_EQ(rec.pages.size(), 4u) << summary(rec) << r.log;
    for (size_t i = 0; i < rec.pages.size(); ++i) {
        EXPECT_TRUE(rec.pages[i].complete);
        EXPECT_EQ(rec.pages[i].copyNumber, static_cast<int>(i % 2) + 1);
        EXPECT_EQ(rec.pages[i].copies, 2);
        EXPECT_EQ(rec.pages[i].rowBytes, 48);
    }
    // The copies of a page are the same printed image.
    EXPECT_EQ(rec.pages[0].data, rec.pages[1].data);
    EXPECT_EQ(rec.pages[2].data, rec.pages[3].data);
    // The link is opened and closed once per page.
    size_t claims = 0, releases = 0;
    for (const UsbEvent& e : rec.events) {
        claims += e.kind == UsbEventKind::Claim;
        releases += e.kind == UsbEventKind::Release;
    }
    EXPECT_EQ(claims, 2u);
    EXPECT_EQ(releases, 2u);
}

TEST(Vt58Backend, RefusedBlockIsSentAgainAndTakenOnce) {
    Scenario s;
    s.refusePrint(1);
    VirtualT58 printer(s);
    Job job({tsupport::randomPage(576, 30, 3)});
    tsupport::RunResult r = job.run(printer, "1");
    EXPECT_EQ(r.exitStatus, 0);
    Record rec = printer.record();
    EXPECT_TRUE(rec.errors.empty()) << summary(rec);
    ASSERT_EQ(rec.pages.size(), 1u) << summary(rec);
    EXPECT_TRUE(rec.pages[0].complete);
    size_t refused = 0;
    for (const FrameRecord& f : rec.frames)
        refused += f.refused;
    EXPECT_EQ(refused, 1u);
}
