#pragma once

#include <string>

// The serial a device URI names ("tarvik://T58?serial=S", percent-encoded or not); empty
// for a URI without one, and for a malformed URI.
std::string serialOfDeviceUri(const char* uri);
