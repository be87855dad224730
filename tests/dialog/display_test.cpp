// How the window shows a worker's reports: state texts, where the numbers
// come from, the progress bar, and which reports stop the download.
#include "platform/ddx.h"
#include "tests/dialog/harness.h"

#include <array>

namespace quarn::test {
namespace {

constexpr std::int64_t kMiB = 1024 * 1024;
constexpr std::int64_t kSampleSize = sample::kFileSize;

enum class From { Record, EnginePoll, Nothing };
// What a report does to the bar: nothing, a transfer report's position, full.
enum class Bar { Stays, Moves, Full };

std::string Named(const char* what, std::int32_t code) {
    return what + (code < 0 ? "Minus" + std::to_string(-code) : std::to_string(code));
}

struct ProgressRow {
    std::int32_t state;
    const char* text; // nullptr: the text stays
    From numbers;
    bool fileSizeToo; // m_nFileSize follows the numbers
    Bar bar;
    bool stops;
};

// Known members, stale control texts and disabled start buttons, so every
// change a handler makes shows.
class DisplayTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        dlg->m_strState = CString::FromUtf8("이전");
        dlg->m_dSpeed = 1.0;
        dlg->m_nRemainTime = 2;
        dlg->m_nReceiveSize = 3;
        dlg->m_nFileSize = 4;
        dlg->m_progress.SetRange32(0, 100);
        dlg->m_progress.SetPos(7);
        // Stale control texts show whether the handler refreshed them.
        for (int id : {IDC_STATE, IDC_SPEED, IDC_REMAIN_TIME, IDC_RECEIVE_SIZE, IDC_FILE_SIZE})
            qobject_cast<QLabel*>(Item(id))->setText("stale");
        Item(IDC_START_DOWNLOAD)->setEnabled(false);
        Item(IDC_START_DOWNLOAD_JSON)->setEnabled(false);
    }

    void ExpectShown() const {
        EXPECT_EQ(Text(IDC_STATE), dlg->m_strState.ToQString());
        EXPECT_EQ(Text(IDC_SPEED), QString::fromStdString(platform::FormatDouble(dlg->m_dSpeed)));
        EXPECT_EQ(Text(IDC_REMAIN_TIME), QString::number(dlg->m_nRemainTime));
        EXPECT_EQ(Text(IDC_RECEIVE_SIZE), QString::number(dlg->m_nReceiveSize));
        EXPECT_EQ(Text(IDC_FILE_SIZE), QString::number(dlg->m_nFileSize));
    }

    void ExpectBar(int lower, int upper, int pos) const {
        int lo = -1, up = -1;
        dlg->m_progress.GetRange(lo, up);
        EXPECT_EQ(lo, lower);
        EXPECT_EQ(up, upper);
        EXPECT_EQ(dlg->m_progress.GetPos(), pos);
    }
};

class Progress : public DisplayTest, public ::testing::WithParamInterface<ProgressRow> {};

