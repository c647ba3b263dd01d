// PDF documents sent straight to the app: a page lands on the label whole, turned when it
// lies across the label, fitted or filled as print-scaling asks; bars keep their widths to
// a dot; page-ranges and copies choose the labels; a hostile PDF ends only its own job.

#include "tests/app/app_harness.h"
#include "tests/support/pdf.h"

#include <cups/ipp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

using namespace apptest;
using tsupport::mmToPt;

namespace {

constexpr const char* kPdf = "application/pdf";
constexpr const char* kHead300Printer = "T58-VT58-0002";
const std::string kMedia = "keyword media om_40x30-label_40x30mm";

// The label in dots, as PAPPL sizes 40 x 30 mm at the head's resolution.
struct Label {
    int dpi;
    double width() const { return std::floor(40.0 * dpi / 25.4); }
    double height() const { return std::floor(30.0 * dpi / 25.4); }
};

struct Box {
    int x0 = 0, y0 = 0, x1 = -1, y1 = -1; // inclusive
    int width() const { return x1 - x0 + 1; }
    int height() const { return y1 - y0 + 1; }
};

Box blackBox(const vt58::PrintedPage& page) {
    Box b{page.rowBytes * 8, page.pageLines, -1, -1};
    for (int y = 0; y < page.pageLines; ++y) {
        for (int x = 0; x < page.rowBytes * 8; ++x) {
            if (page.dot(x, y)) {
                b = {std::min(b.x0, x), std::min(b.y0, y), std::max(b.x1, x), std::max(b.y1, y)};
            }
        }
    }
    return b;
}

double rowDark(const vt58::PrintedPage& p, int y, int x0, int x1) {
    int n = 0;
    for (int x = x0; x <= x1; ++x) {
        n += p.dot(x, y) ? 1 : 0;
    }
    return double(n) / (x1 - x0 + 1);
}

double columnDark(const vt58::PrintedPage& p, int x, int y0, int y1) {
    int n = 0;
    for (int y = y0; y <= y1; ++y) {
        n += p.dot(x, y) ? 1 : 0;
    }
    return double(n) / (y1 - y0 + 1);
}

// The runs of black and white dots of a row from its first black dot to its last.
std::vector<int> runsOf(const vt58::PrintedPage& p, int y, const Box& b) {
    std::vector<int> runs;
    bool black = true;
    int length = 0;
    for (int x = b.x0; x <= b.x1; ++x) {
        if (p.dot(x, y) != black) {
            runs.push_back(length);
            black = !black;
            length = 0;
        }
        ++length;
    }
    runs.push_back(length);
    return runs;
}

// A 4 x 6 in shipping label: a border (outer edge 8 pt inside the page) and a black square
// in its top-left corner.
constexpr double kShipW = 288, kShipH = 432;
std::string shippingLabel() {
    return tsupport::pdfOfPages({{kShipW, kShipH, "4 w 10 10 268 412 re S 20 362 50 50 re f"}});
}

// Code 128 of "T58": start B, T, 5, 8, the check symbol (64), stop; bar first, in modules.
const std::vector<int>& code128Modules() {
    static const std::vector<int> modules = [] {
        std::vector<int> m;
        for (const char* symbol : {"211214", "213311", "213212", "311222", "111422", "2331112"}) {
            for (const char* c = symbol; *c != '\0'; ++c) {
                m.push_back(*c - '0');
            }
        }
        return m;
    }();
    return modules;
}

constexpr double kModuleMm = 0.38;
std::string barcodeLabel() {
    std::string content;
    double x = mmToPt(4);
    bool bar = true;
    for (int modules : code128Modules()) {
        const double w = modules * mmToPt(kModuleMm);
        if (bar) {
            content += std::to_string(x) + " " + std::to_string(mmToPt(8)) + " " +
                       std::to_string(w) + " " + std::to_string(mmToPt(14)) + " re f\n";
        }
        x += w;
        bar = !bar;
    }
    return tsupport::pdfOfPages({{mmToPt(40), mmToPt(30), content}});
}

// Page n of a document: n bars, each 3 mm wide, on a label-sized page.
std::string numberedPages(int pages) {
    std::vector<tsupport::PdfPage> list;
    for (int n = 1; n <= pages; ++n) {
        std::string content;
        for (int i = 0; i < n; ++i) {
            content += std::to_string(mmToPt(5 + 8 * i)) + " 20 " + std::to_string(mmToPt(3)) +
                       " 40 re f\n";
        }
        list.push_back({mmToPt(40), mmToPt(30), content});
    }
    return tsupport::pdfOfPages(list);
}

int barsOf(const vt58::PrintedPage& page) {
    const Box b = blackBox(page);
    return b.x1 < 0 ? 0 : int(runsOf(page, (b.y0 + b.y1) / 2, b).size() + 1) / 2;
}

const vt58::PrintedPage* lastOf(const std::vector<vt58::PrintedPage>& pages, int device) {
    for (auto it = pages.rbegin(); it != pages.rend(); ++it) {
        if (it->device == device) {
            return &*it;
        }
    }
    return nullptr;
}

// The whole border is there and the page's top-left square sits at the label's bottom left:
// turned a quarter anticlockwise. s: dots per point; x0: the dot of the page frame's x 0.
void expectSquareBottomLeft(const vt58::PrintedPage& p, double s, double x0, int y0) {
    // The square's centre in the turned 432 x 288 pt page, then a corner it is not in.
    const auto dark = [&](double x, double y) {
        return p.dot(int(std::lround(x0 + x * s)), int(std::lround(y0 + (y - 8) * s)));
    };
    EXPECT_TRUE(dark(45, 243));
    EXPECT_FALSE(dark(45, 45));
    EXPECT_FALSE(dark(kShipH - 45, 45));
    EXPECT_FALSE(dark(kShipH - 45, 243));
}

void expectFitted(const vt58::PrintedPage& p, Label label) {
    const double s = std::min(label.width() / kShipH, label.height() / kShipW);
    const Box b = blackBox(p);
    ASSERT_GE(b.x1, 0);
    EXPECT_NEAR(b.width(), 416 * s, 3);
    EXPECT_NEAR(b.height(), 272 * s, 3);
    EXPECT_NEAR((b.y0 + b.y1) / 2.0, p.pageLines / 2.0, 3);
    for (int y : {b.y0 + 1, b.y1 - 1}) {
        EXPECT_GT(rowDark(p, y, b.x0, b.x1), 0.95) << "border line " << y;
    }
    for (int x : {b.x0 + 1, b.x1 - 1}) {
        EXPECT_GT(columnDark(p, x, b.y0, b.y1), 0.95) << "border column " << x;
    }
    expectSquareBottomLeft(p, s, b.x0 - 8 * s, b.y0);
}

// Filled: the label's width is covered and the border's sides are cut off.
void expectFilled(const vt58::PrintedPage& p, Label label) {
    const double s = std::max(label.width() / kShipH, label.height() / kShipW);
    const Box b = blackBox(p);
    ASSERT_GE(b.x1, 0);
    EXPECT_NEAR(b.width(), label.width(), 1);
    EXPECT_NEAR(b.height(), 272 * s, 3);
    for (int y : {b.y0 + 1, b.y1 - 1}) {
        EXPECT_GT(rowDark(p, y, b.x0, b.x1), 0.95) << "border line " << y;
    }
    // Above the square, which reaches the label's left edge.
    for (int x : {b.x0, b.x1}) {
        EXPECT_LT(columnDark(p, x, b.y0 + 10, (b.y0 + b.y1) / 2), 0.05) << "cut side " << x;
    }
    const double frameX0 = b.x0 + label.width() / 2 - kShipH / 2 * s;
    expectSquareBottomLeft(p, s, frameX0, b.y0);
}

int printPdf(App& app, const char* printer, const std::string& file, const char* format,
             std::vector<std::string> attrs) {
    attrs.push_back(kMedia);
    std::string out;
    const int job = ipptoolPrint(app.uri(printer), app.dir.file(file), format, attrs, &out);
    EXPECT_GT(job, 0) << out;
    return job;
}

} // namespace

