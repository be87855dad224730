#include "res/maindialog.h"

#include "platform/wintypes.h"
#include "res/resource.h"

#include <array>

namespace res {

namespace {

using platform::ControlClass;
using platform::ControlTemplate;

// Template 102, in template order (= tab order). Positions in dialog units.
constexpr std::array<ControlTemplate, 17> kMainControls{{
    {IDC_SET_SHARE_FILE, ControlClass::Button, "_setShareFile", 7, 119, 50, 14},
    {IDC_SET_SHARE_FILE3, ControlClass::Button, "_setShareFile3", 111, 119, 50, 14},
    {IDC_SET_SHARE_FILE2, ControlClass::Button, "_setShareFile2", 59, 119, 50, 14},
    {IDC_PROGRESS, ControlClass::ProgressBar, nullptr, 7, 7, 305, 14},
    {IDC_STATIC, ControlClass::Static, "전송상태", 7, 28, 27, 8},
    {IDC_STATE, ControlClass::Static, "0", 46, 28, 56, 8},
    {IDC_STATIC, ControlClass::Static, "전송속도", 7, 41, 27, 8},
    {IDC_STATIC, ControlClass::Static, "남은시간", 7, 55, 27, 8},
    {IDC_START_DOWNLOAD, ControlClass::Button, "다운로드 시작", 177, 114, 77, 19},
    {IDC_STOP_DOWNLOAD, ControlClass::Button, "다운로드 중지", 260, 93, 52, 40},
    {IDC_SPEED, ControlClass::Static, "0", 46, 42, 58, 8},
    {IDC_REMAIN_TIME, ControlClass::Static, "0", 46, 55, 61, 8},
    {IDC_STATIC, ControlClass::Static, "받은사이즈", 7, 70, 34, 8},
    {IDC_RECEIVE_SIZE, ControlClass::Static, "0", 46, 70, 61, 8},
    {IDC_STATIC, ControlClass::Static, "파일사이즈", 7, 84, 34, 8},
    {IDC_FILE_SIZE, ControlClass::Static, "0", 46, 84, 61, 8},
    {IDC_START_DOWNLOAD_JSON, ControlClass::Button, "다운로드 시작(JSON)", 177, 92, 77, 19},
}};

// A Korean-capable sans in place of the framework's shell dialog font.
constexpr platform::DialogTemplate kMainDialog{
    IDD_MAIN_DIALOG, "QUARN DEMO", 319, 140, "NanumGothic", 9, kMainControls};

} // namespace

const platform::DialogTemplate& MainDialogTemplate() {
    return kMainDialog;
}

const char* AppIconPath(int size) {
    switch (size) {
    case 16: return ":/icons/quarndemo-16.png";
    case 24: return ":/icons/quarndemo-24.png";
    case 32: return ":/icons/quarndemo-32.png";
    case 48: return ":/icons/quarndemo-48.png";
    default: return ":/icons/quarndemo-256.png";
    }
}

} // namespace res
