// The job's printer: one T58 link, found by the device URI's serial.
#include "backend/printer.h"

#include "backend/stdio_sink.h"
#include "link/transmit.h"
#include "link/usb_printer.h"

#include <new>

namespace {

class UsbJobPrinter final : public JobPrinter {
  public:
    UsbJobPrinter(const std::string& serial, const std::atomic<bool>* bSysCancel)
        : printer_(serial) {
        printer_.setSink(&sink_);
        if (bSysCancel != nullptr) {
            printer_.link.cancelRequested = [bSysCancel] { return bSysCancel->load(); };
        }
    }
    OpenResult init_t58() override { return ::init_t58(printer_.link); }
    PrintResult t58_Print(int32_t copies, PageData* pd) override {
        return ::t58_Print(printer_.link, copies, pd);
    }
    void close_t58() override { ::close_t58(printer_.link); }

  private:
    StdioSink sink_;
    T58UsbPrinter printer_;
};

} // namespace

std::unique_ptr<JobPrinter> makeJobPrinter(const std::string& serial,
                                           const std::atomic<bool>* bSysCancel) {
    return std::unique_ptr<JobPrinter>(new (std::nothrow) UsbJobPrinter(serial, bSysCancel));
}
