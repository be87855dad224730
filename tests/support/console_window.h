// Waiting on the console window, for the suites that drive it (dialog, e2e):
// a wait that gives up says what the window showed last, so a failure on a
// loaded machine can be told from one of the product.
#pragma once

#include "dialog/quarndemodlg.h"
#include "res/resource.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QLabel>

#include <chrono>
#include <ostream>
#include <string>

// The console's CP949 texts as readable text in a failed expectation.
inline void PrintTo(const CString& text, std::ostream* out) {
    *out << '"' << text.ToUtf8() << '"';
}

namespace quarn::test {

// The window's readouts as a user sees them, the bar, the start button and
// the workers still running.
inline std::string describeWindow(const CQuarnDemoDlg& dlg) {
    static constexpr struct {
        int id;
        const char* name;
        const char* unit;
    } kReadouts[] = {
        {IDC_STATE, "state", ""},         {IDC_SPEED, "speed", " KiB/s"},
        {IDC_REMAIN_TIME, "left", " s"},  {IDC_RECEIVE_SIZE, "received", " B"},
        {IDC_FILE_SIZE, "on disk", " B"},
    };
    std::string text;
    for (const auto& readout : kReadouts) {
        const auto* label = qobject_cast<const QLabel*>(dlg.GetDlgItem(readout.id));
        text += std::string(readout.name) + " '" +
                (label ? label->text().toStdString() : std::string("?")) + "'" + readout.unit +
                ", ";
    }
    int lower = 0, upper = 0;
    dlg.m_progress.GetRange(lower, upper);
    const QWidget* start = dlg.GetDlgItem(IDC_START_DOWNLOAD);
    return text + "bar " + std::to_string(dlg.m_progress.GetPos()) + "/" + std::to_string(upper) +
           ", start " + (start && start->isEnabled() ? "enabled" : "disabled") + ", workers " +
           std::to_string(dlg.RunningWorkers());
}

// Delivers the UI thread's events until pred holds or the deadline passes;
// a failure names the deadline and what the window showed at the end.
template <class Pred>
::testing::AssertionResult pumpWindow(const CQuarnDemoDlg& dlg, Pred pred,
                                      std::chrono::milliseconds deadline) {
    const bool held = waitFor(
        [&] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            return pred();
        },
        deadline);
    if (held) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "not within " << deadline.count() << " ms; the window shows " << describeWindow(dlg);
}

} // namespace quarn::test
