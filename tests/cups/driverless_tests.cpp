// A CUPS driverless queue (lpadmin -m everywhere) on tarvik-printer-app: the private cupsd
// makes its PPD from the app's IPP attributes, turns a PDF into PWG raster and sends it with
// its ipp backend over the loopback interface; the virtual T58 tells what came out.

#include "tests/app/app_harness.h"
#include "tests/cups/harness.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <bit>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int kCompleted = 9; // IPP job-state "completed"

TEST(CupsDriverless, LpCopiesThroughAnEverywhereQueueAreExact) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for private mount namespaces";
    }
    tsupport::TempDir root("tarvik-driverless");
    chmod(root.path().c_str(), 0755);
    vt58::Scenario s;
    s.headByte = 0;
    vt58::VirtualT58 printer(s);
    ASSERT_TRUE(printer.ok()) << printer.setupError();
    fs::create_directory(root.file("app"));
    apptest::AppServer app(printer, root.file("app"));
    ASSERT_TRUE(app.waitReady(1)) << app.log();

    std::string log;
    ASSERT_TRUE(cupstest::installProject(root.file("dest"), &log)) << log;
    fs::create_directory(root.file("cups"));
    cupstest::PrivateCups cups(root.file("cups"), cupstest::installTree(root.file("dest")));
    std::string error;
    ASSERT_TRUE(cups.start(&error)) << error;
    // The private ServerBin holds only the T58 backend; an ipp:// queue needs CUPS's own.
    std::error_code ec;
    fs::create_symlink("/usr/lib/cups/backend/ipp", root.file("cups/bin/backend/ipp"), ec);
    ASSERT_FALSE(ec) << ec.message();

    const std::string uri = app.printerUri("T58-VT58-0001");
    cupstest::Proc added = cups.client({"lpadmin", "-p", "Label", "-E", "-m", "everywhere", "-v",
                                        uri, "-o", "printer-error-policy=abort-job"});
    ASSERT_EQ(added.status, 0) << added.out << added.err;

    const std::string pdf = root.file("label.pdf");
    ASSERT_TRUE(cupstest::makePdf("%!PS\n<< /PageSize [141.7 85] >> setpagedevice\n"
                                  "20 20 100 45 rectfill showpage\n",
                                  pdf, &log))
        << log;
    std::string out;
    const std::optional<int> job = cups.print({"-d", "Label", "-n", "3", pdf}, &out);
    ASSERT_TRUE(job) << out;
    EXPECT_EQ(cups.waitJob(*job, 30s), kCompleted) << app.log();
    // CUPS's job ends when the app has the document; the app's job ends when it is printed.
    for (int i = 0; i < 200 && printer.pageCount() < 3; ++i) {
        std::this_thread::sleep_for(50ms);
    }
    std::this_thread::sleep_for(1s);
    const auto pages = printer.pages();
    EXPECT_EQ(pages.size(), 3u) << app.log();
    for (const auto& p : pages) {
        EXPECT_TRUE(p.complete);
        EXPECT_EQ(p.rowBytes, 48);
        EXPECT_EQ(p.pageLines, 239) << "the queue's 50 x 30 mm label, not a Letter page";
        // The 35 x 16 mm box, not a corner of a larger page.
        size_t dots = 0;
        for (uint8_t byte : p.data) {
            dots += static_cast<size_t>(std::popcount(byte));
        }
        EXPECT_GT(dots, 30000u);
    }
    EXPECT_TRUE(printer.errors().empty());
}

} // namespace
