#include "tests/support/pdf.h"

#include <cstdio>

namespace tsupport {

std::string pdfOfObjects(const std::vector<std::string>& objects) {
    std::string pdf = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    std::vector<size_t> offsets;
    for (size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (size_t offset : offsets) {
        char line[24];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
        pdf += line;
    }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
           " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return pdf;
}

std::string pdfStream(const std::string& data, const std::string& dict) {
    return "<< " + dict + " /Length " + std::to_string(data.size()) + " >>\nstream\n" + data +
           "\nendstream";
}

std::string pdfOfPages(const std::vector<PdfPage>& pages, const std::string& resources,
                       const std::vector<std::string>& extra) {
    std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", ""};
    std::string kids;
    for (size_t i = 0; i < pages.size(); ++i) {
        const size_t page = 3 + 2 * i;
        kids += std::to_string(page) + " 0 R ";
        char box[96];
        std::snprintf(box, sizeof box, "[0 0 %.3f %.3f]", pages[i].width, pages[i].height);
        objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox " + std::string(box) +
                          " /Resources " + resources + " /Contents " + std::to_string(page + 1) +
                          " 0 R >>");
        objects.push_back(pdfStream(pages[i].content));
    }
    objects[1] =
        "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>";
    objects.insert(objects.end(), extra.begin(), extra.end());
    return pdfOfObjects(objects);
}

} // namespace tsupport
