#pragma once

#include "diag/log.h"

// The backend's sink: log lines on standard error (the job's log file), progress lines on
// standard output (read by CUPS), each line written as it comes.
class StdioSink final : public LineSink {
  public:
    void write(LineKind kind, LineLevel level, std::string_view text) override;
};
