// The number forms of the data exchange, and dialog units to pixels.
#include "platform/ddx.h"
#include "platform/dialogunits.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace {

using platform::ParseDouble;
using platform::ParseInt;

constexpr std::int64_t kI32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kI32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();

TEST(DataExchangeForms, FormatsSignedDecimalsAndGeneralDoubles) {
    EXPECT_EQ(platform::FormatInt(-1), "-1");
    EXPECT_EQ(platform::FormatInt(kI64Min), "-9223372036854775808");
    // Fifteen significant digits: a third does not read back exactly.
    EXPECT_EQ(platform::FormatDouble(1.0 / 3.0), "0.333333333333333");
    const std::pair<double, const char*> doubles[] = {
        {0.0, "0"}, {1536.0, "1536"}, {0.1, "0.1"}, {1e20, "1e+20"}, {-2.5e-7, "-2.5e-07"}};
    for (const auto& [value, text] : doubles) {
        EXPECT_EQ(platform::FormatDouble(value), text);
        EXPECT_EQ(ParseDouble(text), value) << text;
    }
}

TEST(DataExchangeForms, ParsesOnlyWholeNumbersInRange) {
    struct Row {
        const char* text;
        std::int64_t min, max;
        std::optional<std::int64_t> value;
    };
    const Row rows[] = {
        {"-7", kI32Min, kI32Max, -7},
        {"+7", kI32Min, kI32Max, 7},
        {" 42\t", kI32Min, kI32Max, 42},
        {"-2147483648", kI32Min, kI32Max, kI32Min},
        {"2147483648", kI32Min, kI32Max, {}},
        {"9223372036854775807", kI64Min, kI64Max, kI64Max},
        {"9223372036854775808", kI64Min, kI64Max, {}},
        {"1.5", kI64Min, kI64Max, {}},
        {"12abc", kI64Min, kI64Max, {}},
        {"", kI64Min, kI64Max, {}},
        {"-", kI64Min, kI64Max, {}},
    };
    for (const Row& r : rows) EXPECT_EQ(ParseInt(r.text, r.min, r.max), r.value) << r.text;
    for (const char* bad : {"1e999", "1.5x", "", "abc"})
        EXPECT_EQ(ParseDouble(bad), std::nullopt) << bad;
    EXPECT_EQ(ParseDouble(" 1e3 "), 1000.0);
}

// x * base / 4 across and y * height / 8 down, rounded to nearest.
TEST(DialogUnits, MapToPixels) {
    struct Row {
        QRect units;
        platform::DialogBaseUnits base;
        QRect pixels;
    };
    const Row rows[] = {
        {QRect(0, 0, 319, 140), {4, 8}, QRect(0, 0, 319, 140)},
        {QRect(0, 0, 319, 140), {6, 13}, QRect(0, 0, 479, 228)},
        {QRect(7, 119, 50, 14), {7, 16}, QRect(12, 238, 88, 28)},
        {QRect(177, 92, 77, 19), {6, 15}, QRect(266, 173, 116, 36)},
        {QRect(1, 1, 2, 3), {6, 12}, QRect(2, 2, 3, 5)},
        {QRect(-1, -3, 1, 1), {6, 12}, QRect(-2, -5, 2, 2)},
    };
    for (const Row& r : rows) EXPECT_EQ(platform::MapDialogRect(r.units, r.base), r.pixels);
}

} // namespace
