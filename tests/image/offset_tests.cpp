#include "image/assemble.h"
#include "image/offset.h"
#include "tests/image/image_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

using imagetest::logOf;
using imagetest::recordOf;
using imagetest::rowOf;
using imagetest::useHead;
using tsupport::countOf;
using tsupport::randomPage;
using tsupport::RasterPage;

namespace {

struct Moved {
    PageData pd;
    int result;
    std::vector<uint8_t> dst; // a whole scratch page, so that a write past it is caught
    std::string log;
};

Moved offset(RasterPage& page, const std::function<void(PageData&)>& options) {
    Moved m{recordOf(page), 0, std::vector<uint8_t>(kScratchBytes, 0xEE), {}};
    options(m.pd);
    m.log = logOf([&](const CoreLog& log) {
        m.result = qzOffset(imagetest::head(), &m.pd, page.pixels.data(), m.dst.data(), log);
    });
    return m;
}

bool blank(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
    return std::all_of(bytes.begin() + from, bytes.begin() + to, [](uint8_t b) { return b == 0; });
}

// Row i of the result against row i of the page moved by shift bytes (negative: towards
// the start) and placed at byte at of the result row.
void expectMovedRow(const Moved& m, const RasterPage& page, int64_t i, int64_t at, int64_t shift) {
    const int64_t out = m.pd.rowBytes;
    const int64_t in = page.bytesPerLine;
    for (int64_t b = 0; b < out; ++b) {
        const int64_t centred = b - shift; // the byte of the centred row that lands here
        const uint8_t expected =
            centred >= at && centred < at + in ? page.pixels[i * in + centred - at] : 0;
        ASSERT_EQ(m.dst[i * out + b], expected) << "row " << i << " byte " << b;
    }
}

int32_t loggedTemplateLines(int dpi, int32_t cm, int32_t mm) {
    useHead(dpi);
    RasterPage page = randomPage(16, 1, 1);
    Moved m = offset(page, [&](PageData& pd) {
        pd.templateCM = cm;
        pd.templateMM = mm;
        pd.yOffsetDir = 2;
    });
    int32_t lines = -1;
    const size_t at = m.log.find("templateLines=");
    if (at != std::string::npos) {
        lines = std::stoi(m.log.substr(at + 14));
    }
    EXPECT_EQ(lines, templateLinesOf(&m.pd, imagetest::head().yDpi));
    return lines;
}

class Offsets : public testing::Test {
  protected:
    void SetUp() override { useHead(300); }
};

} // namespace

TEST_F(Offsets, TemplateLengthsInLines) {
    EXPECT_EQ(loggedTemplateLines(300, 5, 0), 590);
    EXPECT_EQ(loggedTemplateLines(203, 5, 0), 399);
    EXPECT_EQ(loggedTemplateLines(300, 10, 5), 1240);
    EXPECT_EQ(loggedTemplateLines(300, 4, 0), 472);
    EXPECT_EQ(loggedTemplateLines(203, 4, 0), 319);
    EXPECT_EQ(loggedTemplateLines(300, 3, 5), 413);
    EXPECT_EQ(loggedTemplateLines(300, 0, 0), 0);
}

TEST_F(Offsets, HorizontalOffsetInWholeBytes) {
    struct Case {
        int dpi;
        int8_t mm;
        int64_t bytes;
    };
    for (Case c : {Case{300, 1, 2}, Case{300, 5, 8}, Case{300, 10, 15}, Case{300, 48, 71},
                   Case{203, 1, 1}, Case{203, 5, 5}, Case{203, 10, 10}, Case{203, 48, 48}}) {
        useHead(c.dpi);
        const uint32_t head = c.dpi == 300 ? 72 : 48;
        RasterPage page = randomPage(head * 8, 6, c.mm);
        for (int32_t dir : {0, 1}) {
            Moved m = offset(page, [&](PageData& pd) {
                pd.xOffsetValue = c.mm;
                pd.xOffsetDir = dir;
            });
            EXPECT_EQ(m.result, 1);
            EXPECT_EQ(m.pd.w, int32_t(head * 8));
            EXPECT_EQ(m.pd.rowBytes, int32_t(head));
            for (int64_t i = 0; i < 6; ++i) {
                expectMovedRow(m, page, i, 0, dir == 0 ? c.bytes : -c.bytes);
            }
        }
    }
}

