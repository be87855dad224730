#include "platform/ddx.h"

#include "platform/dialogbase.h"

#include <QLabel>
#include <QProgressBar>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

void CProgressCtrl::SetRange32(int lower, int upper) {
    if (m_bar) m_bar->setRange(lower, upper);
}
void CProgressCtrl::SetPos(int pos) {
    if (m_bar) m_bar->setValue(pos);
}
int CProgressCtrl::GetPos() const {
    return m_bar ? m_bar->value() : 0;
}
void CProgressCtrl::GetRange(int& lower, int& upper) const {
    lower = m_bar ? m_bar->minimum() : 0;
    upper = m_bar ? m_bar->maximum() : 0;
}

namespace platform {

std::string FormatInt(std::int64_t value) {
    return std::to_string(value);
}

std::string FormatDouble(double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", value);
    return buf;
}

namespace {
std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}
} // namespace

std::optional<std::int64_t> ParseInt(std::string_view text, std::int64_t min, std::int64_t max) {
    text = Trim(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (value < min || value > max) return std::nullopt;
    return value;
}

std::optional<double> ParseDouble(std::string_view text) {
    const std::string s(Trim(text));
    if (s.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size() || errno == ERANGE) return std::nullopt;
    return value;
}

} // namespace platform

namespace {

QLabel* Label(CDataExchange* pDX, int nIDC) {
    return qobject_cast<QLabel*>(pDX->m_pDlgWnd->GetDlgItem(nIDC));
}

// Save direction: parse the control's text into the member, or mark failure.
template <class T, class Parse>
void Exchange(CDataExchange* pDX, int nIDC, T& value, Parse parse, std::string (*format)(T)) {
    if (pDX->m_bFailed) return;
    QLabel* label = Label(pDX, nIDC);
    if (!label) return;
    if (pDX->m_bSaveAndValidate) {
        const auto parsed = parse(label->text().toStdString());
        if (!parsed) {
            pDX->m_bFailed = true;
            return;
        }
        value = static_cast<T>(*parsed);
    } else {
        label->setText(QString::fromStdString(format(value)));
    }
}

template <class Int> std::string FormatInteger(Int v) {
    return platform::FormatInt(v);
}
std::string FormatDbl(double v) {
    return platform::FormatDouble(v);
}

// Signed decimal within the member's own range.
template <class Int> void ExchangeInt(CDataExchange* pDX, int nIDC, Int& value) {
    Exchange(
        pDX, nIDC, value,
        [](const std::string& t) {
            return platform::ParseInt(t, std::numeric_limits<Int>::min(),
                                      std::numeric_limits<Int>::max());
        },
        &FormatInteger<Int>);
}

} // namespace

void DDX_Text(CDataExchange* pDX, int nIDC, std::int32_t& value) {
    ExchangeInt(pDX, nIDC, value);
}

void DDX_Text(CDataExchange* pDX, int nIDC, std::int64_t& value) {
    ExchangeInt(pDX, nIDC, value);
}

void DDX_Text(CDataExchange* pDX, int nIDC, double& value) {
    Exchange(
        pDX, nIDC, value, [](const std::string& t) { return platform::ParseDouble(t); },
        &FormatDbl);
}

void DDX_Text(CDataExchange* pDX, int nIDC, CString& value) {
    if (pDX->m_bFailed) return;
    QLabel* label = Label(pDX, nIDC);
    if (!label) return;
    if (pDX->m_bSaveAndValidate)
        value = CString::FromQString(label->text());
    else
        label->setText(value.ToQString());
}

void DDX_Control(CDataExchange* pDX, int nIDC, CProgressCtrl& control) {
    if (control.IsAttached()) return;
    control.Attach(qobject_cast<QProgressBar*>(pDX->m_pDlgWnd->GetDlgItem(nIDC)));
}