TEST_P(Progress, ShowsStateFromItsSource) {
    const ProgressRow& row = GetParam();
    // The window shows the reported state, never the one its own poll gets.
    fakeengine::QueueStates({{QUARN_STATE_SERVER_ERROR + 3, 21, 22, 23, 24 * kMiB}});
    TransferInfo record{};
    record.speed = 11.0;
    record.remain_time = 12;
    record.receive_size = 13;
    record.current_file_size = 14 * kMiB;
    record.filesize = kSampleSize;
    // Where the record must not be read, it is not passed at all.
    const LPARAM lParam = row.numbers == From::Record ? reinterpret_cast<LPARAM>(&record) : 0;

    EXPECT_EQ(
        dlg->OnTransferProgress(static_cast<WPARAM>(static_cast<std::intptr_t>(row.state)), lParam),
        0);

    EXPECT_EQ(dlg->m_strState, CString::FromUtf8(row.text ? row.text : "이전"));
    const std::int64_t fileSize = row.fileSizeToo ? 14 * kMiB : 4;
    const std::array<std::int64_t, 4> numbers =
        row.numbers == From::Record       ? std::array<std::int64_t, 4>{11, 12, 13, fileSize}
        : row.numbers == From::EnginePoll ? std::array<std::int64_t, 4>{21, 22, 23, 24 * kMiB}
                                          : std::array<std::int64_t, 4>{1, 2, 3, 4};
    EXPECT_EQ(dlg->m_dSpeed, static_cast<double>(numbers[0]));
    EXPECT_EQ(dlg->m_nRemainTime, numbers[1]);
    EXPECT_EQ(dlg->m_nReceiveSize, numbers[2]);
    EXPECT_EQ(dlg->m_nFileSize, numbers[3]);
    EXPECT_EQ(fakeengine::CountCalls("getDownloadState"),
              row.numbers == From::EnginePoll ? 1u : 0u);
    ExpectShown();
    // Full without a transfer report before: the engine's file size is the range.
    switch (row.bar) {
    case Bar::Stays: ExpectBar(0, 100, 7); break;
    case Bar::Moves: ExpectBar(0, 2105, 14); break;
    case Bar::Full: ExpectBar(0, 24, 24); break;
    }
    EXPECT_EQ(fakeengine::CountCalls("stopDownload"), row.stops ? 1u : 0u);
    EXPECT_EQ(StartEnabled(), row.stops);
}

INSTANTIATE_TEST_SUITE_P(
    States, Progress,
    ::testing::Values(
        ProgressRow{QUARN_STATE_PREPARING, "준비중", From::Record, true, Bar::Stays, false},
        ProgressRow{QUARN_STATE_CONNECTING, "연결중", From::Record, true, Bar::Stays, false},
        ProgressRow{QUARN_STATE_RECEIVING, "전송중", From::Record, true, Bar::Moves, false},
        ProgressRow{QUARN_STATE_COMPLETE, "다운로드 완료", From::EnginePoll, true, Bar::Full, true},
        ProgressRow{QUARN_STATE_STOPPED, "중지", From::EnginePoll, true, Bar::Stays, true},
        ProgressRow{QUARN_STATE_WRITE_ERROR, "파일쓰기 에러", From::Record, false, Bar::Stays,
                    true},
        ProgressRow{QUARN_STATE_SERVER_ERROR, "서버연결 실패", From::Record, false, Bar::Stays,
                    true},
        // Codes no engine answers.
        ProgressRow{QUARN_STATE_SERVER_ERROR + 1, nullptr, From::Nothing, false, Bar::Stays, false},
        ProgressRow{QUARN_STATE_PREPARING - 1, nullptr, From::Nothing, false, Bar::Stays, false}),
    [](const auto& row) { return Named("State", row.param.state); });

struct ErrorRow {
    std::int32_t code;
    const char* text; // nullptr: the text stays
    bool acts;        // refresh and stop
};

class StartError : public DisplayTest, public ::testing::WithParamInterface<ErrorRow> {};

