// Console figures: start-up to the first shown window and peak memory of the
// QuarnDemo binary against a bare Qt dialog (same X server, same run), and
// the UI-thread cost of one progress report against bare label updates.
//   bench_console [rounds]
#include "bench/bench_support.h"
#include "dialog/quarndemodlg.h"
#include "dialog/samplerequest.h"
#include "dialog/transferinfo.h"
#include "platform/message.h"

#include <quarn/quarn.h>

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using quarn::bench::Clock;
using quarn::bench::median;

long PeakKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

struct StartFigures {
    double ms;
    long peakKiB;
};

// From spawn until X reports a viewable window with this title.
StartFigures TimeToWindow(const std::string& display, std::vector<std::string> command,
                          const std::string& title) {
    const auto t0 = Clock::now();
    quarn::test::Child child(std::move(command), {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb"});
    const std::string query = "DISPLAY=" + display + " xwininfo -name '" + title + "' 2>/dev/null";
    double ms = -1;
    while (Clock::now() - t0 < std::chrono::seconds(30)) {
        if (quarn::test::Capture(query).find("IsViewable") != std::string::npos) {
            ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
            break;
        }
    }
    // Let it settle after showing, then read its high-water mark.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long peak = PeakKiB(child.Pid());
    return {ms, peak};
}

int PeerDialog(int argc, char** argv) {
    QApplication app(argc, argv);
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("QUARN PEER"));
    dialog.resize(560, 260);
    for (int i = 0; i < 17; ++i)
        (new QLabel(QStringLiteral("label %1").arg(i), &dialog))->move(10, 12 * i);
    dialog.show();
    return app.exec();
}

void StartupFigures(int rounds, const char* self) {
    const quarn::test::VirtualDisplay xvfb = quarn::test::StartXvfb(std::chrono::seconds(20));
    if (xvfb.display.empty()) {
        std::printf("Xvfb did not come up\n");
        return;
    }
    const std::string& display = xvfb.display;

    std::vector<double> consoleMs, peerMs, consoleKiB, peerKiB;
    for (int i = 0; i < rounds; ++i) {
        const StartFigures c = TimeToWindow(display, {QUARNDEMO_BINARY}, "QUARN DEMO");
        const StartFigures p = TimeToWindow(display, {self, "--peer-dialog"}, "QUARN PEER");
        consoleMs.push_back(c.ms);
        peerMs.push_back(p.ms);
        consoleKiB.push_back(static_cast<double>(c.peakKiB));
        peerKiB.push_back(static_cast<double>(p.peakKiB));
    }
    const double cm = median(consoleMs), pm = median(peerMs);
    const double ck = median(consoleKiB), pk = median(peerKiB);
    std::printf("start-up to shown window: console %.1f ms, bare Qt dialog %.1f ms, ratio %.2f "
                "(median of %d, includes ~ms of xwininfo polling)\n",
                cm, pm, pm > 0 ? cm / pm : 0.0, rounds);
    std::printf("peak memory (VmHWM): console %.0f KiB, bare Qt dialog %.0f KiB, ratio %.2f\n", ck,
                pk, pk > 0 ? ck / pk : 0.0);
}

void ProgressCost(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    CQuarnDemoDlg dlg;
    dlg.Create();
    dlg.show();
    TransferInfo info{};
    info.filesize = sample::kFileSize;
    constexpr int kCalls = 20000;

    // Delivered as the workers deliver it: posted, then handled by the loop.
    const auto t0 = Clock::now();
    for (int i = 0; i < kCalls; ++i) {
        info.current_file_size = static_cast<std::int64_t>(i) * 110000;
        info.receive_size = info.current_file_size;
        info.speed = i % 5000;
        info.remain_time = kCalls - i;
        auto copy = std::make_shared<const TransferInfo>(info);
        const auto lParam = reinterpret_cast<LPARAM>(copy.get());
        platform::PostMessage(
            &dlg, new platform::CPostedMessage(WM_TRANSFER_PROGRESS, QUARN_STATE_RECEIVING, lParam,
                                               dlg.CurrentRun(), std::move(copy)));
        QCoreApplication::processEvents();
    }
    const double consoleUs =
        std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / kCalls;

    // Peer: the same five label texts and bar set straight on Qt widgets.
    QDialog bare;
    std::vector<QLabel*> labels;
    for (int i = 0; i < 5; ++i) labels.push_back(new QLabel(&bare));
    bare.show();
    const auto t1 = Clock::now();
    for (int i = 0; i < kCalls; ++i) {
        for (QLabel* label : labels)
            label->setText(QString::number(static_cast<qlonglong>(i) * 110000));
        QCoreApplication::processEvents();
    }
    const double peerUs =
        std::chrono::duration<double, std::micro>(Clock::now() - t1).count() / kCalls;
    std::printf("UI-thread cost of one progress report: %.2f us (posted + handled), bare label "
                "updates %.2f us, ratio %.2f (%d reports)\n",
                consoleUs, peerUs, peerUs > 0 ? consoleUs / peerUs : 0.0, kCalls);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--peer-dialog") return PeerDialog(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    StartupFigures(rounds, argv[0]);
    ProgressCost(argc, argv);
    return 0;
}
