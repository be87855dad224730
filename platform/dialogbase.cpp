#include "platform/dialogbase.h"

#include "platform/dialogunits.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

namespace platform {

CDialogEx::CDialogEx(const DialogTemplate& tmpl, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_template(tmpl) {
    setSizeGripEnabled(false);
}

bool CDialogEx::Create() {
    if (m_created == 0) m_created = (CreateControls() && OnInitDialog()) ? 1 : -1;
    return m_created == 1;
}

INT_PTR CDialogEx::DoModal() {
    if (!Create()) return -1;
    return exec() == QDialog::Accepted ? IDOK : IDCANCEL;
}

bool CDialogEx::CreateControls() {
    QFont font(QString::fromUtf8(m_template.fontFace), m_template.pointSize);
    font.setStyleStrategy(QFont::PreferDefault);
    setFont(font);
    setWindowTitle(QString::fromUtf8(m_template.title));
    m_baseUnits = BaseUnitsFor(font);
    if (m_baseUnits.cx <= 0 || m_baseUnits.cy <= 0) return false;

    // Controls are created in template order, which Qt takes as the tab order.
    for (const ControlTemplate& c : m_template.controls) {
        QWidget* widget = nullptr;
        const QString text = c.text ? QString::fromUtf8(c.text) : QString();
        switch (c.cls) {
        case ControlClass::Button: {
            auto* button = new QPushButton(text, this);
            button->setAutoDefault(false);
            button->setDefault(false);
            widget = button;
            break;
        }
        case ControlClass::Static: {
            auto* label = new QLabel(text, this);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            widget = label;
            break;
        }
        case ControlClass::ProgressBar: {
            auto* bar = new QProgressBar(this);
            bar->setRange(0, 100);
            bar->setValue(0);
            bar->setTextVisible(false);
            widget = bar;
            break;
        }
        }
        widget->setGeometry(MapDialogRect(QRect(c.x, c.y, c.cx, c.cy), m_baseUnits));
        widget->setProperty("dlgCtrlId", c.id);
        if (c.id != IDC_STATIC) m_items[c.id] = widget;
    }
    // Absolute positions and no layout: resizing the frame moves nothing.
    resize(MapDialogRect(QRect(0, 0, m_template.cx, m_template.cy), m_baseUnits).size());
    return true;
}

BOOL CDialogEx::UpdateData(BOOL bSaveAndValidate) {
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return dx.m_bFailed ? FALSE : TRUE;
}

QWidget* CDialogEx::GetDlgItem(int nID) const {
    const auto it = m_items.find(nID);
    return it == m_items.end() ? nullptr : it->second;
}

void CDialogEx::SetIcon(const QIcon& icon, BOOL bBigIcon) {
    // X11 and Wayland keep one icon set per window; big and small are its sizes.
    (void)bBigIcon;
    setWindowIcon(icon);
}

void CDialogEx::DoDataExchange(CDataExchange*) {}

BOOL CDialogEx::OnInitDialog() {
    return UpdateData(FALSE);
}

} // namespace platform
