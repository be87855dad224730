#include "tests/support/text.h"

#include "cli/utf16.h"

#include <iconv.h>

#include <cerrno>
#include <memory>
#include <stdexcept>

namespace quarn::test {

std::u16string u16(std::string_view utf8) {
    std::optional<std::u16string> text = utf16::fromUtf8(utf8);
    if (!text) throw std::invalid_argument("test data that is not UTF-8: " + std::string(utf8));
    return *text;
}

std::string utf8(std::u16string_view text) {
    return utf16::toUtf8(text);
}

std::string utf8(const char16_t* text) {
    return text ? utf8(std::u16string_view(text)) : std::string();
}

std::string cp949(std::string_view utf8) {
    const std::unique_ptr<void, int (*)(iconv_t)> cd(iconv_open("CP949", "UTF-8"), iconv_close);
    if (cd.get() == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv knows no CP949");
    std::string in(utf8), out(utf8.size() * 2 + 4, '\0');
    char* from = in.data();
    char* to = out.data();
    std::size_t inLeft = in.size(), outLeft = out.size();
    if (iconv(cd.get(), &from, &inLeft, &to, &outLeft) == static_cast<std::size_t>(-1))
        throw std::runtime_error("not convertible to CP949: " + in);
    out.resize(out.size() - outLeft);
    return out;
}

std::string jsonEscape(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

} // namespace quarn::test
