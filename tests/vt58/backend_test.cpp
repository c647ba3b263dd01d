// The unmodified backend against the virtual T58, run as the tests' support runs it: forked,
// in a private mount namespace whose /dev/shm is a test folder, with the emulator's
// environment added to the child's.

#include "tests/support/job.h"
#include "tests/support/support.h"
#include "vt58/vt58.h"

#include <gtest/gtest.h>

using namespace vt58;

TEST(Vt58Backend, PrintsEveryCopyOfEveryPage) {
    // Two pages of different heights on the 203 dpi head.
    tjob::PrinterJob job;
    job.scenario.headByte = 0;
    job.pages = {tsupport::randomPage(384, 100, 1), tsupport::randomPage(384, 40, 2)};
    job.copies = "2";
    const auto r = tjob::runJob(job); // no frame the printer could not read
    ASSERT_TRUE(r);
    EXPECT_EQ(r->run.exitStatus, 0);
    const Record& rec = r->record;
    ASSERT_EQ(rec.pages.size(), 4u) << summary(rec) << r->log();
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
    tjob::PrinterJob job;
    job.scenario.refusePrint(1);
    job.pages = {tsupport::randomPage(576, 30, 3)};
    const auto r = tjob::runJob(job);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->run.exitStatus, 0);
    const Record& rec = r->record;
    ASSERT_EQ(rec.pages.size(), 1u) << summary(rec);
    EXPECT_TRUE(rec.pages[0].complete);
    size_t refused = 0;
    for (const FrameRecord& f : rec.frames)
        refused += f.refused;
    EXPECT_EQ(refused, 1u);
}
