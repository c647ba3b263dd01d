#pragma once

// PDF documents written for the tests and benchmarks: a few objects and a cross-reference
// table, so that a page holds exactly the shapes a test measures.

#include <string>
#include <vector>

namespace tsupport {

// A PDF of the objects, numbered from 1; object 1 is the catalog.
std::string pdfOfObjects(const std::vector<std::string>& objects);

// A stream object of the data.
std::string pdfStream(const std::string& data, const std::string& dict = "");

struct PdfPage {
    double width = 0; // points
    double height = 0;
    std::string content; // the page's content stream
};

// Pages of their own size; resources (a dictionary) are shared by every page, and extra
// objects follow the pages' (numbered from 3 + 2 x pages).
std::string pdfOfPages(const std::vector<PdfPage>& pages, const std::string& resources = "<< >>",
                       const std::vector<std::string>& extra = {});

// Millimetres in points.
inline double mmToPt(double mm) {
    return mm * 72.0 / 25.4;
}

} // namespace tsupport
