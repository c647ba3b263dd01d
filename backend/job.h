#pragma once

#include <cstdint>

// The backend's whole life for one job; returns the process exit status.
int backendMain(int argc, char** argv);

int32_t file_size(const char* path);
