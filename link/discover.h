#pragma once

#include <string>
#include <vector>

// One T58 attached to this host, as discovery lists it.
struct T58Device {
    std::string serial;   // [A-Za-z0-9._-] only; empty when the printer reports none
    std::string portPath; // bus and ports as the kernel names them, e.g. "1-2.3"
    std::string uri;      // "tarvik://T58?serial=S", or "tarvik://T58" without a serial
    std::string deviceId; // IEEE 1284 device id, "MFG:Tarvik;MDL:T58;...;"
};

inline constexpr const char* kT58MakeModel = "Tarvik T58";

// Every T58 on the bus, in libusb's order; empty when none (or libusb cannot start).
std::vector<T58Device> listT58Devices();
