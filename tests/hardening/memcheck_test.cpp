// The end-to-end jobs once under valgrind's memcheck: the backend, with umockdev's preload,
// against the virtual T58. Zero errors and zero definitely lost bytes in every job.
#include "tests/hardening/harness.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <ostream>
#include <regex>

namespace {

using namespace hard;

bool haveValgrind() {
    return access("/usr/bin/valgrind", X_OK) == 0;
}

// valgrind in front of the backend, its report in the spool folder.
std::vector<std::string> memcheck(const std::string& report) {
    return {"/usr/bin/valgrind",          "--tool=memcheck",
            "--error-exitcode=99",        "--leak-check=full",
            "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite",
            "--track-origins=no",         "--log-file=" + report};
}

struct Summary {
    long errors = -1;
    long definitelyLost = 0; // bytes; no line means no leak at all
};

Summary summaryOf(const std::string& report) {
    Summary s;
    std::smatch m;
    if (std::regex_search(report, m, std::regex("ERROR SUMMARY: ([0-9,]+) errors"))) {
        s.errors = std::stol(std::regex_replace(m[1].str(), std::regex(","), ""));
    }
    if (std::regex_search(report, m, std::regex("definitely lost: ([0-9,]+) bytes"))) {
        s.definitelyLost = std::stol(std::regex_replace(m[1].str(), std::regex(","), ""));
    }
    return s;
}

struct Case {
    const char* what;
    std::function<void(Job&)> setUp;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.what;
}

class Memcheck : public ::testing::TestWithParam<Case> {};

TEST_P(Memcheck, NoErrorsNoDefiniteLeaks) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer build's programs do not run under valgrind";
#endif
    if (!haveValgrind()) {
        GTEST_SKIP() << "valgrind is not installed";
    }
    tsupport::TempDir reports("hard-memcheck");
    const std::string report = reports.file("memcheck.txt");
    Job job;
    job.timeout = 180s;
    job.wrapper = memcheck(report);
    GetParam().setUp(job);
    auto r = runJob(job);
    ASSERT_TRUE(r);
    const std::string text = tsupport::readFile(report);
    const Summary s = summaryOf(text);
    EXPECT_EQ(s.errors, 0) << text;
    EXPECT_EQ(s.definitelyLost, 0) << text;
    const size_t heap = text.find("HEAP SUMMARY:");
    std::printf("%s\n", text.substr(heap == std::string::npos ? 0 : heap).c_str());
    std::printf("%s: %ld errors, %ld bytes definitely lost, %zu copies printed\n", GetParam().what,
                s.errors, s.definitelyLost, r->record.pages.size());
}

const Case kCases[] = {
    {"PagesWithTurnsOffsetsAndTemplate",
     [](Job& job) {
         job.pages = {labelPage(576, 100, 1), labelPage(400, 300, 2), labelPage(700, 50, 3)};
         job.copies = "2";
         job.ppd = {{"RotationAngle", "1"},         {"HorizontalOffset", "1"},
                    {"HorizontalOffsetValue", "3"}, {"VerticalOffset", "0"},
                    {"VerticalOffsetValue", "2"},   {"StpTemplateCM", "4"},
                    {"StpTemplateMM", "5"},         {"Blackness", "12"}};
     }},
    {"Head203HalfTurnRefusalsAndBusy",
     [](Job& job) {
         job.pages = {labelPage(384, 80, 4), labelPage(300, 40, 5)};
         job.ppd = {{"RotationAngle", "2"}};
         job.scenario.headByte = 0;
         job.scenario.refusePrint(2, 3).busy(4, 2).notReady(2, 0x04, 8);
     }},
    {"FaultsThenJobStop",
     [](Job& job) {
         job.pages = {labelPage(576, 72, 6), labelPage(576, 72, 7)};
         job.copies = "2";
         job.scenario.fail(vt58::Site::PrintReply, 2, vt58::Fault::TransferError)
             .shortReply(vt58::Site::StatusReply, 3, 12)
             .jobStop(6, 1);
     }},
    {"HostileRowsAndRefusedPages",
     [](Job& job) {
         RawPage padded{100, 40, 20, 1, std::vector<uint8_t>(800, 0xA5)};
         RawPage huge{576, 100000, 72, 1, std::vector<uint8_t>(7200000, 0)};
         job.rasterBytes = rasterStream({padded, huge, rawOf(labelPage(576, 30, 8))}, true);
         job.ppd = {{"RotationAngle", "3"}};
     }},
    {"CancelWhileTheDeviceIsGone",
     [](Job& job) {
         job.pages = {labelPage(576, 48, 9), labelPage(576, 48, 10)};
         job.scenario.vanish(vt58::Site::PrintReply, 1);
         job.termWhen = [](const vt58::VirtualT58& vt) { return vt.vanished(); };
     }},
};

INSTANTIATE_TEST_SUITE_P(Jobs, Memcheck, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.what);
                         });

} // namespace