TEST_F(Offsets, VerticalOffsetInLines) {
    for (auto [dpi, lines] : {std::pair{300, 59}, std::pair{203, 39}}) {
        useHead(dpi);
        RasterPage page = randomPage(80, 100, dpi);
        Moved m = offset(page, [](PageData& pd) {
            pd.yOffsetValue = 5;
            pd.yOffsetDir = 1;
        });
        EXPECT_EQ(m.result, 2);
        EXPECT_EQ(m.pd.rowBytes, 10);
        const std::vector<uint8_t> expected(page.pixels.begin() + lines * 10, page.pixels.end());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), m.dst.begin()));
        EXPECT_TRUE(blank(m.dst, expected.size(), 1000));
        EXPECT_NE(m.log.find("tarvik_backend-qzOffset up: yOffsetDir = 1, yOffsetLines = " +
                             std::to_string(lines) + ", h = 100\n"),
                  std::string::npos);
    }
}

TEST_F(Offsets, NoOffsetCopiesThePageAndExtendsItToTheTemplate) {
    RasterPage page = randomPage(300, 40, 2);
    Moved plain = offset(page, [](PageData&) {});
    EXPECT_EQ(plain.result, 3);
    EXPECT_TRUE(std::equal(page.pixels.begin(), page.pixels.end(), plain.dst.begin()));
    EXPECT_EQ(plain.pd.w, 300);
    EXPECT_EQ(plain.pd.rowBytes, 38);
    EXPECT_EQ(plain.log, "tarvik_backend-qzOffset: qzOffset\n");

    Moved longer = offset(page, [](PageData& pd) {
        pd.templateCM = 1;
        pd.yOffsetDir = 2;
    }); // 118 lines
    EXPECT_EQ(longer.result, 3);
    EXPECT_TRUE(std::equal(page.pixels.begin(), page.pixels.end(), longer.dst.begin()));
    EXPECT_TRUE(blank(longer.dst, page.pixels.size(), 118 * 38));
    EXPECT_EQ(longer.log, "tarvik_backend-qzOffset: qzOffset\n"
                          "tarvik_backend-qzOffset: templateLines=118, h=40\n"
                          "tarvik_backend-qzOffset: yOffsetLines = 0, pd->h = 118, "
                          "pd->yOffsetDir=2\n");
}

TEST_F(Offsets, BlankPageTests) {
    RasterPage page = randomPage(576, 50, 3);
    const size_t size = page.pixels.size();
    // A template of no length moving down by nothing.
    Moved zero = offset(page, [](PageData& pd) { pd.templateCM = 0; });
    EXPECT_EQ(zero.result, 1);
    EXPECT_TRUE(blank(zero.dst, 0, size));
    // No template and a move of the page's height or more, either way, horizontal set too.
    RasterPage narrow = randomPage(384, 50, 4);
    for (int32_t dir : {0, 1, 7}) {
        Moved gone = offset(narrow, [dir](PageData& pd) {
            pd.yOffsetValue = 10; // 118 lines
            pd.yOffsetDir = dir;
            pd.xOffsetValue = 3;
        });
        EXPECT_EQ(gone.result, 1);
        EXPECT_TRUE(blank(gone.dst, 0, narrow.pixels.size()));
        EXPECT_EQ(gone.pd.rowBytes, 48);
        EXPECT_EQ(countOf(gone.log, "cRowBytes"), 0u);
        EXPECT_NE(gone.log.find("tarvik_backend-qzOffset: yOffsetLines = 118, pd->h = 50\n"),
                  std::string::npos);
    }
    // With a template: moving up by the page's height.
    Moved up = offset(narrow, [](PageData& pd) {
        pd.templateCM = 2; // 236 lines
        pd.yOffsetValue = 5;
        pd.yOffsetDir = 1;
        pd.xOffsetValue = 1;
    });
    EXPECT_EQ(up.result, 1);
    EXPECT_EQ(up.pd.rowBytes, 48);
    EXPECT_TRUE(blank(up.dst, 0, 236 * 48));
    EXPECT_NE(up.log.find("yOffsetLines = 59, pd->h = 236, pd->yOffsetDir=1\n"), std::string::npos);
    // With a template shorter than the page: moving down by the template's length.
    Moved down = offset(narrow, [](PageData& pd) {
        pd.templateMM = 1; // 11 lines
        pd.templateCM = 0;
        pd.yOffsetValue = 2; // 23 lines
        pd.yOffsetDir = 0;
    });
    EXPECT_EQ(down.result, 1);
    EXPECT_TRUE(blank(down.dst, 0, narrow.pixels.size()));
}

