#include "dialog/texts.h"

#include <array>
#include <string_view>

namespace texts {

namespace {

struct CodeText {
    std::int32_t code;
    std::string_view utf8;
};

constexpr std::array<CodeText, 7> kStateTexts{{
    {0, "준비중"},
    {1, "연결중"},
    {2, "전송중"},
    {3, "다운로드 완료"},
    {4, "중지"},
    {5, "파일쓰기 에러"},
    {6, "서버연결 실패"},
}};

constexpr std::array<CodeText, 6> kStartErrorTexts{{
    {-1, "파일 있음"},
    {-2, "파라메터 에러"},
    {-3, "파일 생성 에러"},
    {-4, "디스크 공간 부족"},
    {-5, "디렉토리 만들기 실패"},
    {-6, "동작 에러"},
}};

template <std::size_t N>
std::optional<CString> Lookup(const std::array<CodeText, N>& table, std::int32_t code) {
    for (const CodeText& entry : table)
        if (entry.code == code) return CString::FromUtf8(entry.utf8);
    return std::nullopt;
}

} // namespace

std::optional<CString> StateText(std::int32_t state) { return Lookup(kStateTexts, state); }
std::optional<CString> StartErrorText(std::int32_t code) { return Lookup(kStartErrorTexts, code); }

CString Registered() { return CString::FromUtf8("등록됨"); }
CString NotRegistered() { return CString::FromUtf8("등록 안됨"); }

} // namespace texts
