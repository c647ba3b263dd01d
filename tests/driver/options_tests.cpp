#include "backend/options.h"

#include <gtest/gtest.h>

#include <climits>

TEST(ParseLeadingInt, ReadsAsAtoiWithoutOverflow) {
    EXPECT_EQ(parseLeadingInt("12abc"), 12);
    EXPECT_EQ(parseLeadingInt("  -7"), -7);
    EXPECT_EQ(parseLeadingInt("+5"), 5);
    EXPECT_EQ(parseLeadingInt("abc"), 0);
    EXPECT_EQ(parseLeadingInt(""), 0);
    EXPECT_EQ(parseLeadingInt("99999999999999999999"), INT_MAX);
    EXPECT_EQ(parseLeadingInt("-99999999999999999999"), INT_MIN);
    EXPECT_EQ(parseLeadingInt("-2147483648"), INT_MIN);
}
