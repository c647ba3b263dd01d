// The fault matrix: a job of two pages, two copies each (three blocks a copy on the 300 dpi
// head), with one fault at one stage of the exchange. Every case must end with the end line
// and exit status 0 in bounded time, send no frame twice but for the resends a refusal asks
// for, print only dots of the job's pages, and print exactly the copies the fault leaves.
#include "tests/hardening/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace {

using namespace hard;
using tsupport::RasterPage;
using vt58::Fault;
using vt58::Site;

constexpr int kRowBytes = 72;
constexpr int kBlockLines = 24;
constexpr int kLines = 72; // three blocks
constexpr int kBlocks = kLines / kBlockLines;

// Frames of the job without faults: per page the head query, then per copy a status
// request and three print frames. Indices count per kind over the whole job.
enum class Stage {
    BeforeFirstCopy,
    FirstBlock,
    MiddleBlock,
    LastBlock,
    BetweenCopies,
    BetweenPages
};
enum class Trouble {
    TransferError,
    Timeout,
    ShortReply,
    RefusalStorm,
    JobStop,
    Gone,
    Back,
    Sigterm
};

const char* nameOf(Stage s) {
    static const char* const names[] = {"BeforeFirstCopy", "FirstBlock",    "MiddleBlock",
                                        "LastBlock",       "BetweenCopies", "BetweenPages"};
    return names[static_cast<int>(s)];
}

const char* nameOf(Trouble t) {
    static const char* const names[] = {"TransferError", "Timeout", "ShortReply", "RefusalStorm",
                                        "JobStop",       "Gone",    "Back",       "Sigterm"};
    return names[static_cast<int>(t)];
}

bool isPrintStage(Stage s) {
    return s == Stage::FirstBlock || s == Stage::MiddleBlock || s == Stage::LastBlock;
}

// The stage's frame: its index among status requests or among print frames.
int indexOf(Stage s) {
    switch (s) {
    case Stage::BeforeFirstCopy:
        return 2; // after the head query
    case Stage::FirstBlock:
        return 1;
    case Stage::MiddleBlock:
        return 2;
    case Stage::LastBlock:
        return 3;
    case Stage::BetweenCopies:
        return 3;
    case Stage::BetweenPages:
        return 4; // the second page's head query
    }
    return 1;
}

vt58::Scenario scenarioFor(Stage stage, Trouble trouble) {
    vt58::Scenario s;
    const bool print = isPrintStage(stage);
    const Site site = print ? Site::PrintReply : Site::StatusReply;
    const vt58::Match match = print ? vt58::Match::Print : vt58::Match::Status;
    const int at = indexOf(stage);
    switch (trouble) {
    case Trouble::TransferError:
        s.fail(site, at, Fault::TransferError);
        break;
    case Trouble::Timeout:
        s.fail(site, at, Fault::Timeout);
        break;
    case Trouble::ShortReply:
        s.shortReply(site, at, 12);
        break;
    case Trouble::RefusalStorm:
        s.rules.push_back({match, at, 12, 0x40, -1});
        break;
    case Trouble::JobStop:
        s.rules.push_back({match, at, 1, 0, 0x60});
        break;
    case Trouble::Gone:
        s.vanish(site, at);
        break;
    case Trouble::Back:
        s.vanish(site, at, 3500);
        break;
    case Trouble::Sigterm:
        break;
    }
    return s;
}

// SIGTERM once the stage's frame has arrived.
bool stageReached(const vt58::VirtualT58& vt, Stage stage) {
    const vt58::Record record = vt.record();
    const auto kind = isPrintStage(stage) ? vt58::FrameKind::Print : vt58::FrameKind::Status;
    return static_cast<int>(framesOf(record, kind).size()) >= indexOf(stage);
}

enum class Copy { Absent, Partial, Complete };

struct Expected {
    Copy page1[2];
    Copy page2[2];
    bool page2AllOrNothing = false; // SIGTERM as the second page starts: either is right
};

