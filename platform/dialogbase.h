// A dialog built from a template of controls in dialog units.
#pragma once

#include "platform/ddx.h"
#include "platform/dialogunits.h"
#include "platform/dlgtemplate.h"
#include "platform/wintypes.h"

#include <QDialog>
#include <QIcon>

#include <map>

namespace platform {

class CDialogEx : public QDialog {
    Q_OBJECT
public:
    explicit CDialogEx(const DialogTemplate& tmpl, QWidget* parent = nullptr);

    // Creates the controls and runs OnInitDialog; false if the window could
    // not be made. Runs once; later calls answer the first result.
    bool Create();
    // Create, then the modal run: IDOK/IDCANCEL, or -1 when creation failed.
    INT_PTR DoModal();

    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);
    QWidget* GetDlgItem(int nID) const;
    void SetIcon(const QIcon& icon, BOOL bBigIcon);

    const DialogTemplate& Template() const { return m_template; }
    DialogBaseUnits BaseUnits() const { return m_baseUnits; }

protected:
    virtual void DoDataExchange(CDataExchange* pDX);
    // Base: the load-direction exchange. Return false to fail creation.
    virtual BOOL OnInitDialog();

private:
    bool CreateControls();

    const DialogTemplate& m_template;
    std::map<int, QWidget*> m_items;
    DialogBaseUnits m_baseUnits{0, 0};
    int m_created = 0; // 0 not yet, 1 made, -1 failed
};

} // namespace platform
