// A created console dialog on the fake engine, with its workers' reports and
// its message boxes recorded.
#pragma once

#include "dialog/quarndemodlg.h"
#include "dialog/samplerequest.h"
#include "platform/message.h"
#include "platform/msgbox.h"
#include "res/resource.h"
#include "tests/fakeengine/fakeengine.h"
#include "tests/support/console_window.h"
#include "tests/support/text.h"
#include "tests/support/wait.h"

#include <quarn/quarn.h>

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

namespace quarn::test {

using namespace std::chrono_literals;

// Waits on a condition that needs the UI thread's events delivered; a
// failure says what the window showed last.
template <class Pred>
::testing::AssertionResult pump(const CQuarnDemoDlg& window, Pred pred,
                                std::chrono::milliseconds deadline = 10s) {
    return pumpWindow(window, pred, deadline);
}

// An engine status text: the state, then further members as written
// (",\"speed\":5").
inline std::u16string StatusJson(std::int32_t state, const std::string& members = "") {
    return u16("{\"state\":" + std::to_string(state) + members + "}");
}

struct Report {
    UINT message;
    std::int32_t wParam;
    LPARAM lParam;
    std::uint32_t sender;
    std::optional<TransferInfo> record;
};

// Sees each posted report before the dialog does, and lets it through.
class ReportRecorder : public QObject {
public:
    std::vector<Report> reports;

    std::vector<Report> From(std::uint32_t sender) const {
        std::vector<Report> out;
        for (const Report& r : reports)
            if (r.sender == sender) out.push_back(r);
        return out;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Type(WM_TRANSFER_ERROR) ||
            event->type() == QEvent::Type(WM_TRANSFER_PROGRESS)) {
            const auto* m = static_cast<const platform::CPostedMessage*>(event);
            platform::AcceptMessage(m);
            Report r{m->Message(),
                     static_cast<std::int32_t>(static_cast<std::intptr_t>(m->WParam())),
                     m->LParam(), m->Sender(), std::nullopt};
            if (m->LParam()) r.record = *reinterpret_cast<const TransferInfo*>(m->LParam());
            reports.push_back(std::move(r));
        }
        return QObject::eventFilter(watched, event);
    }
};

struct Box {
    QString caption;
    QString text;
    UINT type;
};

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        fakeengine::Reset();
        platform::SetMessageBoxHandler(
            [this](const QString& caption, const QString& text, UINT type) {
                boxes.push_back({caption, text, type});
                return 1;
            });
        dlg = std::make_unique<CQuarnDemoDlg>();
        ASSERT_TRUE(dlg->Create());
        dlg->Pacer().SetInterval(20ms);
        dlg->installEventFilter(&recorder);
    }

    void TearDown() override {
        dlg.reset();
        QCoreApplication::processEvents();
        platform::SetMessageBoxHandler({});
        fakeengine::Reset();
    }

    QWidget* Item(int id) const { return dlg->GetDlgItem(id); }
    QString Text(int id) const { return qobject_cast<QLabel*>(Item(id))->text(); }
    void Click(int id) const { qobject_cast<QPushButton*>(Item(id))->click(); }
    bool Enabled(int id) const { return Item(id)->isEnabled(); }
    bool StartEnabled() const {
        EXPECT_EQ(Enabled(IDC_START_DOWNLOAD), Enabled(IDC_START_DOWNLOAD_JSON));
        return Enabled(IDC_START_DOWNLOAD);
    }
    ::testing::AssertionResult WorkersEnded() const {
        return pump(*dlg, [&] { return dlg->RunningWorkers() == 0; });
    }

    ReportRecorder recorder;
    std::vector<Box> boxes;
    std::unique_ptr<CQuarnDemoDlg> dlg;
};

} // namespace quarn::test
