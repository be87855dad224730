#include "libquarn/text.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iconv.h>

namespace quarn::engine {

std::optional<std::string> utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 >= text.size()) return std::nullopt;
            const char32_t low = text[i + 1];
            if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return std::nullopt;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::optional<std::string> utf16ToUtf8(const char16_t* text) {
    if (text == nullptr) return std::nullopt;
    return utf16ToUtf8(std::u16string_view(text));
}

std::optional<std::string> cp949ToUtf8(const char* text) {
    if (text == nullptr) return std::nullopt;
    std::string_view in(text);
    if (in.empty()) return std::string();
    // One descriptor per call: iconv_t carries shift state and must not be
    // shared between threads, and registrations are rare.
    iconv_t cd = iconv_open("UTF-8", "CP949");
    // NOLINTNEXTLINE(performance-no-int-to-ptr): iconv's documented error value
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    std::string out(in.size() * 3 + 4, '\0');
    char* src = const_cast<char*>(in.data()); // iconv's signature, not modified
    std::size_t srcLeft = in.size();
    char* dst = out.data();
    std::size_t dstLeft = out.size();
    const std::size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (rc == static_cast<std::size_t>(-1) || srcLeft != 0) return std::nullopt;
    out.resize(out.size() - dstLeft);
    return out;
}

void asciiToUtf16(std::string_view ascii, char16_t* out, std::size_t capacity) noexcept {
    if (capacity == 0) return;
    std::size_t n = 0;
    for (; n < ascii.size() && n + 1 < capacity; ++n)
        out[n] = static_cast<char16_t>(static_cast<unsigned char>(ascii[n]));
    out[n] = u'\0';
}

bool isHexDigest(std::string_view hash) noexcept {
    if (hash.size() != 32) return false;
    for (char c : hash)
        if (hexDigitValue(c) < 0) return false;
    return true;
}

int hexDigitValue(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string asciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
    return out;
}

bool startsWithNoCase(std::string_view text, std::string_view lowerPrefix) noexcept {
    if (text.size() < lowerPrefix.size()) return false;
    for (std::size_t i = 0; i < lowerPrefix.size(); ++i) {
        const char c =
            text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] | 0x20) : text[i];
        if (c != lowerPrefix[i]) return false;
    }
    return true;
}

std::string_view trimSpace(std::string_view text) noexcept {
    constexpr std::string_view kSpace = " \t\r\n";
    const std::size_t first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

std::optional<long long> parseDecimal(std::string_view digits) noexcept {
    if (digits.empty() || digits.size() > 19) return std::nullopt;
    long long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        const int d = c - '0';
        if (value > (LLONG_MAX - d) / 10) return std::nullopt;
        value = value * 10 + d;
    }
    return value;
}

std::optional<long long> positiveEnv(const char* name) noexcept {
    const char* text = std::getenv(name);
    if (text == nullptr) return std::nullopt;
    const auto value = parseDecimal(text);
    if (!value || *value == 0) return std::nullopt;
    return value;
}

} // namespace quarn::engine
