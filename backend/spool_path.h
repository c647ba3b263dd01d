#pragma once

#include <cstddef>
#include <string>

// The file a job's raster waits in for the backend: "DIR/ras-dJJJJJ-001" (job id, document
// 1). The filter writes it, the backend reads it.
inline constexpr size_t kSpoolPathMax = 256;

// Formats the path into out as snprintf does: the length the whole path needs, a path cut
// to size - 1 characters when it does not fit.
int formatSpoolPath(char* out, size_t size, const char* dir, int jobId);

// The whole path, for the tests and benchmarks.
std::string spoolPath(const std::string& dir, int jobId);
