// The two download workers against the scripted engine: what they send, what
// they report and when, and that no worker outlives or confuses its window.
#include "dialog/downloadrun.h"
#include "dialog/jsoncodec.h"
#include "tests/dialog/harness.h"
#include "tests/support/console_texts.h"

#include <QDir>

#include <algorithm>
#include <array>

#include <thread>

namespace quarn::test {
namespace {

enum class Path { Param, Json };

AFX_THREADPROC Proc(Path path) {
    return path == Path::Param ? &ParamDownloadWorker : &JsonDownloadWorker;
}
int Button(Path path) {
    return path == Path::Param ? IDC_START_DOWNLOAD : IDC_START_DOWNLOAD_JSON;
}
const char* PollName(Path path) {
    return path == Path::Param ? "getDownloadState" : "getDownloadStateJson";
}
bool OnUiThread(const fakeengine::Call& call) {
    return call.thread == std::this_thread::get_id();
}

class Worker : public DialogTest, public ::testing::WithParamInterface<Path> {};

TEST_P(Worker, StopBeforeFirstCheckMeansNoEngineCallAndNoReport) {
    CDownloadRun run(dlg.get(), dlg->CurrentRun(), std::make_shared<std::atomic<bool>>(true),
                     dlg->Pacer());
    EXPECT_EQ(Proc(GetParam())(&run), 0u);
    QCoreApplication::processEvents();
    EXPECT_TRUE(fakeengine::Calls().empty());
    EXPECT_TRUE(recorder.reports.empty());
}

TEST_P(Worker, RefusedStartReportsOnceAndEnds) {
    const bool param = GetParam() == Path::Param;
    fakeengine::SetStartResult(QUARN_ERR_FILE_CREATE);
    fakeengine::SetStartReply(u16("{\"err\":" + std::to_string(QUARN_ERR_DISK_FULL) + "}"));
    Click(Button(GetParam()));
    ASSERT_TRUE(WorkersEnded());
    QCoreApplication::processEvents();

    ASSERT_EQ(recorder.reports.size(), 1u);
    EXPECT_EQ(recorder.reports[0].message, WM_TRANSFER_ERROR);
    EXPECT_EQ(recorder.reports[0].wParam, param ? QUARN_ERR_FILE_CREATE : QUARN_ERR_DISK_FULL);
    if (!param) {
        EXPECT_EQ(recorder.reports[0].lParam, 0);
    }
    EXPECT_EQ(fakeengine::CountCalls(PollName(GetParam())), 0u);
    EXPECT_EQ(dlg->m_strState, CString::FromUtf8(param ? "파일 생성 에러" : "디스크 공간 부족"));
    EXPECT_EQ(fakeengine::CountCalls("stopDownload"), 1u);
    EXPECT_TRUE(StartEnabled());
}

// Closing must not wait out the half-second pauses, and nothing the worker
// posts afterwards may reach the window.
TEST_P(Worker, CloseDuringRunJoinsWorkerPromptly) {
    dlg->Pacer().SetInterval(500ms);
    fakeengine::QueueStates({{QUARN_STATE_RECEIVING, 5, 6, 7, 8}});
    fakeengine::QueueStatusJson({StatusJson(QUARN_STATE_RECEIVING, ",\"speed\":5")});
    Click(Button(GetParam()));
    ASSERT_TRUE(pump(*dlg, [&] { return dlg->m_strState == CString::FromUtf8("전송중"); }));
    fakeengine::QueueStates({{QUARN_STATE_SERVER_ERROR}});
    fakeengine::QueueStatusJson({StatusJson(QUARN_STATE_SERVER_ERROR)});

    const auto before = std::chrono::steady_clock::now();
    dlg->reject();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
    EXPECT_EQ(dlg->RunningWorkers(), 0u);
    const std::size_t stops = fakeengine::CountCalls("stopDownload");
    QCoreApplication::processEvents();
    EXPECT_EQ(dlg->m_strState, CString::FromUtf8("전송중"));
    EXPECT_EQ(fakeengine::CountCalls("stopDownload"), stops);
    dlg.reset();
    QCoreApplication::processEvents();
}

// The engine's stop may take longer than a pause (a loaded machine, a slow
// disk): the last report still comes after it, so the window shows the stop,
// not the transfer the stop ended.
TEST_P(Worker, LastReportComesAfterASlowStop) {
    fakeengine::QueueStates({{QUARN_STATE_RECEIVING, 5, 6, 7, 8}});
    fakeengine::QueueStatusJson({StatusJson(QUARN_STATE_RECEIVING, ",\"speed\":5")});
    Click(Button(GetParam()));
    ASSERT_TRUE(pump(*dlg, [&] { return dlg->m_strState == CString::FromUtf8("전송중"); }));
    bool endedDuringStop = false;
    fakeengine::SetStopHook([&] {
        // Ten pauses long, unless the worker ends first: it must not.
        endedDuringStop = waitFor([&] { return dlg->RunningWorkers() == 0; }, 200ms);
        fakeengine::QueueStates({{QUARN_STATE_STOPPED}});
        fakeengine::QueueStatusJson({StatusJson(QUARN_STATE_STOPPED)});
    });
    Click(IDC_STOP_DOWNLOAD);
    fakeengine::SetStopHook({});
    ASSERT_TRUE(WorkersEnded());
    QCoreApplication::processEvents();
    EXPECT_FALSE(endedDuringStop);
    EXPECT_EQ(dlg->m_strState, CString::FromUtf8("중지"));
}

// Stop pressed while the engine is still taking the start: the stop found
// nothing to stop, so the worker applies it to what the start began.
TEST_P(Worker, StopDuringStartIsAppliedToTheStartedTransfer) {
    auto flag = std::make_shared<std::atomic<bool>>(false);
    fakeengine::SetStartHook([flag] { flag->store(true); });
    CDownloadRun run(dlg.get(), dlg->CurrentRun(), flag, dlg->Pacer());
    Proc(GetParam())(&run);
    fakeengine::SetStartHook({});
    EXPECT_EQ(fakeengine::CountCalls("stopDownload"), 1u);
    const auto calls = fakeengine::Calls();
    const auto start = std::find_if(calls.begin(), calls.end(), [](const auto& c) {
        return c.name.rfind("startDownload", 0) == 0;
    });
    const auto stop = std::find_if(calls.begin(), calls.end(),
                                   [](const auto& c) { return c.name == "stopDownload"; });
    EXPECT_LT(start, stop);
}

// The last transfer report came at 2080 of 2105 MiB, yet "다운로드 완료"
// shows a full bar. A later run that completes without any transfer report
// takes its range from the finished file instead of the earlier run's.
TEST_P(Worker, CompletionShowsAFullBar) {
    constexpr std::int64_t kMiB = 1 << 20;
    const fakeengine::Status done{QUARN_STATE_COMPLETE, 0, 0, 0, sample::kFileSize};
    if (GetParam() == Path::Param) {
        fakeengine::QueueStates({{QUARN_STATE_RECEIVING, 9, 1, 0, 2080 * kMiB}, done});
    } else {
        fakeengine::QueueStates({done}); // the window's own poll at the end
        fakeengine::QueueStatusJson(
            {StatusJson(QUARN_STATE_RECEIVING, ",\"current_file_size\":2181038080,\"filesize\":" +
                                                   std::to_string(sample::kFileSize)),
             StatusJson(QUARN_STATE_COMPLETE)});
    }
    const auto bar = [&] {
        int lower = -1, upper = -1;
        dlg->m_progress.GetRange(lower, upper);
        return std::array<int, 3>{lower, upper, dlg->m_progress.GetPos()};
    };
    Click(Button(GetParam()));
    ASSERT_TRUE(WorkersEnded());
    QCoreApplication::processEvents();
    EXPECT_EQ(dlg->m_strState, CString::FromUtf8("다운로드 완료"));
    EXPECT_EQ(bar(), (std::array<int, 3>{0, 2105, 2105}));

    fakeengine::QueueStates({{QUARN_STATE_COMPLETE, 0, 0, 0, 5 * kMiB}});
    fakeengine::QueueStatusJson({StatusJson(QUARN_STATE_COMPLETE)});
    Click(Button(GetParam()));
    ASSERT_TRUE(WorkersEnded());
    QCoreApplication::processEvents();
    EXPECT_EQ(bar(), (std::array<int, 3>{0, 5, 5}));
}

INSTANTIATE_TEST_SUITE_P(Paths, Worker, ::testing::Values(Path::Param, Path::Json),
                         [](const auto& row) {
                             return row.param == Path::Param ? "Param" : "Json";
                         });

// Both starts send the sample request, and only worker threads talk to the engine.
TEST_F(DialogTest, StartsSendSampleRequestsFromWorkerThreads) {
    Click(IDC_START_DOWNLOAD);
    ASSERT_TRUE(pump(*dlg, [] { return fakeengine::CountCalls("getDownloadState") >= 2; }));
    Click(IDC_STOP_DOWNLOAD);
    ASSERT_TRUE(WorkersEnded());
    Click(IDC_START_DOWNLOAD_JSON);
    ASSERT_TRUE(pump(*dlg, [] { return fakeengine::CountCalls("getDownloadStateJson") >= 2; }));

    const auto starts = fakeengine::CallsTo("startDownload");
    ASSERT_EQ(starts.size(), 1u);
    std::vector<std::u16string> sent;
    for (const char* value : {sample::kSite, sample::kServer, sample::kServerFileName,
                              sample::kParamIndex, sample::kParamLocalFileName, sample::kHash,
                              sample::kUserName, sample::kUserPwd, sample::kUserParams})
        sent.push_back(u16(value));
    EXPECT_EQ(starts[0].wide, sent);
    EXPECT_EQ(starts[0].size, sample::kFileSize);
    const auto jsonStarts = fakeengine::CallsTo("startDownloadJson");
    ASSERT_EQ(jsonStarts.size(), 1u);
    EXPECT_EQ(jsonStarts[0].wide.at(0), ToWideString(requestText(sampleJsonRequest())));
    for (const auto& call : fakeengine::Calls())
        EXPECT_TRUE(call.name == "stopDownload" || !OnUiThread(call)) << call.name;
}

// Only the stop flag ends the loop; the last report repeats the last record
// although the final poll answered other numbers.
TEST_F(DialogTest, RepeatedCompleteStatePostsUntilStoppedThenOnceMore) {
    std::vector<fakeengine::Status> answers;
    for (std::int32_t speed = 1; speed <= 200; ++speed)
        answers.push_back({QUARN_STATE_COMPLETE, speed, 0, speed, speed});
    fakeengine::QueueStates(answers);
    Click(IDC_START_DOWNLOAD);
    ASSERT_TRUE(WorkersEnded());
    QCoreApplication::processEvents();

    const auto& reports = recorder.reports;
    ASSERT_GE(reports.size(), 2u);
    for (const Report& r : reports) {
        EXPECT_EQ(r.message, WM_TRANSFER_PROGRESS);
        EXPECT_EQ(r.wParam, QUARN_STATE_COMPLETE);
        ASSERT_TRUE(r.record);
    }
    const TransferInfo& last = *reports.back().record;
    const TransferInfo& previous = *reports[reports.size() - 2].record;
    EXPECT_EQ(last.speed, previous.speed);
    EXPECT_EQ(last.receive_size, previous.receive_size);
    EXPECT_EQ(last.current_file_size, previous.current_file_size);
    EXPECT_EQ(last.state, previous.state);

    // Every engine answer is distinct: find what the worker's final poll got.
    const auto polls = fakeengine::CallsTo("getDownloadState");
    std::size_t workerPolls = 0;
    std::int32_t finalAnswer = 0;
    for (std::size_t i = 0; i < polls.size(); ++i) {
        if (OnUiThread(polls[i])) continue;
        ++workerPolls;
        finalAnswer = static_cast<std::int32_t>(i + 1);
    }
    EXPECT_EQ(workerPolls, reports.size());
    EXPECT_NE(static_cast<double>(finalAnswer), last.speed);
    // Each handled completion polls the engine itself and stops once more.
    EXPECT_EQ(polls.size() - workerPolls, reports.size());
    EXPECT_EQ(fakeengine::CountCalls("stopDownload"), reports.size());
}

struct StartReplyRow {
    const char* name;
    std::optional<std::u16string> reply;
};

class JsonStartReply : public DialogTest, public ::testing::WithParamInterface<StartReplyRow> {};

TEST_P(JsonStartReply, WithoutNegativeErrPollingBegins) {
    fakeengine::SetStartReply(GetParam().reply);
    Click(IDC_START_DOWNLOAD_JSON);
    ASSERT_TRUE(pump(*dlg, [&] { return !recorder.reports.empty(); }));
    EXPECT_EQ(recorder.reports[0].message, WM_TRANSFER_PROGRESS);
    EXPECT_GE(fakeengine::CountCalls("getDownloadStateJson"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Replies, JsonStartReply,
                         ::testing::Values(StartReplyRow{"NoReply", std::nullopt},
                                           StartReplyRow{"Empty", u""},
                                           StartReplyRow{"EmptyObject", u"{}"},
                                           StartReplyRow{"ErrZero", u"{\"err\":0}"},
                                           StartReplyRow{"ErrPositive", u"{\"err\":2}"}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(DialogTest, JsonStatusesDriveTheDisplay) {
    const std::string filesize = ",\"filesize\":" + std::to_string(sample::kFileSize);
    fakeengine::QueueStatusJson(
        {StatusJson(QUARN_STATE_RECEIVING,
                    ",\"speed\":1536.75,\"remain_time\":40,\"receive_size\":1048576,"
                    "\"current_file_size\":3145728" +
                        filesize),
         StatusJson(QUARN_STATE_RECEIVING,
                    ",\"speed\":2048,\"remain_time\":30,\"receive_size\":2097152,"
                    "\"current_file_size\":4194304" +
                        filesize),
         StatusJson(QUARN_STATE_WRITE_ERROR,
                    ",\"speed\":0,\"remain_time\":-1,\"receive_size\":2097153,"
                    "\"current_file_size\":999" +
                        filesize)});
    Click(IDC_START_DOWNLOAD_JSON);
    ASSERT_TRUE(WorkersEnded());
    QCoreApplication::processEvents();

    std::vector<std::int32_t> states;
    for (const Report& r : recorder.reports) states.push_back(r.wParam);
    ASSERT_GE(states.size(), 4u);
    EXPECT_EQ(states[0], QUARN_STATE_RECEIVING);
    EXPECT_EQ(states[1], QUARN_STATE_RECEIVING);
    EXPECT_EQ(states[2], QUARN_STATE_WRITE_ERROR);
    EXPECT_EQ(recorder.reports[0].record->speed, 1536.0);
    EXPECT_EQ(dlg->m_strState, CString::FromUtf8("파일쓰기 에러"));
    EXPECT_EQ(dlg->m_nFileSize, 4194304); // a write error keeps the last receiving size
    EXPECT_EQ(dlg->m_nReceiveSize, 2097153);
    EXPECT_EQ(dlg->m_nRemainTime, -1);
    EXPECT_EQ(Text(IDC_FILE_SIZE), QStringLiteral("4194304"));
    int lower = -1, upper = -1;
    dlg->m_progress.GetRange(lower, upper);
    EXPECT_EQ(upper, 2105);
    EXPECT_EQ(dlg->m_progress.GetPos(), 4);
    EXPECT_TRUE(StartEnabled());
}

// The engine names the cause of a failure in a member the console does not
// read: with it or without, the window ends the same.
TEST_F(DialogTest, AFailureCauseInTheStatusLeavesTheWindowAsItWas) {
    for (const std::int32_t state : {QUARN_STATE_WRITE_ERROR, QUARN_STATE_SERVER_ERROR}) {
        std::vector<std::string> windows;
        for (const char* cause : {"", ",\"cause\":\"HTTP 404 Not Found\""}) {
            const std::string numbers = ",\"speed\":7,\"remain_time\":0,\"receive_size\":9,"
                                        "\"current_file_size\":1048576,\"filesize\":2097152";
            fakeengine::QueueStatusJson(
                {StatusJson(QUARN_STATE_RECEIVING, numbers), StatusJson(state, numbers + cause)});
            Click(IDC_START_DOWNLOAD_JSON);
            ASSERT_TRUE(WorkersEnded());
            QCoreApplication::processEvents();
            windows.push_back(describeWindow(*dlg));
        }
        EXPECT_EQ(windows[0], windows[1]);
        EXPECT_NE(
            windows[0].find(state == QUARN_STATE_WRITE_ERROR ? "파일쓰기 에러" : "서버연결 실패"),
            std::string::npos)
            << windows[0];
    }
}

// A quick stop and start: the earlier run winds down with its own final poll,
// and nothing it reports reaches the display or stops the new run.
TEST_F(DialogTest, ReportsOfSupersededRunAreIgnored) {
    fakeengine::QueueStatusJson({StatusJson(QUARN_STATE_RECEIVING, ",\"speed\":1")});
    Click(IDC_START_DOWNLOAD_JSON);
    ASSERT_TRUE(pump(*dlg, [&] { return dlg->m_strState == CString::FromUtf8("전송중"); }));
    const std::uint32_t oldRun = dlg->CurrentRun();

    // From here on the old run can only answer a failure that would stop the new one.
    fakeengine::QueueStatusJson({StatusJson(QUARN_STATE_SERVER_ERROR)});
    Click(IDC_STOP_DOWNLOAD);
    Click(IDC_START_DOWNLOAD);
    ASSERT_NE(dlg->CurrentRun(), oldRun);

    ASSERT_TRUE(pump(*dlg, [&] {
        const auto old = recorder.From(oldRun);
        return dlg->RunningWorkers() == 1 && !old.empty() &&
               old.back().wParam == QUARN_STATE_SERVER_ERROR &&
               dlg->m_strState == CString::FromUtf8("준비중");
    }));
    QCoreApplication::processEvents();
    EXPECT_GE(fakeengine::CountCalls("getDownloadStateJson"), 2u);
    EXPECT_EQ(dlg->m_strState, CString::FromUtf8("준비중"));
    EXPECT_EQ(fakeengine::CountCalls("stopDownload"), 1u);
    EXPECT_FALSE(StartEnabled());
    EXPECT_EQ(dlg->RunningWorkers(), 1u);
}

std::size_t ThreadCount() {
    return QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

// Start, maybe stop, close: over and over, never leaving a worker behind.
TEST(DialogLifecycle, RepeatedStartStopAndTeardownLeavesNoWorker) {
    fakeengine::Reset();
    fakeengine::QueueStatusJson({StatusJson(QUARN_STATE_RECEIVING)});
    fakeengine::QueueStates({{QUARN_STATE_RECEIVING}});
    std::size_t baseline = 0;
    for (int cycle = 0; cycle < 100; ++cycle) {
        auto dlg = std::make_unique<CQuarnDemoDlg>();
        ASSERT_TRUE(dlg->Create());
        dlg->Pacer().SetInterval(std::chrono::milliseconds(cycle % 3));
        if (cycle % 2)
            dlg->OnStartDownloadJson();
        else
            dlg->OnStartDownload();
        if (cycle % 4 == 1) {
            ASSERT_TRUE(pump(*dlg, [&] { return dlg->m_strState == CString::FromUtf8("전송중"); }));
        }
        if (cycle % 5 == 0) dlg->OnStopDownload();
        if (cycle % 7 == 0) dlg->OnStartDownload();
        if (cycle % 3 == 0) dlg->reject();
        dlg.reset();
        QCoreApplication::processEvents();
        // A joined thread may linger in /proc a moment after the join returns.
        if (cycle == 0) baseline = ThreadCount();
        ASSERT_TRUE(waitFor([&] {
            QCoreApplication::processEvents();
            return ThreadCount() <= baseline;
        })) << "cycle "
            << cycle << ": " << ThreadCount() << " threads, " << baseline << " after the first";
    }
    fakeengine::Reset();
}

} // namespace
} // namespace quarn::test
