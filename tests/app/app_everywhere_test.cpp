// Debian's IPP Everywhere self-test against the app: it gets through every check but the two a
// T58 cannot honestly answer, and prints its sample rasters.

#include "tests/app/app_harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <thread>

using namespace apptest;

namespace {

constexpr const char* kSuiteDir = "/usr/share/cups/ipptool";

// The sample rasters the self-test prints at 300 dpi, for the types the T58 takes; the
// "document" ones have two pages.
void writeSamples(const std::string& dir) {
    const struct {
        const char* name;
        const char* media;
        int pages;
    } kSamples[] = {
        {"color.jpg-4x6", "na_index-4x6_4x6in", 1},   {"gray.jpg-4x6", "na_index-4x6_4x6in", 1},
        {"document-a4", "iso_a4_210x297mm", 2},       {"onepage-a4", "iso_a4_210x297mm", 1},
        {"document-letter", "na_letter_8.5x11in", 2}, {"onepage-letter", "na_letter_8.5x11in", 1},
    };
    uint32_t seed = 1;
    for (const char* type : {"black_1", "sgray_8"}) {
        std::string folder = type;
        folder[folder.find('_')] = '-';
        const std::string sub = dir + "/pwg-raster-samples-300dpi/" + folder;
        std::filesystem::create_directories(sub);
        for (const auto& s : kSamples) {
            writePwgLabel(sub + "/" + s.name + "-" + folder + "-300dpi.pwg", s.media, 300, s.pages,
                          seed++, type);
        }
    }
}

std::set<std::string> matches(const std::string& text, const std::regex& re) {
    std::set<std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
         ++it) {
        found.insert((*it)[1]);
    }
    return found;
}

} // namespace

TEST(AppEverywhere, SelfTestFailsOnlyOnIdentifyAndSupplies) {
    App app(head(1));
    REQUIRE_APP(app);
    if (!std::filesystem::exists(std::string(kSuiteDir) + "/ipp-everywhere.test")) {
        GTEST_SKIP() << "cups-ipp-utils' ipp-everywhere.test is not installed";
    }
    const std::string dir = app.dir.file("everywhere");
    std::filesystem::create_directories(dir);
    for (const char* file : {"ipp-everywhere.test", "ipp-2.0.test", "ipp-1.1.test"}) {
        std::filesystem::copy_file(std::string(kSuiteDir) + "/" + file, dir + "/" + file);
    }
    writeSamples(dir);
    // ipptool reads every file the suite names before it skips a test, even one for another
    // resolution or colour space; those stay empty.
    std::ifstream suite(dir + "/ipp-everywhere.test");
    const std::string text((std::istreambuf_iterator<char>(suite)), {});
    for (const std::string& file : matches(text, std::regex(R"(FILE (pwg-raster-samples\S+))"))) {
        std::filesystem::create_directories(std::filesystem::path(dir + "/" + file).parent_path());
        if (!std::filesystem::exists(dir + "/" + file)) {
            std::ofstream(dir + "/" + file).flush();
        }
    }
    writePwgLabel(app.dir.file("label.pwg"), "om_40x30-label_40x30mm", 300, 1, 99);
    // PAPPL counts printer-up-time from 0, which the suite refuses in a printer's first second.
    std::this_thread::sleep_for(1100ms);
    std::string out;
    vt58::runCommand({"/usr/bin/ipptool", "-I", "-V", "2.0", "-t", "-f", app.dir.file("label.pwg"),
                      app.uri(), dir + "/ipp-everywhere.test"},
                     {{"PATH", "/usr/bin:/bin"}, {"LANG", "C"}}, 600s, &out);

    const std::set<std::string> failed = matches(out, std::regex(R"(\n\s+(.*\S)\s+\[FAIL\])"));
    EXPECT_EQ(failed, std::set<std::string>{"PWG 5100.14 section 5.1/5.2 - Required Operations "
                                            "and Attributes"})
        << out;
    const std::set<std::string> expected = {"identify-actions-default",
                                            "identify-actions-supported", "printer-supply",
                                            "printer-supply-description"};
    EXPECT_EQ(matches(out, std::regex(R"(EXPECTED: ([a-z-]+))")), expected) << out;
    EXPECT_EQ(out.find("Duplicate"), std::string::npos) << out;
    const std::set<std::string> printed =
        matches(out, std::regex(R"(\n\s+(Print [^\n]*300dpi[^\n]*\S)\s+\[PASS\])"));
    EXPECT_GE(printed.size(), 12u) << out;
    EXPECT_GE(app.printer.pages().size(), 12u);
}
