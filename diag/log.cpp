#include "diag/log.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

constexpr size_t kLineBytes = 512;

void formatted(const CoreLog& log, LineKind kind, LineLevel level, const char* format,
               va_list args) {
    if (log.sink() == nullptr) {
        return;
    }
    char line[kLineBytes];
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(n) < sizeof line) {
        log.text(kind, level, std::string_view(line, static_cast<size_t>(n)));
    } else {
        try {
            std::string longer(static_cast<size_t>(n) + 1, '\0');
            std::vsnprintf(longer.data(), longer.size(), format, again);
            longer.pop_back();
            log.text(kind, level, longer);
        } catch (...) {
            // A line that finds no memory is dropped; the page goes on.
        }
    }
    va_end(again);
}

} // namespace

void CoreLog::text(LineKind kind, LineLevel level, std::string_view text) const {
    if (sink_ != nullptr && !text.empty()) {
        sink_->write(kind, level, text);
    }
}

void CoreLog::log(LineLevel level, const char* format, ...) const {
    va_list args;
    va_start(args, format);
    formatted(*this, LineKind::Log, level, format, args);
    va_end(args);
}

void CoreLog::progress(const char* format, ...) const {
    va_list args;
    va_start(args, format);
    formatted(*this, LineKind::Progress, LineLevel::Debug, format, args);
    va_end(args);
}
