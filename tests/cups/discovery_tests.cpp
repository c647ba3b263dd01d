// The backend run with no arguments, as cups-deviced runs it to list devices, against the
// virtual T58 through the real libusb.

#include "tests/support/support.h"
#include "vt58/vt58.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

using namespace std::chrono_literals;

int listWith(vt58::Scenario scenario, std::string& out) {
    out.clear();
    vt58::VirtualT58 printer(std::move(scenario));
    EXPECT_TRUE(printer.ok()) << printer.setupError();
    return vt58::runCommand({tsupport::binPath("tarvik")},
                            printer.withChildEnv({{"PATH", "/usr/bin:/bin"}}), 30s, &out);
}

// device-class URI "make-and-model" "info" "device-id" "location", as CUPS reads it.
const std::regex kDeviceLine(
    "direct (tarvik://T58[^ \"]*) \"Tarvik T58\" \"([^\"]*)\" \"(MFG:Tarvik;MDL:T58;[^\"]*)\" "
    "\"([^\"]*)\"");

TEST(Discovery, OneLinePerAttachedT58InTheFormCupsReads) {
    std::string out;
    EXPECT_EQ(listWith({}, out), 0);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(out, m, std::regex("(.*)\n"))) << out;
    std::string line = m[1];
    ASSERT_TRUE(std::regex_match(line, m, kDeviceLine)) << line;
    EXPECT_EQ(m[1], "tarvik://T58?serial=VT58-0001");
    EXPECT_NE(m[3].str().find("SN:VT58-0001;"), std::string::npos);

    vt58::Scenario others;
    others.layout = vt58::Layout::OthersFirst;
    EXPECT_EQ(listWith(others, out), 0);
    EXPECT_EQ(tsupport::countOf(out, "direct tarvik://"), 1u) << out;

    vt58::Scenario none;
    none.layout = vt58::Layout::NoDevice;
    EXPECT_EQ(listWith(none, out), 0);
    EXPECT_EQ(out, "");
}

// The serial number comes from the device: it must not break the quoted fields CUPS parses.
TEST(Discovery, ASerialNumberCannotBreakTheDeviceLine) {
    vt58::Scenario s;
    s.serial = "A\"B C\\D;E";
    std::string out;
    EXPECT_EQ(listWith(s, out), 0);
    ASSERT_FALSE(out.empty());
    std::string line = out.substr(0, out.find('\n'));
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, kDeviceLine)) << line;
    EXPECT_EQ(m[1], "tarvik://T58?serial=ABCDE");
}

} // namespace
