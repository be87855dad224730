// The whole system as a user meets it: buttons on the real console, the
// real engine, a real nginx.
#include "tests/e2e/e2e_support.h"

#include "platform/message.h"
#include "platform/msgbox.h"
#include "res/resource.h"

#include <quarn/quarn.h>

#include <QCoreApplication>
#include <QPixmap>

#include <vector>

namespace quarn::e2e {
namespace {

constexpr auto kDownloadDeadline = 240s; // 2.1 GiB through sanitizer builds
const int kWholeMiB = static_cast<int>(kSampleSize / 1024 / 1024);

struct Start {
    const char* name;
    int button;
    const char* target;
};

class Downloads : public ConsoleTest, public ::testing::WithParamInterface<Start> {};

TEST_P(Downloads, CompleteByteExactWithFullBar) {
    const int button = GetParam().button;
    const std::string target = GetParam().target;
    // Full speed: the last transfer report usually comes before the last
    // MiB, and "다운로드 완료" must show a full bar all the same.
    StartServer();
    OpenConsole();
    Click(button);
    EXPECT_FALSE(ButtonEnabled(IDC_START_DOWNLOAD));
    ASSERT_TRUE(PumpUntilState("다운로드 완료", kDownloadDeadline));
    EXPECT_TRUE(PumpUntil([&] { return ButtonEnabled(IDC_START_DOWNLOAD); }, 5s));
    EXPECT_TRUE(ButtonEnabled(IDC_START_DOWNLOAD_JSON));
    EXPECT_TRUE(test::sameContent(Drive(target), ServerFile()));
    EXPECT_FALSE(fs::exists(Drive(target + ".part")));
    // Verified against the sample's document, as the demo serves it.
    EXPECT_NE(nginx_.accessLog().find(std::string("200 \"GET /") + sample::kSite + "/" +
                                      sample::kServerFileName + ".meta4 "),
              std::string::npos)
        << nginx_.accessLog();
    int lower = -1, upper = -1;
    dlg_->m_progress.GetRange(lower, upper);
    EXPECT_EQ(upper, kWholeMiB);
    EXPECT_EQ(dlg_->m_progress.GetPos(), kWholeMiB);
    EXPECT_EQ(dlg_->m_nFileSize, kSampleSize);
    // The window as the user sees it at the end, kept as an artifact.
    const fs::path shot =
        fs::path(QUARN_ARTIFACT_DIR) / ("done-window-" + std::string(GetParam().name) + ".png");
    fs::create_directories(shot.parent_path());
    EXPECT_TRUE(dlg_->grab().save(QString::fromStdString(shot.string()), "PNG")) << shot;
}

INSTANTIATE_TEST_SUITE_P(
    BothStarts, Downloads,
    ::testing::Values(Start{"Parameters", IDC_START_DOWNLOAD, sample::kParamLocalFileName},
                      Start{"Json", IDC_START_DOWNLOAD_JSON, sample::kJsonLocalFileName}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(ConsoleTest, StopMidwayThenResumeCompletes) {
    StartServer(kSlowUntilResumed);
    OpenConsole();
    Click(IDC_START_DOWNLOAD);
    ASSERT_TRUE(PumpUntil([&] { return dlg_->m_nFileSize > (1 << 20); }, 60s));
    Click(IDC_STOP_DOWNLOAD);
    ASSERT_TRUE(PumpUntilState("중지", 10s));
    const fs::path part = Drive(std::string(sample::kParamLocalFileName) + ".part");
    ASSERT_TRUE(fs::exists(part));
    const auto kept = fs::file_size(part);
    EXPECT_GT(kept, 0u);

    ASSERT_TRUE(PumpUntil([&] { return dlg_->RunningWorkers() == 0; }, 10s));
    Click(IDC_START_DOWNLOAD);
    ASSERT_TRUE(PumpUntilState("다운로드 완료", kDownloadDeadline));
    EXPECT_TRUE(test::sameContent(Drive(sample::kParamLocalFileName), ServerFile()));
    EXPECT_NE(nginx_.accessLog().find("range=\"bytes="), std::string::npos) << nginx_.accessLog();
}

TEST_F(ConsoleTest, ExistingFileIsRefused) {
    StartServer();
    test::writeFile(Drive(sample::kParamLocalFileName), "already here");
    OpenConsole();
    Click(IDC_START_DOWNLOAD);
    ASSERT_TRUE(PumpUntilState("파일 있음", 10s));
    EXPECT_TRUE(PumpUntil([&] { return ButtonEnabled(IDC_START_DOWNLOAD); }, 5s));
    EXPECT_EQ(fs::file_size(Drive(sample::kParamLocalFileName)), 12u);
}

TEST_F(ConsoleTest, ServerGoneMidTransferIsAConnectionFailure) {
    StartServer(kSlowUntilResumed);
    OpenConsole();
    Click(IDC_START_DOWNLOAD_JSON);
    ASSERT_TRUE(PumpUntilState("전송중", 60s));
    nginx_.kill();
    ASSERT_TRUE(PumpUntilState("서버연결 실패", 60s));
    EXPECT_TRUE(PumpUntil([&] { return ButtonEnabled(IDC_START_DOWNLOAD_JSON); }, 5s));
    EXPECT_TRUE(fs::exists(Drive(std::string(sample::kJsonLocalFileName) + ".part")));
}

TEST_F(ConsoleTest, ShareButtonsRegisterExistingFilesOnly) {
    const struct {
        const char* path;
        std::int64_t size;
    } files[] = {
        {sample::kShare1LocalFileName, std::stoll(sample::kShare1Size)},
        {sample::kShare2Path, sample::kShare23Size},
        {sample::kShare3Path, sample::kShare23Size},
    };
    for (const auto& f : files) test::makeSparseFile(Drive(f.path), f.size);
    std::vector<QString> shown;
    platform::SetMessageBoxHandler([&](const QString&, const QString& text, UINT) {
        shown.push_back(text);
        return 1;
    });
    OpenConsole();
    Click(IDC_SET_SHARE_FILE);
    Click(IDC_SET_SHARE_FILE2);
    Click(IDC_SET_SHARE_FILE3);
    fs::remove(Drive(sample::kShare3Path));
    Click(IDC_SET_SHARE_FILE3);
    platform::SetMessageBoxHandler({});
    const QString yes = QString::fromUtf8("등록됨"), no = QString::fromUtf8("등록 안됨");
    EXPECT_EQ(shown, (std::vector<QString>{yes, yes, yes, no}));
}

TEST_F(ConsoleTest, ClosingDuringTransferIsQuickAndLeavesAResumablePart) {
    StartServer(kSlowUntilResumed);
    OpenConsole();
    dlg_->Pacer().SetInterval(500ms); // the real pacing: closing must cut it short
    Click(IDC_START_DOWNLOAD);
    ASSERT_TRUE(PumpUntil([&] { return dlg_->m_nFileSize > (1 << 20); }, 60s));

    const auto t0 = std::chrono::steady_clock::now();
    dlg_->reject();
    dlg_.reset();
    const auto closeTime = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(closeTime, 1s);

    // The sample comes in pieces: the .part has holes, and its map says
    // which bytes are there.
    const fs::path part = Drive(std::string(sample::kParamLocalFileName) + ".part");
    ASSERT_TRUE(fs::exists(part));
    EXPECT_TRUE(fs::exists(part.string() + ".map"));
    std::int32_t speed = 0, remain = 0;
    std::int64_t received = 0, kept = 0;
    EXPECT_EQ(getDownloadState(&speed, &remain, &received, &kept), QUARN_STATE_STOPPED);
    EXPECT_GT(kept, 0);

    // A new console picks every piece up where it was left: the file on disk
    // counts the kept bytes, which this run does not receive again.
    OpenConsole();
    Click(IDC_START_DOWNLOAD);
    ASSERT_TRUE(PumpUntilState("전송중", 30s));
    EXPECT_GE(dlg_->m_nFileSize, kept);
    EXPECT_GE(dlg_->m_nFileSize - dlg_->m_nReceiveSize, kept);
    Click(IDC_STOP_DOWNLOAD);
    ASSERT_TRUE(PumpUntilState("중지", 10s));
    EXPECT_NE(nginx_.accessLog().find("range=\"bytes="), std::string::npos) << nginx_.accessLog();
}

// Quick stop/start cycles through both starts: no stray worker, nothing from
// an earlier run on screen, the engine idle at the end.
TEST_F(ConsoleTest, RepeatedStartStopCycles) {
    StartServer(kSlowUntilResumed);
    OpenConsole();
    std::uint32_t staleSeen = 0;
    struct StaleCounter : QObject {
        CQuarnDemoDlg* dlg;
        std::uint32_t* count;
        bool eventFilter(QObject*, QEvent* e) override {
            if (auto* m = dynamic_cast<platform::CPostedMessage*>(e);
                m && m->Sender() != dlg->CurrentRun())
                ++*count;
            return false;
        }
    } counter;
    counter.dlg = dlg_.get();
    counter.count = &staleSeen;
    dlg_->installEventFilter(&counter);

    constexpr int kCycles = 200;
    for (int i = 0; i < kCycles; ++i) {
        Click(i % 2 ? IDC_START_DOWNLOAD_JSON : IDC_START_DOWNLOAD);
        QCoreApplication::processEvents();
        Click(IDC_STOP_DOWNLOAD);
    }
    ASSERT_TRUE(PumpUntil([&] { return dlg_->RunningWorkers() == 0; }, 10s));
    QCoreApplication::processEvents();
    EXPECT_EQ(dlg_->CurrentRun(), static_cast<std::uint32_t>(kCycles));
    EXPECT_TRUE(ButtonEnabled(IDC_START_DOWNLOAD));
    const QString text = StateText();
    // Whatever a run showed while it was current; never a refusal as busy.
    EXPECT_TRUE(text.isEmpty() || text == QString::fromUtf8("중지") ||
                text == QString::fromUtf8("준비중") || text == QString::fromUtf8("연결중") ||
                text == QString::fromUtf8("전송중"))
        << text.toStdString();
    std::int32_t speed = 0, remain = 0;
    std::int64_t received = 0, size = 0;
    EXPECT_EQ(getDownloadState(&speed, &remain, &received, &size), QUARN_STATE_STOPPED);
    dlg_->removeEventFilter(&counter);
    RecordProperty("stale_reports_dropped", static_cast<int>(staleSeen));
}

} // namespace
} // namespace quarn::e2e
