// Soak: a job of 1,000 pages, and a job that fails to open the link a few dozen times
// before it prints. The backend's resident memory and open descriptors, read from /proc
// while it runs, must stay flat: nothing piles up per page or per retry.
#include "tests/hardening/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>

namespace {

using namespace hard;

// The sanitizer keeps freed memory resident (its quarantine): memory is not measured
// there, while its leak check covers what is never freed.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMeasureMemory = false;
#else
constexpr bool kMeasureMemory = true;
#endif

// What was seen while the count of pages printed (or retries failed) was in one window:
// the peak of resident memory, and the number of open descriptors seen most often. Within
// a page the link is opened and closed, so descriptors come and go; the most frequent count
// is that of the state the backend spends its time in, and a leak moves it up.
struct Window {
    int first = 0; // count at the window's start
    long rssKiB = -1;
    std::map<int, int> fdsSeen;
    int fds() const {
        auto most =
            std::max_element(fdsSeen.begin(), fdsSeen.end(),
                             [](const auto& a, const auto& b) { return a.second < b.second; });
        return most == fdsSeen.end() ? -1 : most->first;
    }
};

class Sampler {
  public:
    explicit Sampler(int every) : every_(every) {}
    void watch(pid_t pid) { pid_ = pid; }
    void progress(int count) {
        if (pid_ <= 0) {
            return;
        }
        const Usage usage = usageOf(pid_);
        if (usage.fds < 0 || usage.rssKiB < 0) {
            return; // gone already
        }
        const int first = count / every_ * every_;
        if (windows_.empty() || windows_.back().first != first) {
            windows_.push_back(Window{first, -1, {}});
        }
        Window& w = windows_.back();
        w.rssKiB = std::max(w.rssKiB, usage.rssKiB);
        ++w.fdsSeen[usage.fds];
    }
    const std::vector<Window>& windows() const { return windows_; }
    std::string table() const {
        std::string text;
        for (const Window& w : windows_) {
            char line[96];
            std::snprintf(line, sizeof line, "from %4d: rss %ld KiB, fds %d\n", w.first, w.rssKiB,
                          w.fds());
            text += line;
        }
        return text;
    }

  private:
    int every_;
    pid_t pid_ = -1;
    std::vector<Window> windows_;
};

// Flat after warming up: descriptors as in the first full window, peak memory within a
// small allowance of it. The last window may hold the job's end: it is left out.
void expectFlat(const Sampler& sampler, int warmUp, long allowanceKiB) {
    std::vector<Window> w;
    for (const Window& window : sampler.windows()) {
        if (window.first >= warmUp) {
            w.push_back(window);
        }
    }
    ASSERT_GE(w.size(), 3u) << sampler.table();
    w.pop_back();
    for (const Window& window : w) {
        EXPECT_EQ(window.fds(), w.front().fds()) << sampler.table();
        if (kMeasureMemory) {
            EXPECT_LT(window.rssKiB - w.front().rssKiB, allowanceKiB) << sampler.table();
        }
    }
    std::printf("%s", sampler.table().c_str());
}

TEST(Soak, ThousandPagesInOneJob) {
    constexpr int kPages = 1000;
    std::vector<tsupport::RasterPage> pages;
    for (int i = 0; i < kPages; ++i) {
        pages.push_back(labelPage(576, 24, static_cast<uint32_t>(i % 11)));
    }
    Sampler sampler(50);
    Job job;
    job.pages = pages;
    job.timeout = 240s;
    job.watch = [&](pid_t pid) { sampler.watch(pid); };
    job.termWhen = [&](const vt58::VirtualT58& vt) {
        sampler.progress(static_cast<int>(vt.pageCount()));
        return false;
    };
    auto r = runJob(job);
    ASSERT_TRUE(r);
    EXPECT_EQ(endResult(r->run.log), 0);
    ASSERT_EQ(r->record.pages.size(), static_cast<size_t>(kPages));
    for (int i = 0; i < kPages; ++i) {
        EXPECT_TRUE(r->record.pages[i].complete) << "page " << i + 1;
        EXPECT_TRUE(r->record.pages[i].data == pages[i].pixels) << "page " << i + 1;
    }
    expectFlat(sampler, 100, 512);
}

TEST(Soak, FailedLinkRetriesLeaveNothingBehind_Slow) {
    // The head query answers an unsupported head this many times (each after the claim,
    // so every retry opens, claims and releases), then the page prints.
    constexpr int kFailures = 24;
    const tsupport::RasterPage page = labelPage(576, 48, 3);
    Sampler sampler(4);
    std::atomic<int> failed{0};
    Job job;
    job.pages = {page};
    job.timeout = 150s;
    job.scenario.hook = [&](const vt58::FrameRecord& frame, vt58::Reply& reply) {
        if (frame.kind == vt58::FrameKind::Status && frame.kindIndex <= kFailures &&
            reply.bytes.size() > 6) {
            reply.bytes[6] = 2;
            failed = frame.kindIndex;
        }
    };
    job.watch = [&](pid_t pid) { sampler.watch(pid); };
    job.termWhen = [&](const vt58::VirtualT58&) {
        sampler.progress(failed);
        return false;
    };
    auto r = runJob(job);
    ASSERT_TRUE(r);
    EXPECT_EQ(failed, kFailures);
    EXPECT_EQ(endResult(r->run.log), 0);
    ASSERT_EQ(r->record.pages.size(), 1u);
    EXPECT_TRUE(r->record.pages[0].data == page.pixels);
    expectFlat(sampler, 4, 256);
}

} // namespace
