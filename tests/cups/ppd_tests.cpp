// The T58 PPDs read with the PPD calls the backend itself uses: every option the backend
// reads offers only numbers it parses and handles, and each head's geometry is its own.

#include <cups/ppd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct Head {
    const char* file;
    int dpi;
    int dots;
};

void PrintTo(const Head& h, std::ostream* os) {
    *os << h.file;
}

constexpr Head kHeads[] = {{"t58-203.ppd", 203, 384}, {"t58-300.ppd", 300, 576}};
constexpr int kScratchBytes = 2097152;

struct PpdCloser {
    void operator()(ppd_file_t* p) const { ppdClose(p); }
};
using Ppd = std::unique_ptr<ppd_file_t, PpdCloser>;

Ppd open(const Head& head) {
    return Ppd(ppdOpenFile((std::string(TARVIK_PACKAGING_DIR) + "/" + head.file).c_str()));
}

// The choice keywords as the backend reads them: atoi of the whole keyword, which must be
// nothing but the number.
std::vector<int> numbers(ppd_option_t* o) {
    std::vector<int> v;
    for (int i = 0; i < o->num_choices; ++i) {
        const char* k = o->choices[i].choice;
        char* end = nullptr;
        long n = strtol(k, &end, 10);
        EXPECT_TRUE(*k != '\0' && *end == '\0') << o->keyword << " choice " << k;
        EXPECT_NE(std::strlen(o->choices[i].text), 0u) << o->keyword << " " << k;
        v.push_back(static_cast<int>(n));
    }
    return v;
}

std::vector<int> range(int from, int to) {
    std::vector<int> v;
    for (int i = from; i <= to; ++i)
        v.push_back(i);
    return v;
}

class PpdTest : public ::testing::TestWithParam<Head> {};

TEST_P(PpdTest, BackendOptionsOfferOnlyNumbersTheBackendHandles) {
    const Head& head = GetParam();
    Ppd ppd = open(head);
    ASSERT_TRUE(ppd) << ppdErrorString(ppdLastError(nullptr));
    std::map<std::string, std::vector<int>> want = {
        {"RotationAngle", {0, 1, 2, 3}}, {"Blackness", range(0, 31)}, {"CutterSet", range(0, 7)},
        {"HorizontalOffset", {0, 1}},    {"VerticalOffset", {0, 1}},  {"IsDebug", {0, 1}},
        {"StpTemplateMM", range(0, 9)},
    };
    for (const auto& [keyword, choices] : want) {
        ppd_option_t* o = ppdFindOption(ppd.get(), keyword.c_str());
        ASSERT_NE(o, nullptr) << keyword;
        EXPECT_EQ(o->ui, PPD_UI_PICKONE) << keyword;
        EXPECT_EQ(numbers(o), choices) << keyword;
        EXPECT_NE(ppdFindChoice(o, o->defchoice), nullptr) << keyword << " default";
    }
    ppd_option_t* cm = ppdFindOption(ppd.get(), "StpTemplateCM");
    ASSERT_NE(cm, nullptr);
    EXPECT_STREQ(cm->defchoice, "999");
    EXPECT_STREQ(ppdFindChoice(cm, "999")->text, "No template");
    for (int n : numbers(cm)) {
        if (n == 999)
            continue;
        // The longest template, with 9 mm added, must fit the 2 MiB scratch pages.
        int lines = static_cast<int>((n * 10 + 9) * head.dpi / 25.4);
        EXPECT_LE(lines * (head.dots / 8), kScratchBytes) << n << " cm";
        EXPECT_GE(n, 0);
    }
}

TEST_P(PpdTest, OffsetsStayWithinTheHead) {
    const Head& head = GetParam();
    Ppd ppd = open(head);
    ASSERT_TRUE(ppd);
    ppd_option_t* x = ppdFindOption(ppd.get(), "HorizontalOffsetValue");
    ppd_option_t* y = ppdFindOption(ppd.get(), "VerticalOffsetValue");
    ASSERT_TRUE(x && y);
    for (int mm : numbers(x)) {
        // The shift in whole bytes, as the offset stage takes it: at most half the head, so
        // a label moved across still lies partly under it.
        int bytes = static_cast<int>((mm * head.dpi / 25.4 + 7.0) / 8.0);
        EXPECT_GE(mm, 0);
        EXPECT_LE(bytes, head.dots / 16) << mm << " mm";
    }
    for (int mm : numbers(y)) {
        EXPECT_GE(mm, 0);
        EXPECT_LE(mm, 127);
    }
}

TEST_P(PpdTest, RasterIsOneBitBlackAtTheHeadsResolutionAndWidth) {
    const Head& head = GetParam();
    Ppd ppd = open(head);
    ASSERT_TRUE(ppd);
    ppd_option_t* res = ppdFindOption(ppd.get(), "Resolution");
    ASSERT_TRUE(res && res->num_choices == 1);
    EXPECT_EQ(atoi(res->defchoice), head.dpi);
    ppd_choice_t* color = ppdFindChoice(ppdFindOption(ppd.get(), "ColorModel"), "Gray");
    ASSERT_NE(color, nullptr);
    for (const char* part : {"/cupsColorSpace 3", "/cupsBitsPerColor 1", "/cupsColorOrder 0"})
        EXPECT_NE(std::strstr(color->code, part), nullptr) << part;
    EXPECT_FALSE(ppd->manual_copies) << "the backend sends every page with its copies";
    ppd_attr_t* single = ppdFindAttr(ppd.get(), "cupsSingleFile", nullptr);
    ASSERT_NE(single, nullptr) << "one backend run for each document's raster file";
    EXPECT_STREQ(single->value, "True");
    ASSERT_EQ(ppd->num_filters, 1);
    EXPECT_NE(std::strstr(ppd->filters[0], "rastertotarvik"), nullptr);

    // Whatever the label, the raster Ghostscript makes is its imageable area: no wider than
    // the head, so no column is lost in the backend's centring.
    double headPoints = head.dots * 72.0 / head.dpi;
    EXPECT_LE(ppd->custom_max[0], headPoints + 0.01);
    ASSERT_GE(ppd->num_sizes, 4);
    for (int i = 0; i < ppd->num_sizes; ++i) {
        const ppd_size_t& s = ppd->sizes[i];
        if (std::strcmp(s.name, "Custom") == 0)
            continue;
        EXPECT_LE(s.right - s.left, headPoints + 0.01) << s.name;
        EXPECT_GE(s.left, 0) << s.name;
        EXPECT_LE(s.right, s.width + 0.01) << s.name;
    }
    for (const char* size : {"40x30mm", "48x40mm", "50x30mm", "58x40mm"})
        EXPECT_NE(ppdPageSize(ppd.get(), size), nullptr) << size;
}

TEST_P(PpdTest, ATemplateOfNoLengthCannotBeChosen) {
    Ppd ppd = open(GetParam());
    ASSERT_TRUE(ppd);
    ppdMarkDefaults(ppd.get());
    EXPECT_EQ(ppdConflicts(ppd.get()), 0) << "the defaults agree";
    ppdMarkOption(ppd.get(), "StpTemplateCM", "0");
    ppdMarkOption(ppd.get(), "StpTemplateMM", "0");
    EXPECT_GT(ppdConflicts(ppd.get()), 0);
    ppdMarkOption(ppd.get(), "StpTemplateMM", "5");
    EXPECT_EQ(ppdConflicts(ppd.get()), 0);
}

INSTANTIATE_TEST_SUITE_P(Heads, PpdTest, ::testing::ValuesIn(kHeads),
                         [](const auto& info) { return std::to_string(info.param.dpi) + "dpi"; });

} // namespace
