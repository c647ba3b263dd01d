#pragma once

// Pieces of the virtual T58 shared by its source files; not part of the public API.

#include "vt58/vt58.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vt58::detail {

struct Endpoint {
    uint8_t address = 0;
    uint8_t attributes = 0; // low two bits: 2 bulk, 3 interrupt
    int interface = 0;
};

// One device on the emulated bus, as sysfs and the descriptors show it.
struct DeviceSpec {
    std::string sysPath; // below /sys
    uint8_t bus = 1;
    uint8_t address = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::vector<uint8_t> deviceDescriptor;
    std::vector<uint8_t> configDescriptor;
    std::vector<Endpoint> endpoints;
    std::vector<int> interfaces;
    int printerInterface = -1;
    int printer = -1; // index among the T58s, -1 for other devices
    std::string manufacturer, product, serial;
};

// The devices of a layout in the order libusb lists them (printers in index order); empty
// with a message when the scenario cannot be built.
std::vector<DeviceSpec> buildLayout(const Scenario& scenario, std::string& error);
// The umockdev description of one device (for umockdev_testbed_add_from_string); without
// the node, the device node already in place is kept.
std::string umockdevText(const DeviceSpec& spec, bool withNode = true);
std::string devnodeOf(const DeviceSpec& spec);
// Tells the udev monitors of the clients in the testbed at root that the device was added
// or removed (umockdev's own sender needs the caller under its preload).
void sendUevent(const std::string& root, const DeviceSpec& spec, const char* action,
                unsigned long long seqnum);
const Endpoint* findEndpoint(const DeviceSpec& spec, uint8_t address);

// Head geometry of the emulated printer from the head type (reply byte 6 & 7).
struct Head {
    int rowBytes = 0;
    int splitRows = 0;
};
std::optional<Head> headOf(uint8_t headByte);

uint8_t checksumOf(std::span<const uint8_t> bytes);

// The envelope checks of one received frame; problems are appended to `problems`.
FrameKind classifyFrame(std::span<const uint8_t> bytes, std::vector<std::string>& problems);

// The script's reply to a frame (before faults and the hook).
std::vector<uint8_t> scriptedReply(const PrinterSetup& s, FrameKind kind, uint8_t command,
                                   int kindIndex, int frameIndex);
std::vector<uint8_t> scriptedReply(const Scenario& s, FrameKind kind, uint8_t command,
                                   int kindIndex, int frameIndex);
// The fault rule that strikes the index-th exchange at `site`, if any.
const FaultRule* faultAt(const PrinterSetup& s, Site site, int index);
const FaultRule* faultAt(const Scenario& s, Site site, int index);

// The fields of a print-data frame's block header (frame bytes 4..16).
struct BlockHeader {
    uint8_t darkness = 0;
    uint8_t cutter = 0;
    int copies = 0;
    int copyNumber = 0;
    uint8_t fixedOne = 0;
    int pageLines = 0;
    int blockLines = 0;
    uint8_t toFollow = 0;
    uint8_t fixedZero = 0;
};
BlockHeader parseBlockHeader(std::span<const uint8_t> frame);

// Reassembles the printed pages of one printer from the print-data blocks it takes.
class PageAssembler {
  public:
    // Checks and decodes one print-data frame; returns the problems found. When `take` is
    // true and the block is sound it goes into the page (finished pages move to `done`).
    std::vector<std::string> block(std::span<const uint8_t> frame, const Head& head, bool take,
                                   int device, Clock::time_point at, std::vector<PrintedPage>& done,
                                   bool& taken);
    // The page still being received, if any.
    std::optional<PrintedPage> current() const;

  private:
    struct Progress {
        PrintedPage page;
        int blocks = 0;        // blocks in the page
        int next = 0;          // index of the block expected next
        std::vector<bool> got; // per block
    };
    void finish(std::vector<PrintedPage>& done);
    std::optional<Progress> cur_;
    std::vector<uint8_t> scratch_;
};

} // namespace vt58::detail
