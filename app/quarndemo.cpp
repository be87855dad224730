#include "app/quarndemo.h"

#include "dialog/quarndemodlg.h"

#include <QApplication>

Q_LOGGING_CATEGORY(lcQuarnApp, "quarn.app")

namespace app {
const char* const kSettingsOrganization = "로컬 응용 프로그램 마법사에서 생성된 응용 프로그램";
const char* const kCreateFailedWarnings[2] = {
    "경고: 대화 상자를 만들지 못했으므로 응용 프로그램이 예기치 않게 종료됩니다.",
    "경고: 대화 상자에서 MFC 컨트롤을 사용하는 경우 #define "
    "_AFX_NO_MFC_CONTROLS_IN_DIALOGS를 수행할 수 없습니다.",
};
} // namespace app

CQuarnDemoApp theApp;

CQuarnDemoApp::CQuarnDemoApp() : m_dwRestartManagerSupportFlags(1) {}

int CQuarnDemoApp::Run(int& argc, char** argv) {
    // The application name is left to Qt, which takes the executable's name.
    QApplication application(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(QUARNDEMO_VERSION));
    InitInstance();
    return 0;
}

BOOL CQuarnDemoApp::InitInstance() {
    QCoreApplication::setOrganizationName(QString::fromUtf8(app::kSettingsOrganization));

    std::unique_ptr<CQuarnDemoDlg> dlg =
        m_dialogFactory ? m_dialogFactory() : std::make_unique<CQuarnDemoDlg>();
    m_pMainWnd = dlg.get();
    const INT_PTR nResponse = dlg->DoModal();
    if (nResponse == -1) {
        for (const char* warning : app::kCreateFailedWarnings) qCWarning(lcQuarnApp, "%s", warning);
    }
    m_pMainWnd = nullptr;
    return FALSE;
}
