#include "platform/cp949string.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

// One conversion through iconv. Invalid or unconvertible input is replaced
// (by `replacement` in the target encoding) instead of ending the text, so a
// stray byte can never lose the rest of it.
std::string Convert(const char* to, const char* from, std::string_view in, std::size_t unit,
                    std::string_view replacement) {
    iconv_t cd = iconv_open(to, from);
    // NOLINTNEXTLINE(performance-no-int-to-ptr): iconv's documented error value
    if (cd == reinterpret_cast<iconv_t>(-1))
        throw std::runtime_error(std::string("iconv cannot convert ") + from + " to " + to);
    std::string out;
    out.resize(in.size() * 4 + 16);
    char* inp = const_cast<char*>(in.data());
    std::size_t inLeft = in.size();
    char* outp = out.data();
    std::size_t outLeft = out.size();
    while (inLeft > 0) {
        if (iconv(cd, &inp, &inLeft, &outp, &outLeft) != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG) {
            const std::size_t used = static_cast<std::size_t>(outp - out.data());
            out.resize(out.size() * 2);
            outp = out.data() + used;
            outLeft = out.size() - used;
            continue;
        }
        // EILSEQ or EINVAL: skip one input unit and emit the replacement.
        const std::size_t skip = std::min(unit, inLeft);
        inp += skip;
        inLeft -= skip;
        if (outLeft < replacement.size()) {
            const std::size_t used = static_cast<std::size_t>(outp - out.data());
            out.resize(out.size() * 2 + replacement.size());
            outp = out.data() + used;
            outLeft = out.size() - used;
        }
        std::memcpy(outp, replacement.data(), replacement.size());
        outp += replacement.size();
        outLeft -= replacement.size();
    }
    iconv_close(cd);
    out.resize(static_cast<std::size_t>(outp - out.data()));
    return out;
}

constexpr char16_t kReplacement16[] = u"\uFFFD";

} // namespace

namespace platform {

std::u16string MultiByteToWide(std::string_view cp949) {
    const std::string bytes =
        Convert("UTF-16LE", "CP949", cp949, 1,
                std::string_view(reinterpret_cast<const char*>(kReplacement16), 2));
    std::u16string out(bytes.size() / 2, u'\0');
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

std::string WideToMultiByte(std::u16string_view utf16) {
    return Convert("CP949", "UTF-16LE",
                   std::string_view(reinterpret_cast<const char*>(utf16.data()), utf16.size() * 2),
                   2, "?");
}

std::string Utf8ToCp949(std::string_view utf8) {
    return Convert("CP949", "UTF-8", utf8, 1, "?");
}

std::string Cp949ToUtf8(std::string_view cp949) {
    return Convert("UTF-8", "CP949", cp949, 1, "\xEF\xBF\xBD");
}

} // namespace platform

CString CString::FromUtf8(std::string_view utf8) {
    return CString(platform::Utf8ToCp949(utf8));
}

CString CString::FromQString(const QString& text) {
    return CString(platform::WideToMultiByte(std::u16string_view(
        reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size()))));
}

std::string CString::ToUtf8() const {
    return platform::Cp949ToUtf8(m_bytes);
}

QString CString::ToQString() const {
    const std::u16string wide = platform::MultiByteToWide(m_bytes);
    return QString::fromUtf16(wide.data(), static_cast<qsizetype>(wide.size()));
}
