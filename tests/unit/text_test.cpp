// The console's two kinds of text conversion: CP949 <-> UTF-16 for the
// engine's text arguments, and the byte-wise widening of the JSON exchange.
#include "dialog/jsoncodec.h"
#include "platform/cp949string.h"

#include <gtest/gtest.h>

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

} // namespace
