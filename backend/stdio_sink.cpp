#include "backend/stdio_sink.h"

#include <cstdio>

void StdioSink::write(LineKind kind, LineLevel, std::string_view text) {
    if (kind == LineKind::Progress) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stderr);
}
