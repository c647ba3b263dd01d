#include "vt58/plugs.h"

#include <algorithm>

namespace vt58 {

PlugTimer::PlugTimer(std::vector<Step> steps, Act act)
    : steps_(std::move(steps)), act_(std::move(act)) {
    std::stable_sort(steps_.begin(), steps_.end(),
                     [](const Step& a, const Step& b) { return a.at < b.at; });
    if (!steps_.empty()) {
        thread_ = std::thread(&PlugTimer::run, this, std::chrono::steady_clock::now());
    }
}

PlugTimer::~PlugTimer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void PlugTimer::run(std::chrono::steady_clock::time_point start) {
    for (const Step& step : steps_) {
        {
            std::unique_lock lock(mutex_);
            if (wake_.wait_until(lock, start + step.at, [this] { return stopping_; })) {
                return;
            }
        }
        act_(step.device, step.plugIn);
    }
}

} // namespace vt58
