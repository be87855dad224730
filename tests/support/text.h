// Text conversions the suites and benchmarks share: UTF-8 test data to and
// from the engine's UTF-16, CP949 for the 8-bit entry point, JSON strings.
#pragma once

#include <string>
#include <string_view>

namespace quarn::test {

// UTF-8 -> UTF-16 (cli/utf16.h, the command's own); throws for text that is
// not UTF-8, which test data must be.
std::u16string u16(std::string_view utf8);
// UTF-16 -> UTF-8; a lone surrogate becomes U+FFFD.
std::string utf8(std::u16string_view text);
// An engine's answer up to its terminating zero; NULL reads as "".
std::string utf8(const char16_t* text);
// UTF-8 -> CP949 (the console's code page); throws if iconv cannot.
std::string cp949(std::string_view utf8);
// Backslashes and quotes escaped, as inside a JSON string.
std::string jsonEscape(std::string_view text);

} // namespace quarn::test
