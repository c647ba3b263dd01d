// Debian's IPP Everywhere self-test against the app: it gets through every check but the two a
// T58 cannot honestly answer, and prints its sample rasters.

#include "tests/app/app_harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
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

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string trimmed(const std::string& s) {
    const size_t first = s.find_first_not_of(' ');
    const size_t last = s.find_last_not_of(' ');
    return first == std::string::npos ? "" : s.substr(first, last - first + 1);
}

// The tests ipptool marked with the mark ("[FAIL]", "[PASS]").
std::set<std::string> marked(const std::string& out, const std::string& mark) {
    std::set<std::string> names;
    for (const std::string& line : linesOf(out)) {
        if (line.size() > mark.size() &&
            line.compare(line.size() - mark.size(), mark.size(), mark) == 0) {
            names.insert(trimmed(line.substr(0, line.size() - mark.size())));
        }
    }
    return names;
}

// The first word after the word in every line that has it.
std::set<std::string> wordsAfter(const std::string& text, const std::string& word) {
    std::set<std::string> found;
    for (const std::string& line : linesOf(text)) {
        const size_t at = line.find(word);
        if (at != std::string::npos) {
            std::istringstream rest(line.substr(at + word.size()));
            std::string next;
            rest >> next;
            found.insert(next);
        }
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
    for (const std::string& file : wordsAfter(text, "FILE pwg-raster-samples")) {
        const std::string path = dir + "/pwg-raster-samples" + file;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        if (!std::filesystem::exists(path)) {
            std::ofstream(path).flush();
        }
    }
    writePwgLabel(app.dir.file("label.pwg"), "om_40x30-label_40x30mm", 300, 1, 99);
    // PAPPL counts printer-up-time from 0, which the suite refuses in a printer's first second.
    std::this_thread::sleep_for(1100ms);
    std::string out;
    vt58::runCommand({"/usr/bin/ipptool", "-I", "-V", "2.0", "-t", "-f", app.dir.file("label.pwg"),
                      app.uri(), dir + "/ipp-everywhere.test"},
                     {{"PATH", "/usr/bin:/bin"}, {"LANG", "C"}}, 600s, &out);

    const std::set<std::string> failed = marked(out, "[FAIL]");
    EXPECT_EQ(failed, std::set<std::string>{"PWG 5100.14 section 5.1/5.2 - Required Operations "
                                            "and Attributes"})
        << out;
    const std::set<std::string> expected = {"identify-actions-default",
                                            "identify-actions-supported", "printer-supply",
                                            "printer-supply-description"};
    EXPECT_EQ(wordsAfter(out, "EXPECTED: "), expected) << out;
    EXPECT_EQ(out.find("Duplicate"), std::string::npos) << out;
    size_t printed = 0;
    for (const std::string& name : marked(out, "[PASS]")) {
        printed += name.rfind("Print ", 0) == 0 && name.find("300dpi") != std::string::npos;
    }
    EXPECT_GE(printed, 12u) << out;
    EXPECT_GE(app.printer.pages().size(), 12u);
}
