// The backend run with no arguments, as cups-deviced runs it to list devices, against the
// virtual T58 through the real libusb.

#include "tests/support/support.h"
#include "vt58/vt58.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

int listWith(vt58::Scenario scenario, std::string& out) {
    out.clear();
    vt58::VirtualT58 printer(std::move(scenario));
    EXPECT_TRUE(printer.ok()) << printer.setupError();
    return vt58::runCommand({tsupport::binPath("tarvik")},
                            printer.withChildEnv({{"PATH", "/usr/bin:/bin"}}), 30s, &out);
}

// The six fields of a device line as CUPS reads them: device-class, URI, then the quoted
// make-and-model, info, device-id and location; nullopt when the line is not of that form.
std::optional<std::vector<std::string>> deviceFields(const std::string& line) {
    std::vector<std::string> f;
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos)
        return std::nullopt;
    f.push_back(line.substr(0, sp1));
    f.push_back(line.substr(sp1 + 1, sp2 - sp1 - 1));
    size_t at = sp2 + 1;
    while (at < line.size()) {
        size_t close = line[at] == '"' ? line.find('"', at + 1) : std::string::npos;
        if (close == std::string::npos)
            return std::nullopt;
        f.push_back(line.substr(at + 1, close - at - 1));
        at = close + 1;
        if (at < line.size() && line[at++] != ' ')
            return std::nullopt;
    }
    if (f.size() != 6)
        return std::nullopt;
    return f;
}

TEST(Discovery, OneLinePerAttachedT58InTheFormCupsReads) {
    std::string out;
    EXPECT_EQ(listWith({}, out), 0);
    ASSERT_EQ(tsupport::countOf(out, "\n"), 1u) << out;
    auto f = deviceFields(out.substr(0, out.size() - 1));
    ASSERT_TRUE(f) << out;
    EXPECT_EQ((*f)[0], "direct");
    EXPECT_EQ((*f)[1], "tarvik://T58?serial=VT58-0001");
    EXPECT_EQ((*f)[2], "Tarvik T58");
    EXPECT_EQ((*f)[4].rfind("MFG:Tarvik;MDL:T58;", 0), 0u) << (*f)[4];
    EXPECT_NE((*f)[4].find("SN:VT58-0001;"), std::string::npos);

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
    auto f = deviceFields(out.substr(0, out.find('\n')));
    ASSERT_TRUE(f) << out;
    EXPECT_EQ((*f)[1], "tarvik://T58?serial=ABCDE");
}

} // namespace
