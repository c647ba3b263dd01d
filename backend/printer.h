#pragma once

#include "image/page_data.h"
#include "link/results.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

// The printer calls the job driver makes per page, on the job's one printer link. The link
// provides them (backend/printer.cpp); the tests' recording double provides its own.
class JobPrinter {
  public:
    virtual ~JobPrinter() = default;
    virtual OpenResult init_t58() = 0;
    virtual PrintResult t58_Print(int32_t copies, PageData* pd) = 0;
    virtual void close_t58() = 0;
};

// serial: the printer the device URI names, empty for the first T58 on the bus.
std::unique_ptr<JobPrinter> makeJobPrinter(const std::string& serial,
                                           const std::atomic<bool>* bSysCancel);
