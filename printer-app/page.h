#pragma once

#include "printer-app/scaling.h"

#include <cups/raster.h>

#include <cstddef>
#include <cstdint>
#include <vector>

// One page as a client sent it, a raster header and its lines, turned into the 1-bit page
// the core prints. It knows nothing of PAPPL, so any header a client can send is checked
// here, before any memory is taken for the page.
namespace tarvik_app {

// No label is longer than 1 m or wider than a Letter page at 600 dpi; a 1-bit page of that
// size fits well within this bound.
inline constexpr uint64_t kMaxAppPageBytes = 16u * 1024 * 1024;
inline constexpr uint32_t kMaxPageDots = 16384;

enum class PageCheck { Ok, Empty, Unsupported, TooLarge, NoMemory };

// What a refused page tells the user, as the job's message.
const char* pageCheckText(PageCheck check);

// A 16 x 16 threshold matrix for grey pages, as PAPPL's pappl_dither_t.
using DitherMatrix = unsigned char[16][16];

class PageBuilder {
  public:
    // Checks the page's header and clears the page. Grey and colour lines are dithered
    // with the matrix (nullptr: a plain threshold at half grey). A plan that does not keep
    // the page brings it to the plan's label instead.
    PageCheck start(const cups_page_header2_t& header, const DitherMatrix* dither,
                    const ScalePlan* plan = nullptr);
    // Line y of the header's cupsBytesPerLine bytes (a shorter line is padded white);
    // lines past the page's height are dropped.
    void line(uint32_t y, const uint8_t* data, size_t size);
    // After the last line: a scaled page is drawn onto the label. May throw bad_alloc.
    void finish();

    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    uint32_t rowBytes() const { return rowBytes_; }
    uint32_t inputBytesPerLine() const { return inputBytes_; }
    uint8_t* data() { return page_.data(); }

  private:
    enum class Kind { Black1, Black8, White8, Rgb24 };
    // Whether the page's pixels are of a kind the builder reads; sets kind_.
    bool takeKind(const cups_page_header2_t& h);
    uint8_t grey(const uint8_t* pixel) const;
    void ditherLine(uint8_t* out, const uint8_t* in, size_t size, uint32_t y) const;
    bool startScaled(const ScalePlan& plan, const cups_page_header2_t& h);
    void scaleLine(uint32_t y, const uint8_t* in, size_t size);

    Kind kind_ = Kind::Black1;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint32_t rowBytes_ = 0;
    uint32_t inputBytes_ = 0;
    const DitherMatrix* dither_ = nullptr;
    std::vector<uint8_t> page_;
    bool scaled_ = false;
    uint32_t sourceWidth_ = 0;
    uint32_t sourceHeight_ = 0;
    PageScaler scaler_;
    std::vector<uint8_t> darkness_;
};

} // namespace tarvik_app
