// The window itself: template, start-up values, the start and stop commands,
// the modal run and the application shell around it.
#include "app/quarndemo.h"
#include "res/maindialog.h"
#include "tests/dialog/harness.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QKeyEvent>
#include <QProgressBar>
#include <QTimer>

#include <cmath>
#include <functional>
#include <thread>

namespace quarn::test {
namespace {

TEST(DialogFont, NanumGothicIsInstalled) {
    // Without it every position in the window is off: this must fail, not skip.
    ASSERT_TRUE(QFontDatabase::families().contains("NanumGothic")) << "install fonts-nanum";
    CQuarnDemoDlg dlg;
    ASSERT_TRUE(dlg.Create());
    EXPECT_EQ(QFontInfo(dlg.font()).family(), "NanumGothic");
}

TEST_F(DialogTest, StartsWithEmptyStateAndZeros) {
    EXPECT_EQ(Text(IDC_STATE), QString());
    for (int id : {IDC_SPEED, IDC_REMAIN_TIME, IDC_RECEIVE_SIZE, IDC_FILE_SIZE})
        EXPECT_EQ(Text(id), "0") << id;
    EXPECT_EQ(dlg->m_progress.GetPos(), 0);
}

TEST_F(DialogTest, ControlsFollowTheTemplate) {
    const platform::DialogTemplate& tmpl = res::MainDialogTemplate();
    const platform::DialogBaseUnits base = dlg->BaseUnits();
    ASSERT_GT(base.cx, 0);
    EXPECT_EQ(base.cy, QFontMetrics(dlg->font()).height());
    // Units to pixels worked out here independently, rounded to nearest.
    const auto pixels = [&](int x, int y, int w, int h) {
        const auto across = [&](int v) { return static_cast<int>(std::lround(v * base.cx / 4.0)); };
        const auto down = [&](int v) { return static_cast<int>(std::lround(v * base.cy / 8.0)); };
        return QRect(across(x), down(y), across(w), down(h));
    };
    EXPECT_EQ(dlg->windowTitle(), "QUARN DEMO");
    EXPECT_EQ(dlg->size(), pixels(0, 0, 319, 140).size());

    const QList<QWidget*> children = dlg->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    ASSERT_EQ(children.size(), static_cast<qsizetype>(tmpl.controls.size()));
    for (std::size_t i = 0; i < tmpl.controls.size(); ++i) {
        const platform::ControlTemplate& c = tmpl.controls[i];
        const QWidget* w = children[static_cast<qsizetype>(i)];
        SCOPED_TRACE(testing::Message() << "control " << i << " id " << c.id);
        EXPECT_EQ(w->property("dlgCtrlId").toInt(), c.id);
        EXPECT_EQ(w->geometry(), pixels(c.x, c.y, c.cx, c.cy));
        const QString text = c.text ? QString::fromUtf8(c.text) : QString();
        if (const auto* b = qobject_cast<const QPushButton*>(w)) {
            EXPECT_EQ(b->text(), text);
            EXPECT_FALSE(b->isDefault() || b->autoDefault());
        } else if (const auto* l = qobject_cast<const QLabel*>(w); l && c.id == IDC_STATIC) {
            EXPECT_EQ(l->text(), text);
        }
    }

    std::vector<int> tabOrder;
    QWidget* w = Item(IDC_SET_SHARE_FILE);
    do {
        if (w->focusPolicy() & Qt::TabFocus) tabOrder.push_back(w->property("dlgCtrlId").toInt());
        w = w->nextInFocusChain();
    } while (w != Item(IDC_SET_SHARE_FILE));
    EXPECT_EQ(tabOrder,
              (std::vector<int>{IDC_SET_SHARE_FILE, IDC_SET_SHARE_FILE3, IDC_SET_SHARE_FILE2,
                                IDC_START_DOWNLOAD, IDC_STOP_DOWNLOAD, IDC_START_DOWNLOAD_JSON}));
}

class StartStop : public DialogTest, public ::testing::WithParamInterface<int> {};

// A stop racing the worker's start may add one from the worker itself.
std::size_t UiThreadStops() {
    return fakeengine::CountCallsOnThread("stopDownload", std::this_thread::get_id());
}

TEST_P(StartStop, StartDisablesOnlyStartButtonsAndStopRestoresThem) {
    const auto shown = [&] { return Text(IDC_STATE) + Text(IDC_SPEED) + Text(IDC_FILE_SIZE); };
    for (std::size_t round = 1; round <= 2; ++round) {
        Click(GetParam());
        EXPECT_FALSE(StartEnabled());
        for (int id :
             {IDC_STOP_DOWNLOAD, IDC_SET_SHARE_FILE, IDC_SET_SHARE_FILE2, IDC_SET_SHARE_FILE3})
            EXPECT_TRUE(Enabled(id)) << id;
        Click(IDC_STOP_DOWNLOAD);
        EXPECT_TRUE(StartEnabled());
        EXPECT_EQ(UiThreadStops(), 2 * round - 1);
        ASSERT_TRUE(WorkersEnded());
        QCoreApplication::processEvents();
        // Idle now: stop still reaches the engine, and nothing shown changes.
        const QString before = shown();
        Click(IDC_STOP_DOWNLOAD);
        EXPECT_EQ(UiThreadStops(), 2 * round);
        EXPECT_TRUE(StartEnabled());
        EXPECT_EQ(shown(), before);
    }
}

INSTANTIATE_TEST_SUITE_P(Buttons, StartStop,
                         ::testing::Values(IDC_START_DOWNLOAD, IDC_START_DOWNLOAD_JSON),
                         [](const auto& row) {
                             return row.param == IDC_START_DOWNLOAD ? "StartDownload"
                                                                    : "StartDownloadJson";
                         });

TEST_F(DialogTest, UnparsableTextFailsSaveButStartGoesOn) {
    const std::pair<int, const char*> rows[] = {{IDC_SPEED, "abc"},
                                                {IDC_REMAIN_TIME, "2147483648"},
                                                {IDC_RECEIVE_SIZE, "1.5"},
                                                {IDC_FILE_SIZE, ""}};
    for (const auto& [id, text] : rows) {
        ASSERT_TRUE(dlg->UpdateData(FALSE));
        qobject_cast<QLabel*>(Item(id))->setText(text);
        EXPECT_FALSE(dlg->UpdateData(TRUE)) << id;
    }
    Click(IDC_START_DOWNLOAD);
    EXPECT_FALSE(StartEnabled());
    EXPECT_TRUE(pump(*dlg, [] { return fakeengine::CountCalls("startDownload") == 1; }));
}

enum class Closing { Escape, CloseBox };

// Acts on the modal window once its run has begun.
void WhenModal(std::function<void(QWidget*)> act) {
    QTimer::singleShot(0, [act] {
        if (QWidget* modal = QApplication::activeModalWidget()) return act(modal);
        ADD_FAILURE() << "no modal window";
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<QDialog*>(w); d && d->isVisible()) d->reject();
    });
}

void Close(QWidget* modal, Closing how) {
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    if (how == Closing::Escape)
        QCoreApplication::sendEvent(modal, &escape);
    else
        modal->close();
}

class ModalRun : public ::testing::TestWithParam<Closing> {};

TEST_P(ModalRun, ClosingCancelsAndJoinsTheWorker) {
    fakeengine::Reset();
    CQuarnDemoDlg dlg;
    dlg.Pacer().SetInterval(20ms);
    WhenModal([&](QWidget* modal) {
        EXPECT_EQ(modal, &dlg);
        dlg.OnStartDownload();
        EXPECT_TRUE(pump(dlg, [] { return fakeengine::CountCalls("getDownloadState") > 0; }));
        Close(modal, GetParam());
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(dlg.RunningWorkers(), 0u);
    fakeengine::Reset();
}

INSTANTIATE_TEST_SUITE_P(Ways, ModalRun, ::testing::Values(Closing::Escape, Closing::CloseBox),
                         [](const auto& row) {
                             return row.param == Closing::Escape ? "Escape" : "CloseBox";
                         });

std::vector<QString> g_appLog;
void CaptureAppLog(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (QByteArrayView(context.category) == "quarn.app" && type == QtWarningMsg)
        g_appLog.push_back(text);
}

class UncreatableDlg : public CQuarnDemoDlg {
protected:
    BOOL OnInitDialog() override { return FALSE; }
};

class AppShell : public ::testing::TestWithParam<bool> {};

TEST_P(AppShell, RunsConsoleModallyAndAnswersFalse) {
    const bool creatable = GetParam();
    CQuarnDemoApp app;
    app.SetDialogFactory([&]() -> std::unique_ptr<CQuarnDemoDlg> {
        if (!creatable) return std::make_unique<UncreatableDlg>();
        WhenModal([](QWidget* modal) { Close(modal, Closing::Escape); });
        return std::make_unique<CQuarnDemoDlg>();
    });
    QCoreApplication::setOrganizationName(QString());
    g_appLog.clear();
    const QtMessageHandler previous = qInstallMessageHandler(&CaptureAppLog);
    EXPECT_EQ(app.InitInstance(), FALSE);
    qInstallMessageHandler(previous);
    std::vector<QString> expected;
    if (!creatable)
        for (const char* warning : app::kCreateFailedWarnings)
            expected.push_back(QString::fromUtf8(warning));
    EXPECT_EQ(g_appLog, expected);
    EXPECT_EQ(QCoreApplication::organizationName(), QString::fromUtf8(app::kSettingsOrganization));
}

INSTANTIATE_TEST_SUITE_P(Runs, AppShell, ::testing::Bool(), [](const auto& row) {
    return row.param ? "ClosedByEscape" : "CreationFails";
});

} // namespace
} // namespace quarn::test
