#pragma once

#include <cstdint>
#include <string>

// Where one printer's page dumps go. The backend serves one printer at a time and keeps the
// fixed names ("/dev/shm/b.bmp", "/dev/shm/c.bmp", "/dev/shm/W_H_S.data"); a process that
// drives several printers gives each a tag, which goes into every name
// ("/dev/shm/b-TAG.bmp", "/dev/shm/TAG-W_H_S.data"), so two printers never write one file.
struct DumpNames {
    std::string dir = "/dev/shm";
    std::string tag;
    bool enabled = true;

    std::string bmpPath(const char* base) const;
    std::string rawPath(int32_t w, int32_t h, uint32_t stride) const;
};

// Writes the page as a 1-bit BMP at path and as raw bytes beside it; a file that
// cannot be opened is skipped.
void saveImage(const uint8_t* data, uint32_t len, int32_t w, int32_t h, const char* path,
               const DumpNames& names = {});
