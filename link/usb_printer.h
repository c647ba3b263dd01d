#pragma once

#include "link/t58_link.h"
#include "link/usb.h"

#include <string>
#include <utility>

// One T58 on USB, picked by its serial (empty: the first T58 on the bus), with the state of
// its link and page pipeline.
struct T58UsbPrinter {
    explicit T58UsbPrinter(std::string serial) : usb(std::move(serial)), link(usb) {}

    // Every line of the link, its USB transport and its pages goes to sink from now on.
    void setSink(LineSink* sink) {
        link.log = CoreLog(sink);
        usb.setLog(link.log);
    }

    UsbTransport usb;
    T58Link link;
};
