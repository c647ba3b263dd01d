#include "backend/spool_path.h"

#include <cstdio>

namespace {

constexpr int kDocumentNumber = 1;

} // namespace

int formatSpoolPath(char* out, size_t size, const char* dir, int jobId) {
    return std::snprintf(out, size, "%s/ras-d%05d-%03d", dir, jobId, kDocumentNumber);
}

std::string spoolPath(const std::string& dir, int jobId) {
    const int n = formatSpoolPath(nullptr, 0, dir.c_str(), jobId);
    std::string path(n > 0 ? static_cast<size_t>(n) + 1 : 1, '\0');
    formatSpoolPath(path.data(), path.size(), dir.c_str(), jobId);
    path.pop_back();
    return path;
}
