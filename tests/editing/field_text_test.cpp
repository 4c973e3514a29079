// Time texts in both styles, and the numbers typed into fields.
#include "editing/field_text.h"

#include <gtest/gtest.h>

#include <limits>

using editing::FormatTime;
using editing::ParseTime;
using editing::TimeStyle;

TEST(TimeText, BothStylesWriteAndReadBackEveryValue) {
    EXPECT_EQ(FormatTime(2500, 1000, TimeStyle::kColon), "2:500");
    EXPECT_EQ(FormatTime(2500, 1000, TimeStyle::kDecimal), "2.500");
    EXPECT_EQ(FormatTime(2050, 1000, TimeStyle::kDecimal), "2.050");
    EXPECT_EQ(FormatTime(2050, 1000, TimeStyle::kColon), "2:50");
    EXPECT_EQ(FormatTime(7, 1000, TimeStyle::kDecimal), "0.007");
    EXPECT_EQ(FormatTime(0, 1000, TimeStyle::kColon), "0:0");
    const uint64_t values[] = {
        0,    1,    9,    10,     99,     999,       1000,
        1001, 2050, 2500, 899999, 900000, 100000000, uint64_t(UINT32_MAX) * 1000};
    for (uint64_t v : values)
        for (TimeStyle style : {TimeStyle::kColon, TimeStyle::kDecimal})
            EXPECT_EQ(ParseTime(FormatTime(v, 1000, style), 1000), v) << v;
    // Another resolution: the decimal style shows thousandths of a beat, truncated.
    EXPECT_EQ(FormatTime(1200, 480, TimeStyle::kDecimal), "2.500");
    EXPECT_EQ(FormatTime(481, 480, TimeStyle::kDecimal), "1.002");
    EXPECT_EQ(FormatTime(1200, 480, TimeStyle::kColon), "2:240");
    EXPECT_EQ(ParseTime("2.5", 480), 1200u);
    EXPECT_EQ(ParseTime("2:240", 480), 1200u);
}

TEST(TimeText, ReadingTakesBeatsUnitsAndFractionsAndRefusesTheRest) {
    EXPECT_EQ(ParseTime("2", 1000), 2000u);
    EXPECT_EQ(ParseTime(" 3 ", 1000), 3000u);
    EXPECT_EQ(ParseTime("2:1500", 1000), 3500u); // units beyond a beat add on
    EXPECT_EQ(ParseTime("2.5", 1000), 2500u);
    EXPECT_EQ(ParseTime("2.0509", 1000), 2050u); // the fraction is truncated
    EXPECT_EQ(ParseTime(".5", 1000), 500u);
    EXPECT_EQ(ParseTime("4.", 1000), 4000u);
    EXPECT_EQ(ParseTime(":250", 1000), 250u);
    for (const char* bad :
         {"", " ", "abc", "-1", "+2", "2:3:4", "2.5.1", "1e3", ":", ".", "2 5", "2,5", "x2"})
        EXPECT_FALSE(ParseTime(bad, 1000).has_value()) << bad;
    EXPECT_FALSE(ParseTime("2", 0).has_value());
    // Far too large is held at the largest value rather than wrapping to a small one.
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    EXPECT_EQ(ParseTime("99999999999999999999999", 1000), kMax);
    EXPECT_EQ(ParseTime("18446744073709551:999999999999999999999", 1000), kMax);
    EXPECT_EQ(ParseTime("18446744073709551.9", 1000), kMax);
}

TEST(FieldNumbers, OnlyFiniteDecimalNumbersAreRead) {
    EXPECT_EQ(editing::ParseNumber(" 2.5 "), 2.5);
    EXPECT_EQ(editing::ParseNumber("+3"), 3.0);
    EXPECT_EQ(editing::ParseNumber("-0.25"), -0.25);
    EXPECT_EQ(editing::ParseNumber("1e2"), 100.0);
    for (const char* bad : {"", "inf", "nan", "0x10", "1e999", "2,5", "+-1", "5 beats", "--1"})
        EXPECT_FALSE(editing::ParseNumber(bad).has_value()) << bad;
    EXPECT_EQ(editing::ParseInteger(" -12 "), -12);
    EXPECT_EQ(editing::ParseInteger("+7"), 7);
    for (const char* bad : {"", "1.5", "+-3", "99999999999999999999", "7x"})
        EXPECT_FALSE(editing::ParseInteger(bad).has_value()) << bad;
    EXPECT_EQ(editing::FormatNumber(0.9f * 10.0), "9");
    EXPECT_EQ(editing::FormatNumber(0.25), "0.25");
    EXPECT_EQ(editing::FormatNumber(100.0), "100");
    EXPECT_EQ(editing::FormatNumber(-0.001), "0");
}
