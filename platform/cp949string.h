// 8-bit text in the console's code page (CP949), and its conversions.
//
// The console keeps its texts as CP949 bytes, as the engine's 8-bit entry
// point expects them; UTF-16 (char16_t) is made just before an engine call and
// QString only at the widget boundary.
#pragma once

#include <QString>

#include <compare>
#include <string>
#include <string_view>

class CString {
public:
    CString() = default;
    // Takes CP949 (or plain ASCII) bytes as they are.
    CString(const char* bytes) : m_bytes(bytes ? bytes : "") {}
    explicit CString(std::string bytes) : m_bytes(std::move(bytes)) {}

    // Source literals are UTF-8; this is where they become CP949.
    static CString FromUtf8(std::string_view utf8);
    static CString FromQString(const QString& text);

    operator const char*() const { return m_bytes.c_str(); }
    const std::string& Bytes() const { return m_bytes; }
    friend bool operator==(const CString&, const CString&) = default;

    std::string ToUtf8() const;
    QString ToQString() const;

private:
    std::string m_bytes;
};

namespace platform {

// CP949 -> UTF-16, the code page of the console's texts. Bytes that are not
// valid CP949 become U+FFFD rather than cutting the text short.
std::u16string MultiByteToWide(std::string_view cp949);
// UTF-16 -> CP949; characters CP949 lacks become '?'.
std::string WideToMultiByte(std::u16string_view utf16);

std::string Utf8ToCp949(std::string_view utf8);
std::string Cp949ToUtf8(std::string_view cp949);

} // namespace platform