TEST_F(Offsets, NarrowPageIsCentredThenMoved) {
    RasterPage page = randomPage(384, 20, 5);
    Moved right = offset(page, [](PageData& pd) { pd.xOffsetValue = 1; });
    EXPECT_EQ(right.result, 1);
    EXPECT_EQ(right.pd.w, 576);
    EXPECT_EQ(right.pd.rowBytes, 72);
    EXPECT_EQ(right.pd.h, 20);
    for (int64_t i = 0; i < 20; ++i) {
        expectMovedRow(right, page, i, 12, 2); // bytes 14 to 61
    }
    EXPECT_EQ(countOf(right.log, "tarvik_backend-qzOffset: move copy i="), 20u);
    EXPECT_NE(right.log.find("tarvik_backend-qzOffset: move copy i=19\n"), std::string::npos);
    EXPECT_EQ(right.log, [] {
        std::string expected = "tarvik_backend-qzOffset: qzOffset\n"
                               "tarvik_backend-qzOffset: cRowBytes < t58RowBytes\n"
                               "tarvik_backend-qzOffset: add view complate\n";
        for (int i = 0; i < 20; ++i) {
            expected += "tarvik_backend-qzOffset: move copy i=" + std::to_string(i) + "\n";
        }
        return expected + "tarvik_backend-qzOffset: move complate\n";
    }());

    Moved left = offset(page, [](PageData& pd) {
        pd.xOffsetValue = 1;
        pd.xOffsetDir = 1;
    });
    for (int64_t i = 0; i < 20; ++i) {
        expectMovedRow(left, page, i, 12, -2); // bytes 10 to 57
    }
    EXPECT_EQ(countOf(left.log, "move copy"), 0u);
}

TEST_F(Offsets, WidePageIsMovedThenItsCentreKept) {
    RasterPage page = randomPage(640, 12, 6); // 80 bytes
    Moved m = offset(page, [](PageData& pd) { pd.xOffsetValue = 1; });
    EXPECT_EQ(m.result, 1);
    EXPECT_EQ(m.pd.rowBytes, 72);
    for (int64_t i = 0; i < 12; ++i) {
        // Moved 2 bytes within its 80, then bytes 4 to 75 kept: source bytes 2 to 73.
        std::vector<uint8_t> expected(page.pixels.begin() + i * 80 + 2,
                                      page.pixels.begin() + i * 80 + 74);
        EXPECT_EQ(rowOf(m.dst.data(), 72, i), expected);
    }
    EXPECT_TRUE(blank(m.dst, 12 * 72, 12 * 80));
    EXPECT_NE(m.log.find("cRowBytes >= t58RowBytes\n"), std::string::npos);
    EXPECT_NE(m.log.find("tarvik_backend-qzOffset: delete view complate\n"), std::string::npos);
}

TEST_F(Offsets, BothOffsetsFitAndMoveAcrossThenDown) {
    RasterPage page = randomPage(384, 100, 7);
    Moved m = offset(page, [](PageData& pd) {
        pd.xOffsetValue = 1;
        pd.yOffsetValue = 1; // 11 lines
        pd.yOffsetDir = 0;
    });
    EXPECT_EQ(m.result, 2);
    EXPECT_EQ(m.pd.rowBytes, 72);
    EXPECT_TRUE(blank(m.dst, 0, 11 * 72));
    for (int64_t i = 11; i < 100; ++i) {
        std::vector<uint8_t> expected(72, 0);
        std::copy_n(page.pixels.begin() + (i - 11) * 48, 48, expected.begin() + 14);
        ASSERT_EQ(rowOf(m.dst.data(), 72, i), expected) << i;
    }
    EXPECT_NE(m.log.find("tarvik_backend-qzOffset move up down pd->yOffsetDir ==0\n"
                         "tarvik_backend-qzOffset: down yOffsetDir = 0, yOffsetLines = 11, "
                         "h = 100\n"),
              std::string::npos);
}