TEST_P(StartError, ShowsTextAndStops) {
    const ErrorRow& row = GetParam();
    EXPECT_EQ(dlg->OnTransferError(static_cast<WPARAM>(static_cast<std::intptr_t>(row.code)), 0),
              0);
    EXPECT_EQ(dlg->m_strState, CString::FromUtf8(row.text ? row.text : "이전"));
    if (row.acts)
        ExpectShown();
    else
        EXPECT_EQ(Text(IDC_STATE), QStringLiteral("stale"));
    EXPECT_EQ(fakeengine::CountCalls("stopDownload"), row.acts ? 1u : 0u);
    EXPECT_EQ(StartEnabled(), row.acts);
    EXPECT_EQ(fakeengine::CountCalls("getDownloadState"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Codes, StartError,
                         ::testing::Values(ErrorRow{QUARN_ERR_OPERATION - 1, nullptr, true},
                                           ErrorRow{QUARN_ERR_OPERATION, "동작 에러", true},
                                           ErrorRow{QUARN_ERR_DIRECTORY, "디렉토리 만들기 실패",
                                                    true},
                                           ErrorRow{QUARN_ERR_DISK_FULL, "디스크 공간 부족", true},
                                           ErrorRow{QUARN_ERR_FILE_CREATE, "파일 생성 에러", true},
                                           ErrorRow{QUARN_ERR_PARAMETER, "파라메터 에러", true},
                                           ErrorRow{QUARN_ERR_FILE_EXISTS, "파일 있음", true},
                                           ErrorRow{0, nullptr, false}), // no error
                         [](const auto& row) { return Named("Code", row.param.code); });

struct BarRow {
    const char* name;
    std::int64_t current;
    std::int64_t filesize;
    int pos;
    int upper;
};

class ProgressBar : public DisplayTest, public ::testing::WithParamInterface<BarRow> {};

// Whole MiB, each division truncating toward zero.
TEST_P(ProgressBar, WholeMegabytes) {
    const BarRow& row = GetParam();
    TransferInfo record{};
    record.current_file_size = row.current;
    record.filesize = row.filesize;
    dlg->OnTransferProgress(QUARN_STATE_RECEIVING, reinterpret_cast<LPARAM>(&record));
    ExpectBar(0, row.upper, row.pos);
    EXPECT_EQ(Text(IDC_FILE_SIZE), QString::number(row.current));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ProgressBar,
    ::testing::Values(BarRow{"JustBelowOneMiB", 1048575, kSampleSize, 0, 2105},
                      BarRow{"OneMiB", 1048576, kSampleSize, 1, 2105},
                      BarRow{"WholeFile", kSampleSize, kSampleSize, 2105, 2105},
                      BarRow{"NegativeSize", -1048575, kSampleSize, 0, 2105},
                      BarRow{"NegativeFileSize", 0, -1048575, 0, 0},
                      BarRow{"PartsCutDown", 5 * kMiB + 1, 10 * kMiB - 1, 5, 9}),
    [](const auto& row) { return std::string(row.param.name); });

// The last transfer report may come a poll before the end: the bar is full
// once "다운로드 완료" shows, and only then.
struct EndRow {
    const char* name;
    bool transferReport; // a receiving report at 2080 of 2105 MiB came first
    std::int32_t end;
    int upper;
    int pos;
};

class BarAtTheEnd : public DisplayTest, public ::testing::WithParamInterface<EndRow> {};

TEST_P(BarAtTheEnd, FullOnlyWhenComplete) {
    const EndRow& row = GetParam();
    fakeengine::QueueStates({{row.end, 0, 0, 0, kSampleSize}});
    TransferInfo record{};
    record.current_file_size = 2080 * kMiB;
    record.filesize = kSampleSize;
    if (row.transferReport)
        dlg->OnTransferProgress(QUARN_STATE_RECEIVING, reinterpret_cast<LPARAM>(&record));
    dlg->OnTransferProgress(static_cast<WPARAM>(row.end), reinterpret_cast<LPARAM>(&record));
    ExpectBar(0, row.upper, row.pos);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, BarAtTheEnd,
    ::testing::Values(EndRow{"CompleteAfterTransfer", true, QUARN_STATE_COMPLETE, 2105, 2105},
                      EndRow{"CompleteWithoutTransfer", false, QUARN_STATE_COMPLETE, 2105, 2105},
                      EndRow{"StoppedAfterTransfer", true, QUARN_STATE_STOPPED, 2105, 2080},
                      EndRow{"StoppedWithoutTransfer", false, QUARN_STATE_STOPPED, 100, 7},
                      EndRow{"WriteErrorAfterTransfer", true, QUARN_STATE_WRITE_ERROR, 2105, 2080},
                      EndRow{"ServerErrorAfterTransfer", true, QUARN_STATE_SERVER_ERROR, 2105,
                             2080}),
    [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace quarn::test
