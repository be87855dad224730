#include "dialog/texts.h"

#include <quarn/quarn.h>

#include <array>
#include <string_view>

namespace texts {

namespace {

struct CodeText {
    std::int32_t code;
    std::string_view utf8;
};

constexpr std::array<CodeText, 7> kStateTexts{{
    {QUARN_STATE_PREPARING, "준비중"},
    {QUARN_STATE_CONNECTING, "연결중"},
    {QUARN_STATE_RECEIVING, "전송중"},
    {QUARN_STATE_COMPLETE, "다운로드 완료"},
    {QUARN_STATE_STOPPED, "중지"},
    {QUARN_STATE_WRITE_ERROR, "파일쓰기 에러"},
    {QUARN_STATE_SERVER_ERROR, "서버연결 실패"},
}};

constexpr std::array<CodeText, 6> kStartErrorTexts{{
    {QUARN_ERR_FILE_EXISTS, "파일 있음"},
    {QUARN_ERR_PARAMETER, "파라메터 에러"},
    {QUARN_ERR_FILE_CREATE, "파일 생성 에러"},
    {QUARN_ERR_DISK_FULL, "디스크 공간 부족"},
    {QUARN_ERR_DIRECTORY, "디렉토리 만들기 실패"},
    {QUARN_ERR_OPERATION, "동작 에러"},
}};

template <std::size_t N>
std::optional<CString> Lookup(const std::array<CodeText, N>& table, std::int32_t code) {
    for (const CodeText& entry : table)
        if (entry.code == code) return CString::FromUtf8(entry.utf8);
    return std::nullopt;
}

} // namespace

std::optional<CString> StateText(std::int32_t state) {
    return Lookup(kStateTexts, state);
}
std::optional<CString> StartErrorText(std::int32_t code) {
    return Lookup(kStartErrorTexts, code);
}

CString Registered() {
    return CString::FromUtf8("등록됨");
}
CString NotRegistered() {
    return CString::FromUtf8("등록 안됨");
}

} // namespace texts
