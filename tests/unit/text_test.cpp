// The console's two kinds of text conversion: CP949 <-> UTF-16 for the
// engine's text arguments, and the byte-wise widening of the JSON exchange.
#include "cstring.h"
#include "jsoncodec.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using platform::MultiByteToWide;
using platform::WideToMultiByte;

TEST(CodePage, KoreanRoundTripsThroughUtf16) {
    const std::string cp949 = platform::Utf8ToCp949("D:\\content\\왕좌의 게임111.mp4");
    const std::u16string wide = MultiByteToWide(cp949);
    EXPECT_EQ(wide, u"D:\\content\\왕좌의 게임111.mp4");
    EXPECT_EQ(WideToMultiByte(wide), cp949);
    EXPECT_EQ(CString(cp949).ToUtf8(), "D:\\content\\왕좌의 게임111.mp4");
}

TEST(CodePage, HangulTakesTwoBytes) {
    EXPECT_EQ(platform::Utf8ToCp949("가각"), "\xB0\xA1\xB0\xA2");
    EXPECT_EQ(MultiByteToWide("\xB0\xA1"), u"가");
}

struct BadBytes {
    const char* name;
    std::string cp949;
    std::u16string wide;
};

class CodePageInvalid : public ::testing::TestWithParam<BadBytes> {};

// A stray byte must not lose the rest of the text.
TEST_P(CodePageInvalid, ReplacedNotTruncated) {
    EXPECT_EQ(MultiByteToWide(GetParam().cp949), GetParam().wide);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, CodePageInvalid,
    ::testing::Values(BadBytes{"InvalidLead", "ab\xFF" "cd", u"ab\uFFFDcd"},
                      BadBytes{"LoneHighByte", "\x80xyz", u"\uFFFDxyz"},
                      BadBytes{"LeadWithoutTrail", "\xB0 cd", u"\uFFFD cd"},
                      BadBytes{"CutAtEnd", "ab\xB0", u"ab\uFFFD"},
                      BadBytes{"BetweenHangul", "\xB0\xA1\xFF\xB0\xA1", u"가\uFFFD가"},
                      BadBytes{"EmbeddedZero", std::string("a\0b", 3), std::u16string(u"a\0b", 3)}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(CodePage, CharactersCp949LacksBecomeQuestionMarks) {
    EXPECT_EQ(WideToMultiByte(u"a\u0E01b"), "a?b");
    EXPECT_EQ(WideToMultiByte(std::u16string(u"x") + char16_t(0xD800) + u"y"), "x?y");
}

struct Widen {
    std::string narrow;
    std::u16string wide;
};

class ByteWiseWidening : public ::testing::TestWithParam<Widen> {};

TEST_P(ByteWiseWidening, SignExtendsEachByte) {
    EXPECT_EQ(ToWideString(GetParam().narrow), GetParam().wide);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, ByteWiseWidening,
    ::testing::Values(Widen{"\xE9", u"\uFFE9"}, Widen{"\x80", u"\uFF80"}, Widen{"\xFF", u"\uFFFF"},
                      Widen{"\x7F", u"\u007F"}, Widen{"", u""},
                      Widen{std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
                      Widen{"{\"err\":-4}", u"{\"err\":-4}"}));

struct Narrow {
    std::u16string wide;
    std::string narrow;
};

class ByteWiseNarrowing : public ::testing::TestWithParam<Narrow> {};

TEST_P(ByteWiseNarrowing, KeepsLowByte) {
    EXPECT_EQ(ToNarrowString(GetParam().wide), GetParam().narrow);
}

INSTANTIATE_TEST_SUITE_P(
    Units, ByteWiseNarrowing,
    ::testing::Values(Narrow{u"\uAC00", std::string(1, '\0')}, Narrow{u"\u0141", "A"},
                      Narrow{u"\uFFE9", "\xE9"}, Narrow{u"", ""},
                      Narrow{u"{\"state\":2}", "{\"state\":2}"}));

TEST(ByteWise, AsciiRoundTrips) {
    std::string all;
    for (int c = 0; c < 0x80; ++c) all += static_cast<char>(c);
    EXPECT_EQ(ToNarrowString(ToWideString(all)), all);
}

} // namespace
