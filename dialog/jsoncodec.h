// The JSON texts exchanged with the engine: building the download request,
// reading the start reply and the status.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Byte by byte, each byte sign-extended: exact for ASCII, the only text the
// JSON exchange carries (0xE9 becomes U+FFE9).
std::u16string ToWideString(std::string text);
// Unit by unit, keeping each unit's low byte (U+AC00 becomes 0x00).
std::string ToNarrowString(std::u16string text);

namespace jsoncodec {

// The request buffer: 4096 bytes, terminating zero unit included.
inline constexpr std::size_t kRequestBufferUnits = 2048;

// The sample download request, as the styled writer lays it out.
std::string BuildRequestText(std::string_view server);
// Copies text and its terminating zero into buffer; false, and nothing
// written, if it would not fit in `units` code units.
bool CopyToBuffer(const std::u16string& text, char16_t* buffer, std::size_t units);

// An engine text up to its first zero unit, narrowed, cut at its first zero
// byte and parsed with a fresh reader into a fresh root. Parse errors are not
// reported: what was read stays, the rest reads as absent. NULL reads as "".
Json::Value ParseEngineText(const char16_t* text);

// Members read as numbers the way the status needs them. A missing member, a
// value of another type or out of range, or a root that is not an object
// reads as 0 instead of throwing.
std::int32_t ReadInt(Json::Value& root, const char* name);
std::int64_t ReadInt64(Json::Value& root, const char* name);

} // namespace jsoncodec