TEST(AppPdf, ShippingLabelFitsOrFillsTurnedAndWholeOnEitherHead) {
    App app(twoHeads(), 2);
    REQUIRE_APP(app);
    EXPECT_NE(printerAttr(app.uri(), "document-format-supported").find(kPdf), std::string::npos);
    ASSERT_TRUE(tsupport::writeFile(app.dir.file("ship.pdf"), shippingLabel()));
    for (int device : {0, 1}) {
        const char* name = device == 0 ? kFirstPrinter : kHead300Printer;
        const Label label{device == 0 ? 203 : 300};
        SCOPED_TRACE(name);
        for (const char* scaling : {"fit", "fill"}) {
            SCOPED_TRACE(scaling);
            // Fitted ones come without document-format: PAPPL types them.
            const bool fit = std::string(scaling) == "fit";
            const int job = printPdf(app, name, "ship.pdf", fit ? "application/octet-stream" : kPdf,
                                     {std::string("keyword print-scaling ") + scaling});
            JobEnd end;
            const auto pages = app.pagesAfter(job, &end, name);
            ASSERT_EQ(end.state, IPP_JSTATE_COMPLETED) << end.message << app.server->log();
            const vt58::PrintedPage* page = lastOf(pages, device);
            ASSERT_NE(page, nullptr);
            EXPECT_TRUE(page->complete);
            EXPECT_EQ(page->rowBytes, device == 0 ? 48 : 72);
            if (fit) {
                expectFitted(*page, label);
            } else {
                expectFilled(*page, label);
            }
        }
    }
    EXPECT_EQ(app.printer.pages().size(), 4u);
    EXPECT_TRUE(app.printer.errors().empty());
}

