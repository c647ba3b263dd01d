#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vt58 {

// Plugs printers in and pulls them out at the times a scenario gives, from a thread of its
// own, as a person at the bus would; the times count from the start.
class PlugTimer {
  public:
    struct Step {
        std::chrono::milliseconds at;
        int device;
        bool plugIn;
    };
    using Act = std::function<void(int device, bool plugIn)>;

    PlugTimer(std::vector<Step> steps, Act act);
    // Stops before any step left (none runs after it returns).
    ~PlugTimer();
    PlugTimer(const PlugTimer&) = delete;
    PlugTimer& operator=(const PlugTimer&) = delete;

  private:
    void run(std::chrono::steady_clock::time_point start);

    std::vector<Step> steps_;
    Act act_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace vt58
