// The console's two kinds of text conversion: CP949 <-> UTF-16 for the
// engine's text arguments, and the byte-wise widening of the JSON exchange;
// and the strict UTF-8 <-> UTF-16 codec the command and the suites share.
#include "cli/utf16.h"
#include "dialog/jsoncodec.h"
#include "platform/cp949string.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

namespace {

using platform::MultiByteToWide;
using platform::WideToMultiByte;

TEST(CodePage, KoreanRoundTripsThroughUtf16) {
    const std::string cp949 = platform::Utf8ToCp949("D:\\content\\왕좌의 게임111.mp4");
    EXPECT_EQ(platform::Utf8ToCp949("가각"), "\xB0\xA1\xB0\xA2");
    EXPECT_EQ(MultiByteToWide(cp949), u"D:\\content\\왕좌의 게임111.mp4");
    EXPECT_EQ(WideToMultiByte(MultiByteToWide(cp949)), cp949);
    EXPECT_EQ(CString(cp949).ToUtf8(), "D:\\content\\왕좌의 게임111.mp4");
}

// A stray byte must not lose the rest of the text.
TEST(CodePage, InvalidBytesAreReplacedNotTruncated) {
    const std::pair<std::string, std::u16string> cases[] = {
        {"ab\xFF"
         "cd",
         u"ab\uFFFDcd"},
        {"\x80xyz", u"\uFFFDxyz"},
        {"\xB0 cd", u"\uFFFD cd"},
        {"ab\xB0", u"ab\uFFFD"},
        {"\xB0\xA1\xFF\xB0\xA1", u"가\uFFFD가"},
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    };
    for (const auto& [cp949, wide] : cases) EXPECT_EQ(MultiByteToWide(cp949), wide) << cp949;
    EXPECT_EQ(WideToMultiByte(u"a\u0E01b"), "a?b");
    EXPECT_EQ(WideToMultiByte(std::u16string(u"x") + char16_t(0xD800) + u"y"), "x?y");
}

TEST(ByteWise, WideningSignExtendsEachByte) {
    const std::pair<std::string, std::u16string> cases[] = {
        {"\xE9", u"\uFFE9"},
        {"\x80", u"\uFF80"},
        {"\xFF", u"\uFFFF"},
        {"\x7F", u"\u007F"},
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    };
    for (const auto& [narrow, wide] : cases) EXPECT_EQ(ToWideString(narrow), wide) << narrow;
}

TEST(ByteWise, NarrowingKeepsLowByte) {
    EXPECT_EQ(ToNarrowString(u"\uAC00"), std::string(1, '\0'));
    EXPECT_EQ(ToNarrowString(u"\u0141"), "A");
    EXPECT_EQ(ToNarrowString(u"\uFFE9"), "\xE9");
    std::string ascii;
    for (int c = 0; c < 0x80; ++c) ascii += static_cast<char>(c);
    EXPECT_EQ(ToNarrowString(ToWideString(ascii)), ascii);
}

// The command refuses an argument that is not UTF-8 rather than send the
// engine a guess; test data goes through the same gate.
TEST(Utf16Codec, StrictFromUtf8) {
    const std::pair<std::string, std::optional<std::u16string>> cases[] = {
        {"", u""},
        {"plain ascii", u"plain ascii"},
        {"왕좌의 게임", u"왕좌의 게임"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"}, // a surrogate pair
        {"\xEF\xBF\xBF", u"\uFFFF"},
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        {"\xC0\x80", std::nullopt},         // overlong NUL
        {"\xE0\x80\xAF", std::nullopt},     // overlong '/'
        {"\xED\xA0\x80", std::nullopt},     // a surrogate written out
        {"\xF4\x90\x80\x80", std::nullopt}, // past U+10FFFF
        {"\xF5\x80\x80\x80", std::nullopt},
        {"ab\xE2\x82", std::nullopt}, // cut at the end
        {"\x80", std::nullopt},       // a continuation on its own
        {"\xC3(", std::nullopt},      // a lead without its continuation
    };
    for (const auto& [utf8, utf16] : cases) EXPECT_EQ(quarn::utf16::fromUtf8(utf8), utf16) << utf8;
}

TEST(Utf16Codec, ToUtf8ReplacesLoneSurrogates) {
    const std::pair<std::u16string, std::string> cases[] = {
        {u"왕좌의 게임", "왕좌의 게임"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"},
        {std::u16string(1, char16_t{0xD800}) + u"x", "\xEF\xBF\xBDx"},
        {u"x" + std::u16string(1, char16_t{0xDC00}), "x\xEF\xBF\xBD"},
    };
    for (const auto& [utf16, utf8] : cases) EXPECT_EQ(quarn::utf16::toUtf8(utf16), utf8);
}

} // namespace
