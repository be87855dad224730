// The window itself: template, start-up values, the start and stop commands,
// the modal run and the application shell around it.
#include "harness.h"
#include "maindialog.h"
#include "quarndemo.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QKeyEvent>
#include <QProgressBar>
#include <QTimer>

#include <cmath>
#include <functional>

namespace quarn::test {
namespace {

using platform::ControlClass;

TEST(DialogFont, NanumGothicIsInstalled) {
    // Without it every position in the window is off; this must not pass quietly.
    ASSERT_TRUE(QFontDatabase::families().contains(QStringLiteral("NanumGothic")))
        << "install fonts-nanum";
    CQuarnDemoDlg dlg;
    ASSERT_TRUE(dlg.Create());
    EXPECT_EQ(QFontInfo(dlg.font()).family(), QStringLiteral("NanumGothic"));
    EXPECT_EQ(QFontInfo(dlg.font()).pointSize(), 9);
}

TEST_F(DialogTest, StartsWithEmptyStateAndZeros) {
    EXPECT_EQ(Text(IDC_STATE), QString());
    for (int id : {IDC_SPEED, IDC_REMAIN_TIME, IDC_RECEIVE_SIZE, IDC_FILE_SIZE})
        EXPECT_EQ(Text(id), QStringLiteral("0")) << id;
    const auto* bar = qobject_cast<QProgressBar*>(Item(IDC_PROGRESS));
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->value(), bar->minimum());
}

// Dialog units to pixels, rounded to nearest, worked out here independently.
QRect Pixels(int x, int y, int w, int h, platform::DialogBaseUnits base) {
    const auto across = [&](int v) { return static_cast<int>(std::lround(v * base.cx / 4.0)); };
    const auto down = [&](int v) { return static_cast<int>(std::lround(v * base.cy / 8.0)); };
    return QRect(across(x), down(y), across(w), down(h));
}

TEST_F(DialogTest, ControlsFollowTheTemplate) {
    const platform::DialogTemplate& tmpl = res::MainDialogTemplate();
    const platform::DialogBaseUnits base = dlg->BaseUnits();
    ASSERT_GT(base.cx, 0);
    EXPECT_EQ(base.cy, QFontMetrics(dlg->font()).height());
    EXPECT_EQ(dlg->windowTitle(), QStringLiteral("QUARN DEMO"));
    EXPECT_EQ(dlg->size(), Pixels(0, 0, 319, 140, base).size());

    const QList<QWidget*> children = dlg->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    ASSERT_EQ(children.size(), static_cast<qsizetype>(tmpl.controls.size()));
    for (std::size_t i = 0; i < tmpl.controls.size(); ++i) {
        const platform::ControlTemplate& c = tmpl.controls[i];
        QWidget* w = children[static_cast<qsizetype>(i)];
        SCOPED_TRACE(testing::Message() << "control " << i << " id " << c.id);
        EXPECT_EQ(w->property("dlgCtrlId").toInt(), c.id);
        EXPECT_EQ(w->geometry(), Pixels(c.x, c.y, c.cx, c.cy, base));
        const QString text = c.text ? QString::fromUtf8(c.text) : QString();
        switch (c.cls) {
        case ControlClass::Button:
            ASSERT_NE(qobject_cast<QPushButton*>(w), nullptr);
            EXPECT_EQ(qobject_cast<QPushButton*>(w)->text(), text);
            break;
        case ControlClass::Static:
            ASSERT_NE(qobject_cast<QLabel*>(w), nullptr);
            // Bound labels were refreshed from the members at start-up.
            if (c.id == IDC_STATIC) {
                EXPECT_EQ(qobject_cast<QLabel*>(w)->text(), text);
            }
            break;
        case ControlClass::ProgressBar: EXPECT_NE(qobject_cast<QProgressBar*>(w), nullptr); break;
        }
    }
}

TEST_F(DialogTest, TabOrderIsTemplateOrderAndNoButtonIsDefault) {
    QList<QPushButton*> buttons = dlg->findChildren<QPushButton*>();
    for (QPushButton* b : buttons) {
        EXPECT_FALSE(b->isDefault()) << b->text().toStdString();
        EXPECT_FALSE(b->autoDefault()) << b->text().toStdString();
    }
    std::vector<int> order;
    QWidget* first = Item(IDC_SET_SHARE_FILE);
    QWidget* w = first;
    do {
        if (qobject_cast<QPushButton*>(w) && (w->focusPolicy() & Qt::TabFocus))
            order.push_back(w->property("dlgCtrlId").toInt());
        w = w->nextInFocusChain();
    } while (w && w != first);
    EXPECT_EQ(order, (std::vector<int>{IDC_SET_SHARE_FILE, IDC_SET_SHARE_FILE3, IDC_SET_SHARE_FILE2,
                                       IDC_START_DOWNLOAD, IDC_STOP_DOWNLOAD,
                                       IDC_START_DOWNLOAD_JSON}));
}

class StartStop : public DialogTest, public ::testing::WithParamInterface<int> {};

TEST_P(StartStop, StartDisablesOnlyStartButtonsAndStopRestoresThem) {
    for (std::size_t round = 1; round <= 2; ++round) {
        Click(GetParam());
        EXPECT_FALSE(StartEnabled());
        for (int id : {IDC_STOP_DOWNLOAD, IDC_SET_SHARE_FILE, IDC_SET_SHARE_FILE2, IDC_SET_SHARE_FILE3})
            EXPECT_TRUE(Enabled(id)) << id;
        Click(IDC_STOP_DOWNLOAD);
        EXPECT_TRUE(StartEnabled());
        EXPECT_EQ(fakeengine::CountCalls("stopDownload"), round);
        ASSERT_TRUE(WorkersEnded());
    }
}

INSTANTIATE_TEST_SUITE_P(Buttons, StartStop,
                         ::testing::Values(IDC_START_DOWNLOAD, IDC_START_DOWNLOAD_JSON));

TEST_F(DialogTest, StopWhileIdleCallsEngineAndChangesNothingShown) {
    const QString before[] = {Text(IDC_STATE), Text(IDC_SPEED), Text(IDC_FILE_SIZE)};
    for (std::size_t presses = 1; presses <= 3; ++presses) {
        Click(IDC_STOP_DOWNLOAD);
        EXPECT_EQ(fakeengine::CountCalls("stopDownload"), presses);
    }
    EXPECT_TRUE(StartEnabled());
    EXPECT_EQ(before[0], Text(IDC_STATE));
    EXPECT_EQ(before[1], Text(IDC_SPEED));
    EXPECT_EQ(before[2], Text(IDC_FILE_SIZE));
    EXPECT_TRUE(fakeengine::CallsTo("startDownload").empty());
}

struct BadText {
    int id;
    const char* text;
};

class UnparsableText : public DialogTest, public ::testing::WithParamInterface<BadText> {};

TEST_P(UnparsableText, SaveFailsAndStartGoesOn) {
    qobject_cast<QLabel*>(Item(GetParam().id))->setText(QString::fromUtf8(GetParam().text));
    EXPECT_FALSE(dlg->UpdateData(TRUE));
    Click(IDC_START_DOWNLOAD);
    EXPECT_FALSE(StartEnabled());
    EXPECT_TRUE(pump([] { return fakeengine::CountCalls("startDownload") == 1; }));
}

INSTANTIATE_TEST_SUITE_P(Texts, UnparsableText,
                         ::testing::Values(BadText{IDC_SPEED, "abc"},
                                           BadText{IDC_REMAIN_TIME, "2147483648"},
                                           BadText{IDC_RECEIVE_SIZE, "1.5"},
                                           BadText{IDC_FILE_SIZE, ""}));

TEST_F(DialogTest, SaveReadsTextsBackIntoMembers) {
    qobject_cast<QLabel*>(Item(IDC_SPEED))->setText("12.5");
    qobject_cast<QLabel*>(Item(IDC_REMAIN_TIME))->setText("-1");
    qobject_cast<QLabel*>(Item(IDC_FILE_SIZE))->setText("2208143958");
    qobject_cast<QLabel*>(Item(IDC_STATE))->setText(QString::fromUtf8("전송중"));
    ASSERT_TRUE(dlg->UpdateData(TRUE));
    EXPECT_EQ(dlg->m_dSpeed, 12.5);
    EXPECT_EQ(dlg->m_nRemainTime, -1);
    EXPECT_EQ(dlg->m_nFileSize, 2208143958);
    EXPECT_EQ(dlg->m_strState, CString::FromUtf8("전송중"));
}

enum class Closing { Escape, CloseBox };

// Acts on the modal window once its run has begun.
void WhenModal(std::function<void(QWidget*)> act) {
    QTimer::singleShot(0, [act] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal) return act(modal);
        ADD_FAILURE() << "no modal window";
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<QDialog*>(w); d && d->isVisible()) d->reject();
    });
}

