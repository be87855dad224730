// Text conversions at the engine's boundary. Everything inside the engine is
// UTF-8; callers hand us UTF-16 or CP949 and read back ASCII JSON as UTF-16.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quarn::engine {

// Strict: a lone surrogate makes the whole text invalid (nullopt), so a
// mangled path can never be half-accepted.
std::optional<std::string> utf16ToUtf8(std::u16string_view text);

// NUL-terminated input; NULL gives nullopt.
std::optional<std::string> utf16ToUtf8(const char16_t* text);

// Code page 949 (8-bit Korean) to UTF-8 through iconv; NULL or a byte
// sequence that is not valid CP949 gives nullopt.
std::optional<std::string> cp949ToUtf8(const char* text);

// Widens ASCII into a fixed buffer of `capacity` units (including the
// terminating zero); truncates rather than overflowing.
void asciiToUtf16(std::string_view ascii, char16_t* out, std::size_t capacity) noexcept;

bool isHexDigest(std::string_view hash) noexcept; // exactly 32 hex digits

// Protocol text is ASCII, whatever the process locale.
int hexDigitValue(char c) noexcept; // 0..15, or -1
std::string asciiLower(std::string_view text);
bool startsWithNoCase(std::string_view text, std::string_view lowerPrefix) noexcept;
// Without spaces, tabs, CRs and LFs at either end.
std::string_view trimSpace(std::string_view text) noexcept;

// Decimal digits only, no sign, no overflow; nullopt otherwise.
std::optional<long long> parseDecimal(std::string_view digits) noexcept;

// The environment variable `name` as a decimal above zero; nullopt when it is
// unset or anything else.
std::optional<long long> positiveEnv(const char* name) noexcept;

} // namespace quarn::engine
