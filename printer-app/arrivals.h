#pragma once

#include <pappl/pappl.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>

struct libusb_context;

namespace tarvik_app {

// Plug and print: every T58 on the bus, there at the start or plugged in later, becomes a
// printer named after its serial, once. The serials already added are kept in a file beside
// the state, so that a printer deleted by its user is not added again at its next plug.
// A printer pulled out or plugged in again is asked its status at once.
class Arrivals {
  public:
    Arrivals() = default;
    ~Arrivals();
    Arrivals(const Arrivals&) = delete;
    Arrivals& operator=(const Arrivals&) = delete;

    bool start(pappl_system_t* system, std::string knownFile);
    void stop();

  public:
    // From libusb's hotplug callback: a T58 came or went.
    void noteChange() { changed_ = true; }

  private:
    void run();
    void scan();
    void loadKnown();
    void saveKnown() const;

    pappl_system_t* system_ = nullptr;
    std::string knownFile_;
    std::set<std::string> known_;
    libusb_context* usb_ = nullptr;
    bool hotplug_ = false;
    std::atomic<bool> changed_{true};
    int retries_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace tarvik_app