TEST(AppPdf, BarcodeBarsKeepTheirWidthsToADot) {
    App app(twoHeads(), 2);
    REQUIRE_APP(app);
    ASSERT_TRUE(tsupport::writeFile(app.dir.file("bars.pdf"), barcodeLabel()));
    for (int device : {0, 1}) {
        const char* name = device == 0 ? kFirstPrinter : kHead300Printer;
        const Label label{device == 0 ? 203 : 300};
        SCOPED_TRACE(name);
        const int job = printPdf(app, name, "bars.pdf", kPdf, {});
        JobEnd end;
        const auto pages = app.pagesAfter(job, &end, name);
        ASSERT_EQ(end.state, IPP_JSTATE_COMPLETED) << end.message;
        const vt58::PrintedPage* page = lastOf(pages, device);
        ASSERT_NE(page, nullptr);
        // 'auto' fills a page of the label's shape: the scale of the wider side.
        const double s = std::max(label.width() / mmToPt(40), label.height() / mmToPt(30));
        const double moduleDots = mmToPt(kModuleMm) * s;
        const Box b = blackBox(*page);
        ASSERT_GE(b.x1, 0);
        for (int y : {b.y0 + 2, (b.y0 + b.y1) / 2, b.y1 - 2}) {
            const std::vector<int> runs = runsOf(*page, y, b);
            ASSERT_EQ(runs.size(), code128Modules().size()) << "line " << y;
            for (size_t i = 0; i < runs.size(); ++i) {
                EXPECT_NEAR(runs[i], code128Modules()[i] * moduleDots, 1.0)
                    << "element " << i << " of line " << y;
            }
        }
    }
}