TEST_F(Offsets, DownIntoTheTemplateOrClippedAtThePage) {
    RasterPage page = randomPage(576, 300, 8);
    auto down = [](int32_t cm) {
        return [cm](PageData& pd) {
            pd.templateCM = cm;
            pd.yOffsetValue = 5; // 59 lines
            pd.yOffsetDir = 2;
        };
    };
    Moved with = offset(page, down(4)); // 472 lines
    EXPECT_EQ(with.result, 2);
    EXPECT_TRUE(blank(with.dst, 0, 59 * 72));
    EXPECT_TRUE(std::equal(page.pixels.begin(), page.pixels.end(), with.dst.begin() + 59 * 72));
    EXPECT_TRUE(blank(with.dst, 359 * 72, 472 * 72));
    Moved without = offset(page, down(kNoTemplate));
    EXPECT_EQ(without.result, 2);
    EXPECT_TRUE(std::equal(page.pixels.begin(), page.pixels.begin() + 241 * 72,
                           without.dst.begin() + 59 * 72));
}

TEST_F(Offsets, OutOfRangeValuesAreClampedAndLogged) {
    RasterPage page = randomPage(576, 30, 9);
    // 49 mm is 73 bytes at 300 dpi, past the 72-byte row: every row blank.
    Moved far = offset(page, [](PageData& pd) { pd.xOffsetValue = 49; });
    EXPECT_EQ(far.result, 1);
    EXPECT_TRUE(blank(far.dst, 0, page.pixels.size()));
    EXPECT_NE(far.log.find("tarvik_backend-qzOffset: xOffsetBytes=73 beyond the row of 72 bytes"),
              std::string::npos);
    Moved farLeft = offset(page, [](PageData& pd) {
        pd.xOffsetValue = 127;
        pd.xOffsetDir = 1;
    });
    EXPECT_TRUE(blank(farLeft.dst, 0, page.pixels.size()));
    RasterPage narrow = randomPage(96, 30, 9);
    Moved farNarrow = offset(narrow, [](PageData& pd) { pd.xOffsetValue = 127; });
    EXPECT_TRUE(blank(farNarrow.dst, 0, 30 * 72));
    // A wrapped, negative value is no offset.
    Moved negative = offset(page, [](PageData& pd) {
        pd.xOffsetValue = -56;
        pd.yOffsetValue = -1;
    });
    EXPECT_EQ(negative.result, 3);
    EXPECT_TRUE(std::equal(page.pixels.begin(), page.pixels.end(), negative.dst.begin()));
    EXPECT_NE(negative.log.find("xOffsetValue=-56 outside 0 to 127, taken as 0\n"),
              std::string::npos);
}

TEST_F(Offsets, PagesBeyondTheScratchPageAreRefusedUntouched) {
    // 29,128 rows of 72 bytes pass 2 MiB by 64 bytes.
    RasterPage big = randomPage(576, 29128, 10);
    Moved m = offset(big, [](PageData&) {});
    EXPECT_EQ(m.result, -1);
    EXPECT_EQ(m.dst[0], 0xEE);
    // Fitting 1,000 rows of one byte to a template of 29,128 rows on the 72-byte head.
    RasterPage thin = randomPage(8, 1000, 10);
    Moved fitted = offset(thin, [](PageData& pd) {
        pd.templateCM = 246; // 29,055 lines
        pd.templateMM = 6;   // 29,125
        pd.yOffsetDir = 2;
        pd.xOffsetValue = 1;
    });
    EXPECT_EQ(fitted.result, 1);
    fitted = offset(thin, [](PageData& pd) {
        pd.templateCM = 247; // 29,173 lines
        pd.yOffsetDir = 2;
        pd.xOffsetValue = 1;
    });
    EXPECT_EQ(fitted.result, -1);
}
