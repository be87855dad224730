// The application: process start-up, the console run modally, exit.
#pragma once

#include "platform/wintypes.h"

#include <QLoggingCategory>

#include <functional>
#include <memory>

class CQuarnDemoDlg;

Q_DECLARE_LOGGING_CATEGORY(lcQuarnApp)

class CQuarnDemoApp {
public:
    CQuarnDemoApp();
    virtual ~CQuarnDemoApp() = default;

    // Process entry: brings up Qt, runs InitInstance, answers the exit code.
    int Run(int& argc, char** argv);

    // Runs the console modally as the main window; always FALSE, so no
    // message loop follows and the process ends.
    virtual BOOL InitInstance();

    // How the console window is made; tests substitute one that fails.
    using DialogFactory = std::function<std::unique_ptr<CQuarnDemoDlg>()>;
    void SetDialogFactory(DialogFactory factory) { m_dialogFactory = std::move(factory); }

    // Restart support only: no recovery, no autosave.
    UINT m_dwRestartManagerSupportFlags;
    CQuarnDemoDlg* m_pMainWnd = nullptr;

private:
    DialogFactory m_dialogFactory;
};

extern CQuarnDemoApp theApp;

namespace app {
// The settings organisation, and the two warnings for a console that could
// not be created, in the order they are written.
extern const char* const kSettingsOrganization;
extern const char* const kCreateFailedWarnings[2];
} // namespace app
