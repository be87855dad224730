// Data exchange between a dialog's members and its controls' texts.
#pragma once

#include "platform/cp949string.h"
#include "platform/wintypes.h"

#include <cstdint>
#include <optional>
#include <string_view>

class QProgressBar;

namespace platform {
class CDialogEx;
}

// A progress bar as the dialog holds it: unattached until data exchange binds it.
class CProgressCtrl {
public:
    bool IsAttached() const { return m_bar != nullptr; }
    void Attach(QProgressBar* bar) { m_bar = bar; }
    void SetRange32(int lower, int upper);
    void SetPos(int pos);
    int GetPos() const;
    void GetRange(int& lower, int& upper) const;

private:
    QProgressBar* m_bar = nullptr;
};

class CDataExchange {
public:
    CDataExchange(platform::CDialogEx* dlg, BOOL bSaveAndValidate)
        : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(dlg) {}
    BOOL m_bSaveAndValidate;
    platform::CDialogEx* m_pDlgWnd;
    // Set by the first text that does not parse; the exchange stops there.
    bool m_bFailed = false;
};

void DDX_Text(CDataExchange* pDX, int nIDC, std::int32_t& value);
void DDX_Text(CDataExchange* pDX, int nIDC, std::int64_t& value);
void DDX_Text(CDataExchange* pDX, int nIDC, double& value);
void DDX_Text(CDataExchange* pDX, int nIDC, CString& value);
void DDX_Control(CDataExchange* pDX, int nIDC, CProgressCtrl& control);

namespace platform {
// The text forms: signed decimal integers, general-notation doubles.
std::string FormatInt(std::int64_t value);
std::string FormatDouble(double value);
std::optional<std::int64_t> ParseInt(std::string_view text, std::int64_t min, std::int64_t max);
std::optional<double> ParseDouble(std::string_view text);
} // namespace platform
