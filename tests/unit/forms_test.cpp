// The number forms of the data exchange, and dialog units to pixels.
#include "ddx.h"
#include "dialogunits.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace {

using platform::FormatDouble;
using platform::FormatInt;
using platform::ParseDouble;
using platform::ParseInt;

constexpr std::int64_t kI32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kI32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();

TEST(DataExchangeForms, IntegersAreSignedDecimal) {
    EXPECT_EQ(FormatInt(0), "0");
    EXPECT_EQ(FormatInt(-1), "-1");
    EXPECT_EQ(FormatInt(2208143958), "2208143958");
    EXPECT_EQ(FormatInt(kI64Min), "-9223372036854775808");
}

TEST(DataExchangeForms, DoublesUseGeneralNotation) {
    EXPECT_EQ(FormatDouble(0.0), "0");
    EXPECT_EQ(FormatDouble(1536.0), "1536");
    EXPECT_EQ(FormatDouble(12.5), "12.5");
    EXPECT_EQ(FormatDouble(0.1), "0.1");
    EXPECT_EQ(FormatDouble(1.0 / 3.0), "0.333333333333333");
    EXPECT_EQ(FormatDouble(1e20), "1e+20");
    EXPECT_EQ(FormatDouble(-2.5e-7), "-2.5e-07");
}

struct IntText {
    const char* name;
    std::string text;
    std::int64_t min, max;
    std::optional<std::int64_t> value;
};

class ParseIntText : public ::testing::TestWithParam<IntText> {};

TEST_P(ParseIntText, AcceptsWholeSignedDecimalsInRange) {
    const IntText& p = GetParam();
    EXPECT_EQ(ParseInt(p.text, p.min, p.max), p.value);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseIntText,
    ::testing::Values(IntText{"Plain", "12", kI32Min, kI32Max, 12},
                      IntText{"Negative", "-7", kI32Min, kI32Max, -7},
                      IntText{"PlusSign", "+7", kI32Min, kI32Max, 7},
                      IntText{"Padded", " 42\t", kI32Min, kI32Max, 42},
                      IntText{"Int32Min", "-2147483648", kI32Min, kI32Max, kI32Min},
                      IntText{"AboveInt32", "2147483648", kI32Min, kI32Max, std::nullopt},
                      IntText{"Int64Max", "9223372036854775807", kI64Min, kI64Max, kI64Max},
                      IntText{"AboveInt64", "9223372036854775808", kI64Min, kI64Max, std::nullopt},
                      IntText{"Fraction", "1.5", kI64Min, kI64Max, std::nullopt},
                      IntText{"TrailingText", "12abc", kI64Min, kI64Max, std::nullopt},
                      IntText{"Empty", "", kI64Min, kI64Max, std::nullopt},
                      IntText{"SignOnly", "-", kI64Min, kI64Max, std::nullopt},
                      IntText{"Word", "abc", kI64Min, kI64Max, std::nullopt}),
    [](const auto& row) { return std::string(row.param.name); });

struct DoubleText {
    const char* name;
    std::string text;
    std::optional<double> value;
};

class ParseDoubleText : public ::testing::TestWithParam<DoubleText> {};

TEST_P(ParseDoubleText, AcceptsWholeNumbers) {
    EXPECT_EQ(ParseDouble(GetParam().text), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseDoubleText,
    ::testing::Values(DoubleText{"Fraction", "1536.75", 1536.75},
                      DoubleText{"Exponent", "1e3", 1000.0},
                      DoubleText{"Negative", "-0.5", -0.5}, DoubleText{"Padded", " 2 ", 2.0},
                      DoubleText{"Overflow", "1e999", std::nullopt},
                      DoubleText{"TrailingText", "1.5x", std::nullopt},
                      DoubleText{"Empty", "", std::nullopt},
                      DoubleText{"Word", "abc", std::nullopt}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(DataExchangeForms, FormattedValuesParseBack) {
    for (double d : {0.0, 1536.0, 12.5, 0.1, -2.5e-7, 1e20})
        EXPECT_EQ(ParseDouble(FormatDouble(d)), d) << d;
    for (std::int64_t n : {kI64Min, std::int64_t{-1}, std::int64_t{0}, kI64Max})
        EXPECT_EQ(ParseInt(FormatInt(n), kI64Min, kI64Max), n) << n;
}

struct UnitsRow {
    QRect units;
    platform::DialogBaseUnits base;
    QRect pixels;
};

class DialogUnits : public ::testing::TestWithParam<UnitsRow> {};

// x * base / 4 across and y * height / 8 down, rounded to nearest.
TEST_P(DialogUnits, MapToPixels) {
    EXPECT_EQ(platform::MapDialogRect(GetParam().units, GetParam().base), GetParam().pixels);
}

INSTANTIATE_TEST_SUITE_P(
    Rects, DialogUnits,
    ::testing::Values(UnitsRow{QRect(0, 0, 319, 140), {4, 8}, QRect(0, 0, 319, 140)},
                      UnitsRow{QRect(0, 0, 319, 140), {6, 13}, QRect(0, 0, 479, 228)},
                      UnitsRow{QRect(7, 119, 50, 14), {7, 16}, QRect(12, 238, 88, 28)},
                      UnitsRow{QRect(177, 92, 77, 19), {6, 15}, QRect(266, 173, 116, 36)},
                      UnitsRow{QRect(1, 1, 2, 3), {6, 12}, QRect(2, 2, 3, 5)},
                      UnitsRow{QRect(-1, -3, 1, 1), {6, 12}, QRect(-2, -5, 2, 2)}));

} // namespace