TEST(AppPdf, PageRangesAndCopiesChooseTheLabels) {
    App app(head(0));
    REQUIRE_APP(app);
    ASSERT_TRUE(tsupport::writeFile(app.dir.file("three.pdf"), numberedPages(3)));
    // Several pages: each copy of the range in order, one label each.
    int job = printPdf(app, kFirstPrinter, "three.pdf", kPdf,
                       {"rangeOfInteger page-ranges 2-3", "integer copies 2"});
    JobEnd end;
    auto pages = app.pagesAfter(job, &end);
    ASSERT_EQ(end.state, IPP_JSTATE_COMPLETED) << end.message;
    ASSERT_EQ(pages.size(), 4u);
    const int expected[] = {2, 3, 2, 3};
    for (size_t i = 0; i < pages.size(); ++i) {
        EXPECT_EQ(barsOf(pages[i]), expected[i]) << "label " << i;
        EXPECT_EQ(pages[i].copies, 1);
    }
    // One page: the printer repeats it.
    job = printPdf(app, kFirstPrinter, "three.pdf", kPdf,
                   {"rangeOfInteger page-ranges 1-1", "integer copies 3"});
    pages = app.pagesAfter(job, &end);
    ASSERT_EQ(end.state, IPP_JSTATE_COMPLETED) << end.message;
    ASSERT_EQ(pages.size(), 7u);
    for (size_t i = 4; i < pages.size(); ++i) {
        EXPECT_EQ(barsOf(pages[i]), 1);
        EXPECT_EQ(pages[i].copies, 3);
    }
}

namespace {

// Forms drawing the one below ten times, depth levels deep: 10^depth rectangles.
std::string renderBomb(int depth) {
    std::vector<std::string> forms;
    forms.push_back(tsupport::pdfStream(
        "0 0 1 1 re f", "/Type /XObject /Subtype /Form /BBox [0 0 100 100] /Resources << >>"));
    for (int level = 1; level <= depth; ++level) {
        const std::string below = std::to_string(4 + level) + " 0 R";
        std::string draws;
        for (int i = 0; i < 10; ++i) {
            draws += "/B Do\n";
        }
        forms.push_back(tsupport::pdfStream(
            draws, "/Type /XObject /Subtype /Form /BBox [0 0 100 100] /Resources << /XObject << "
                   "/B " +
                       below + " >> >>"));
    }
    const std::string top = std::to_string(5 + depth) + " 0 R";
    return tsupport::pdfOfPages({{mmToPt(40), mmToPt(30), "/T Do"}},
                                "<< /XObject << /T " + top + " >> >>", forms);
}

} // namespace

TEST(AppPdf, HostilePdfsEndOnlyTheirOwnJobs) {
    App app(head(1), 1, {"-o", "pdf-render-seconds=2"});
    REQUIRE_APP(app);
    std::vector<tsupport::PdfPage> many(1000, {mmToPt(40), mmToPt(30), "0 0 9 9 re f"});
    tsupport::writeFile(app.dir.file("noise.pdf"), std::string(5000, '\x5a') + "not a PDF");
    tsupport::writeFile(app.dir.file("pages.pdf"), tsupport::pdfOfPages(many));
    tsupport::writeFile(app.dir.file("slow.pdf"), renderBomb(9));
    tsupport::writeFile(app.dir.file("good.pdf"), numberedPages(1));
    const struct {
        const char* file;
        const char* says;
    } hostile[] = {{"noise.pdf", "not a PDF"},
                   {"pages.pdf", "1000 pages to print; a job prints at most 200"},
                   {"slow.pdf", "more than 2 seconds to render"}};
    for (const auto& h : hostile) {
        const int job = printPdf(app, kFirstPrinter, h.file, kPdf, {});
        const JobEnd end = waitJob(app.uri(), job);
        EXPECT_EQ(end.state, IPP_JSTATE_ABORTED) << h.file << app.server->log();
        EXPECT_NE(end.message.find(h.says), std::string::npos) << h.file << ": " << end.message;
        EXPECT_NE(end.reasons.find("document-"), std::string::npos) << h.file << end.reasons;
    }
    EXPECT_TRUE(app.printer.pages().empty());
    const int job = printPdf(app, kFirstPrinter, "good.pdf", kPdf, {});
    JobEnd end;
    const auto pages = app.pagesAfter(job, &end);
    EXPECT_EQ(end.state, IPP_JSTATE_COMPLETED) << end.message;
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(barsOf(pages[0]), 1);
}
