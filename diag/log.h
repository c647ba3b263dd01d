#pragma once

#include <string_view>

// Where a printer's core lines go. Log lines tell what the core did; progress lines tell a
// label on its way. Each front end gives its links a sink of its own: the backend's writes
// them where CUPS reads them, the printer application's hands them to its log.
enum class LineKind { Log, Progress };
enum class LineLevel { Debug, Info, Warn, Error };

class LineSink {
  public:
    virtual ~LineSink() = default;
    // text: one or more whole lines, each ending in '\n'.
    virtual void write(LineKind kind, LineLevel level, std::string_view text) = 0;
};

// A link's or a page's handle on its sink; without a sink, lines go nowhere.
class CoreLog {
  public:
    CoreLog() = default;
    explicit CoreLog(LineSink* sink) : sink_(sink) {}

    LineSink* sink() const { return sink_; }
    void text(LineKind kind, LineLevel level, std::string_view text) const;
    void log(LineLevel level, const char* format, ...) const __attribute__((format(printf, 3, 4)));
    void progress(const char* format, ...) const __attribute__((format(printf, 2, 3)));

  private:
    LineSink* sink_ = nullptr;
};