// What each fault leaves printed. Disturbing faults on a reply to print data end the page
// (the printer has the block: on the last block the copy is whole); on the status before
// a copy they skip that copy; a refusal storm gives the block up after ten sends; job
// state 0x60 stops the page; a device gone for good leaves the rest of the job unprinted
// (it is cancelled); one that comes back loses only what was under way.
Expected expectedFor(Stage stage, Trouble trouble) {
    constexpr Copy A = Copy::Absent, P = Copy::Partial, C = Copy::Complete;
    Expected e{{C, C}, {C, C}};
    if (trouble == Trouble::Sigterm) {
        e.page2[0] = e.page2[1] = A;
        e.page2AllOrNothing = stage == Stage::BetweenPages;
        return e;
    }
    if (trouble == Trouble::Gone) {
        e.page2[0] = e.page2[1] = A;
    }
    if (stage == Stage::BetweenPages) {
        return e;
    }
    const bool storm = trouble == Trouble::RefusalStorm;
    const bool lost = trouble == Trouble::Gone || trouble == Trouble::Back;
    if (stage == Stage::BeforeFirstCopy) {
        if (trouble == Trouble::JobStop) {
            e.page1[0] = e.page1[1] = A;
        } else if (!storm) {
            e.page1[0] = A;
            e.page1[1] = lost ? A : C;
        }
    } else if (stage == Stage::BetweenCopies) {
        if (!storm) {
            e.page1[1] = A;
        }
    } else if (storm) {
        e.page1[0] = P;
    } else {
        e.page1[0] = stage == Stage::LastBlock ? C : P;
        e.page1[1] = A;
    }
    return e;
}

// Each printed copy shows only blocks of one of the job's pages, or blank where a block
// never came; returns which page (0 or 1), or -1.
int pageOf(const vt58::PrintedPage& got, const std::vector<RasterPage>& pages) {
    for (size_t p = 0; p < pages.size(); ++p) {
        bool matches = got.rowBytes == kRowBytes && got.pageLines == kLines;
        bool anyDots = false;
        for (int b = 0; matches && b < kBlocks; ++b) {
            const size_t from = static_cast<size_t>(b) * kBlockLines * kRowBytes;
            const size_t n = static_cast<size_t>(kBlockLines) * kRowBytes;
            const auto block = got.data.begin() + static_cast<long>(from);
            const bool blank =
                std::all_of(block, block + static_cast<long>(n), [](uint8_t v) { return v == 0; });
            const bool same = std::equal(block, block + static_cast<long>(n),
                                         pages[p].pixels.begin() + static_cast<long>(from));
            matches = same || blank;
            anyDots = anyDots || !blank;
        }
        if (matches && anyDots) {
            return static_cast<int>(p);
        }
    }
    return -1;
}

// A print frame equal to the one before it is a resend: the one before must have been
// refused, and no frame goes out more than ten times running. Any other frame is new.
void expectNoFrameTwice(const vt58::Record& record) {
    const auto frames = framesOf(record);
    int run = 1;
    for (size_t i = 0; i < frames.size(); ++i) {
        const bool resend = i > 0 && frames[i].bytes == frames[i - 1].bytes;
        if (resend) {
            EXPECT_TRUE(frames[i - 1].refused) << "frame " << frames[i].seq << " sent again";
            EXPECT_LE(++run, 10) << "frame " << frames[i].seq;
            continue;
        }
        run = 1;
        for (size_t j = 0; j < i; ++j) {
            EXPECT_NE(frames[j].bytes, frames[i].bytes)
                << "frame " << frames[i].seq << " repeats frame " << frames[j].seq;
        }
    }
}

Copy stateOf(const std::vector<const vt58::PrintedPage*>& copies, int copyNo) {
    Copy state = Copy::Absent;
    for (const vt58::PrintedPage* page : copies) {
        if (page->copyNumber == copyNo) {
            EXPECT_EQ(state, Copy::Absent) << "copy " << copyNo << " printed twice";
            state = page->complete && page->missingBlocks.empty() ? Copy::Complete : Copy::Partial;
        }
    }
    return state;
}

