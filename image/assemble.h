#pragma once

#include "diag/dump.h"
#include "diag/log.h"
#include "image/head.h"
#include "image/page_data.h"

#include <cstddef>
#include <cstdint>
#include <memory>

constexpr size_t kScratchBytes = 2097152;

// The page-preparation state of one printer: the two scratch pages, allocated once for the
// link, and the head page of the last procData. Nothing in it is shared with another printer.
struct PageWork {
    PageWork();
    PageWork(const PageWork&) = delete;
    PageWork& operator=(const PageWork&) = delete;

    // False when the scratch pages could not be allocated; procData then refuses every page.
    bool ready() const { return tmpData && pdData; }

    std::unique_ptr<uint8_t[]> tmpData;
    std::unique_ptr<uint8_t[]> pdData;
    uint8_t* fnData = nullptr;
    // Head page of the last procData: h lines of t58RowBytes bytes.
    std::unique_ptr<uint8_t[]> dstData;
    DumpNames dumps;
};

// Builds work.dstData, the head-width page. Returns 0, or -1 when the page was refused
// (it does not fit the scratch pages, or memory ran out): nothing is to be sent. Its lines
// go to log.
int procData(PageWork& work, const HeadGeometry& head, PageData* pd, const CoreLog& log);

// Frees the page of the last procData.
void releaseDstData(PageWork& work);