void Close(QWidget* modal, Closing how) {
    if (how == Closing::Escape) {
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QCoreApplication::sendEvent(modal, &escape);
    } else {
        modal->close();
    }
}

class ModalRun : public ::testing::TestWithParam<Closing> {};

TEST_P(ModalRun, ClosingCancelsAndJoinsTheWorker) {
    fakeengine::Reset();
    CQuarnDemoDlg dlg;
    dlg.Pacer().SetInterval(20ms);
    WhenModal([&](QWidget* modal) {
        EXPECT_EQ(modal, &dlg);
        dlg.OnStartDownload();
        EXPECT_TRUE(pump([] { return fakeengine::CountCalls("getDownloadState") > 0; }));
        Close(modal, GetParam());
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(dlg.RunningWorkers(), 0u);
    fakeengine::Reset();
}

INSTANTIATE_TEST_SUITE_P(Ways, ModalRun, ::testing::Values(Closing::Escape, Closing::CloseBox),
                         [](const auto& row) { return row.param == Closing::Escape ? "Escape" : "CloseBox"; });

// The application shell's trace lines.
std::vector<QString> g_appLog;
void CaptureAppLog(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (QByteArrayView(context.category) == "quarn.app" && type == QtWarningMsg)
        g_appLog.push_back(text);
}

class UncreatableDlg : public CQuarnDemoDlg {
protected:
    BOOL OnInitDialog() override { return FALSE; }
};

struct ShellCase {
    const char* name;
    bool creatable;
    std::vector<QString> log;
};

class AppShell : public ::testing::TestWithParam<ShellCase> {};

TEST_P(AppShell, RunsTheConsoleModallyAndAnswersFalse) {
    const ShellCase& c = GetParam();
    CQuarnDemoApp app;
    app.SetDialogFactory([&]() -> std::unique_ptr<CQuarnDemoDlg> {
        if (!c.creatable) return std::make_unique<UncreatableDlg>();
        WhenModal([](QWidget* modal) { Close(modal, Closing::Escape); });
        return std::make_unique<CQuarnDemoDlg>();
    });
    QCoreApplication::setOrganizationName(QString());
    g_appLog.clear();
    const QtMessageHandler previous = qInstallMessageHandler(&CaptureAppLog);
    const BOOL result = app.InitInstance();
    qInstallMessageHandler(previous);
    EXPECT_EQ(result, FALSE);
    EXPECT_EQ(g_appLog, c.log);
    EXPECT_EQ(QCoreApplication::organizationName(), QString::fromUtf8(app::kSettingsOrganization));
    EXPECT_EQ(app.m_dwRestartManagerSupportFlags, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, AppShell,
    ::testing::Values(ShellCase{"ClosedByEscape", true, {}},
                      ShellCase{"CreationFails",
                                false,
                                {QString::fromUtf8(app::kCreateFailedWarnings[0]),
                                 QString::fromUtf8(app::kCreateFailedWarnings[1])}}),
    [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace quarn::test
