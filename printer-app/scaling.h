#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Where a page of any size lands on the loaded label: one rule for every document format
// (print-scaling and the quarter turn), and the scaler that brings a raster or image page to
// the label's dots by area coverage. It knows nothing of PAPPL.
namespace tarvik_app {

enum class Scaling { Auto, AutoFit, Fit, Fill, None };

const char* scalingName(Scaling scaling);
bool parseScaling(std::string_view text, Scaling* out);

// The rule, on sizes in any one unit: whether the page is turned a quarter anticlockwise
// (it lies across the label's shape), the scaling that applies once 'auto' and 'auto-fit'
// are resolved, and the factor from the (turned) page to the label.
struct Fit {
    bool turn = false;
    Scaling used = Scaling::None;
    double scale = 1.0;
};
Fit chooseFit(Scaling asked, double pageWidth, double pageHeight, double labelWidth,
              double labelHeight);

// A page of dots at its own resolution, for a label of dots at the head's.
struct PageGeometry {
    uint32_t width = 0;
    uint32_t height = 0;
    double xdpi = 0; // 0: unknown, taken as the head's
    double ydpi = 0;
};

// What becomes of one page. Kept pages go to the printer as they came, as the backend
// places them: a page at the head's resolution within the label's size that meets its width
// or length (within a dot), or any page under 'none'.
struct ScalePlan {
    Scaling asked = Scaling::Auto;
    Fit fit;
    bool keep = true;
    bool cut = false;   // kept, and larger than the label: the head cuts it
    uint32_t width = 0; // the label, in dots
    uint32_t height = 0;
    // Along the page's own axes, before its turn: label dots per page dot, and where the
    // page's first dot lands (negative: the page is cut there).
    double xscale = 1.0;
    double yscale = 1.0;
    int32_t xoffset = 0;
    int32_t yoffset = 0;
};
ScalePlan planPage(Scaling asked, const PageGeometry& page, uint32_t labelWidth,
                   uint32_t labelHeight, double headDpi);

// The plan in words, for the job's log: "print-scaling fit: scaled by 0.312, turned ...".
std::string describePlan(const ScalePlan& plan);

// Brings one page to the plan's label, a line at a time, in the page's order: each label dot
// takes the share of its area the page's dots cover. Memory: the label's dots, never the
// page's. Darkness runs from 0 (white) to 255 (black).
class PageScaler {
  public:
    // False when the plan's sizes are unusable.
    bool start(const ScalePlan& plan, uint32_t pageWidth, uint32_t pageHeight);
    void addLine(uint32_t y, const uint8_t* darkness);
    // Ends the page. A page of only black and white stays so: a dot is black when at least
    // half of it is covered, and a line that the scale makes thinner than a dot still leaves
    // one dot where it peaks; other pages keep their shades, for dithering.
    void finish();
    // Line y of the label, turned as planned: darkness per dot.
    const uint8_t* line(uint32_t y) const { return out_.data() + size_t{y} * width_; }
    bool blackAndWhite() const { return blackAndWhite_; }

  private:
    struct Axis {
        // For each page dot: its first label dot, how many, and their weights from `at`.
        std::vector<uint32_t> first, count, at;
        std::vector<float> weight;
        void build(uint32_t pageDots, double scale, int32_t offset, uint32_t labelDots);
    };
    void resolveBlackAndWhite();
    void turnInto(const std::vector<uint16_t>& cover);

    Axis x_, y_;
    uint32_t cols_ = 0; // the scaled page before its turn
    uint32_t rows_ = 0;
    uint32_t width_ = 0; // after it
    uint32_t height_ = 0;
    bool turn_ = false;
    bool blackAndWhite_ = true;
    std::vector<float> lineSum_;
    std::vector<uint16_t> cover_;
    std::vector<uint8_t> out_;
};

} // namespace tarvik_app