const char* text(Copy c) {
    return c == Copy::Absent ? "absent" : c == Copy::Partial ? "partial" : "complete";
}

class FaultMatrix : public ::testing::TestWithParam<std::tuple<Stage, Trouble>> {};

TEST_P(FaultMatrix, EndsCleanlyAndPrintsWhatTheFaultLeaves) {
    // Named variables rather than a structured binding: lambdas below capture them.
    const Stage stage = std::get<0>(GetParam());
    const Trouble trouble = std::get<1>(GetParam());
    const std::vector<RasterPage> pages = {labelPage(576, kLines, 1), labelPage(576, kLines, 2)};
    Job job;
    job.pages = pages;
    job.copies = "2";
    job.scenario = scenarioFor(stage, trouble);
    job.timeout = 60s;
    if (trouble == Trouble::Sigterm) {
        job.termWhen = [stage](const vt58::VirtualT58& vt) { return stageReached(vt, stage); };
    } else if (trouble == Trouble::Gone) {
        // A device gone for good keeps the backend retrying until the job is cancelled.
        auto since = std::make_shared<vt58::Clock::time_point>();
        job.termWhen = [since](const vt58::VirtualT58& vt) {
            if (!vt.vanished()) {
                return false;
            }
            if (*since == vt58::Clock::time_point{}) {
                *since = vt58::Clock::now();
            }
            return vt58::Clock::now() - *since > 1s;
        };
    }
    auto r = runJob(job);
    ASSERT_TRUE(r);
    EXPECT_LT(r->run.seconds, 30.0);
    expectNoFrameTwice(r->record);
    std::vector<const vt58::PrintedPage*> byPage[2];
    for (const vt58::PrintedPage& got : r->record.pages) {
        const int p = pageOf(got, pages);
        ASSERT_GE(p, 0) << "a printed copy holds dots of no page of the job";
        byPage[p].push_back(&got);
    }
    const Expected want = expectedFor(stage, trouble);
    for (int c = 0; c < 2; ++c) {
        EXPECT_EQ(text(stateOf(byPage[0], c + 1)), std::string(text(want.page1[c])))
            << "page 1 copy " << c + 1 << "\n"
            << vt58::summary(r->record);
        const Copy got2 = stateOf(byPage[1], c + 1);
        if (want.page2AllOrNothing) {
            EXPECT_NE(got2, Copy::Partial) << "page 2 copy " << c + 1;
        } else {
            EXPECT_EQ(text(got2), std::string(text(want.page2[c])))
                << "page 2 copy " << c + 1 << "\n"
                << vt58::summary(r->record);
        }
    }
    if (trouble != Trouble::Gone && trouble != Trouble::Sigterm) {
        EXPECT_EQ(endResult(r->run.log), 0) << "the last page's result";
    }
    if (trouble == Trouble::Sigterm || trouble == Trouble::Gone) {
        EXPECT_TRUE(r->run.sigtermSent);
        EXPECT_EQ(tsupport::countOf(r->run.log, "tarvik_backend: cancel_job\n"), 1u);
    }
}

std::string caseName(const ::testing::TestParamInfo<std::tuple<Stage, Trouble>>& info) {
    return std::string(nameOf(std::get<0>(info.param))) + "_" + nameOf(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(
    Stages, FaultMatrix,
    ::testing::Combine(::testing::Values(Stage::BeforeFirstCopy, Stage::FirstBlock,
                                         Stage::MiddleBlock, Stage::LastBlock, Stage::BetweenCopies,
                                         Stage::BetweenPages),
                       ::testing::Values(Trouble::TransferError, Trouble::Timeout,
                                         Trouble::ShortReply, Trouble::RefusalStorm,
                                         Trouble::JobStop, Trouble::Gone, Trouble::Back,
                                         Trouble::Sigterm)),
    caseName);

} // namespace
