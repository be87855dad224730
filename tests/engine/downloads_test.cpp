// Downloads through the real engine from a real nginx: the happy path, the
// failure states and stop/resume.
#include "tests/engine/engine_test_env.h"

#include <csignal>
#include <dirent.h>
#include <json/json.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quarn::test {
namespace {

using namespace std::chrono_literals;

class DownloadTest : public EngineTest {};

// Whether this process still holds a descriptor open on `path`.
bool holdsOpen(const fs::path& path) {
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (fs::read_symlink(entry.path(), error) == path) return true;
    }
    return false;
}

Json::Value statusJson() {
    Json::Value root;
    std::istringstream in(utf8(getDownloadStateJson()));
    in >> root;
    return root;
}

struct StartKind {
    const char* name;
    bool json;
};

class BothStarts : public EngineTest, public ::testing::WithParamInterface<StartKind> {};

TEST_P(BothStarts, DownloadsByteExactWithAuthHeadersAndQuery) {
    const std::string bytes = serve("test_site", "sample.bin", 3 * kMiB + 12345);
    Download d = request("test_site", "sample.bin", static_cast<int64_t>(bytes.size()));
    d.userParams = "a=1&b=x y";
    ASSERT_EQ(GetParam().json ? d.startJson() : d.start(), 0);
    ASSERT_EQ(waitForEnd(), QUARN_STATE_COMPLETE);

    const fs::path target = mapped(d.localFileName);
    EXPECT_TRUE(readFile(target) == bytes) << "content differs";
    EXPECT_FALSE(fs::exists(target.string() + ".part"));
    const Status s = poll();
    EXPECT_EQ(s.received, static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(s.fileBytes, static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(s.remain, 0);

    const Json::Value json = statusJson();
    for (const char* member :
         {"state", "speed", "remain_time", "receive_size", "current_file_size", "filesize"})
        EXPECT_TRUE(json[member].isIntegral()) << member;
    EXPECT_EQ(json["state"].asInt(), QUARN_STATE_COMPLETE);
    EXPECT_EQ(json["filesize"].asInt64(), static_cast<int64_t>(bytes.size()));

    ASSERT_TRUE(waitFor([&] { return nginx_.accessLog().find("200 ") != std::string::npos; }, 5s));
    const std::string log = nginx_.accessLog();
    EXPECT_NE(log.find("\"GET /test_site/sample.bin?a=1&b=x%20y HTTP/1.1\""), std::string::npos)
        << log;
    EXPECT_NE(log.find(d.logged()), std::string::npos) << log;

    stopDownload(); // after completion: nothing changes
    EXPECT_EQ(poll().state, QUARN_STATE_COMPLETE);
}

INSTANTIATE_TEST_SUITE_P(Engine, BothStarts,
                         ::testing::Values(StartKind{"Parameters", false}, StartKind{"Json", true}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(DownloadTest, ReportsProgressWhileReceiving) {
    const std::string bytes = serve("slow_site", "sample.bin", 3 * kMiB);
    ASSERT_EQ(request("slow_site", "sample.bin", 3 * kMiB).start(), 0);
    Status s;
    ASSERT_TRUE(waitFor(
        [&] {
            s = poll();
            return s.state == QUARN_STATE_RECEIVING && s.speed > 0 && s.remain > 0;
        },
        10s));
    EXPECT_GT(s.received, 0);
    EXPECT_EQ(s.received, s.fileBytes);
    EXPECT_EQ(statusJson()["filesize"].asInt64(), 3 * kMiB);
}

TEST_F(DownloadTest, StopThenRestartResumesWithRange) {
    const std::string bytes = serve("slow_site", "sample.bin", 3 * kMiB);
    const Download d = request("slow_site", "sample.bin", 3 * kMiB);
    const fs::path part = mapped(d.localFileName).string() + ".part";
    ASSERT_EQ(d.start(), 0);
    ASSERT_TRUE(waitFor([] { return poll().fileBytes >= kMiB / 2; }, 10s));
    stopDownload();
    const Status stopped = poll();
    EXPECT_EQ(stopped.state, QUARN_STATE_STOPPED);
    EXPECT_EQ(stopped.remain, 0) << "nothing is left to wait for once stopped";
    EXPECT_FALSE(holdsOpen(part));
    ASSERT_EQ(static_cast<int64_t>(fs::file_size(part)), stopped.fileBytes);
    EXPECT_TRUE(readFile(part) == bytes.substr(0, static_cast<std::size_t>(stopped.fileBytes)));

    stopDownload(); // a second stop changes nothing
    EXPECT_EQ(poll().state, QUARN_STATE_STOPPED);

    ASSERT_EQ(d.start(), 0);
    // The transfer may already have written more by now; the resumed bytes
    // are in the file size and never in the received count.
    const Status resumed = poll();
    EXPECT_EQ(resumed.fileBytes - resumed.received, stopped.fileBytes);
    ASSERT_EQ(waitForEnd(), QUARN_STATE_COMPLETE);
    EXPECT_TRUE(readFile(mapped(d.localFileName)) == bytes);
    EXPECT_EQ(poll().received, 3 * kMiB - stopped.fileBytes);
    // The resume asks again for an overlap before the kept end, to compare it.
    const std::string range =
        "range=\"bytes=" + std::to_string(std::max<int64_t>(0, stopped.fileBytes - 64 * 1024)) +
        "-\"";
    EXPECT_TRUE(waitFor([&] { return nginx_.accessLog().find(range) != std::string::npos; }, 5s))
        << nginx_.accessLog();
}

TEST_F(DownloadTest, RangeAnsweredWithWholeFileRestartsFromZero) {
    const std::string bytes = serve("norange_site", "sample.bin", 2 * kMiB);
    const Download d = request("norange_site", "sample.bin", 2 * kMiB);
    writeFile(mapped(d.localFileName).string() + ".part", std::string(kMiB / 2, 'x'));
    ASSERT_EQ(d.start(), 0);
    ASSERT_EQ(waitForEnd(), QUARN_STATE_COMPLETE);
    EXPECT_TRUE(readFile(mapped(d.localFileName)) == bytes);
    EXPECT_TRUE(waitFor(
        [&] { return nginx_.accessLog().find("range=\"bytes=458752-\"") != std::string::npos; },
        5s));
}

TEST_F(DownloadTest, StopWhenIdleDoesNothing) {
    stopDownload();
    stopDownload();
    EXPECT_GE(poll().state, QUARN_STATE_PREPARING); // still answering
}

struct ServerFailure {
    const char* name;
    const char* site;
    const char* file;
    int64_t sizeDelta; // requested size minus the served size
    const char* password;
};

class ServerFailures : public EngineTest, public ::testing::WithParamInterface<ServerFailure> {};

TEST_P(ServerFailures, EndInState6) {
    const ServerFailure& f = GetParam();
    serve("test_site", "sample.bin", 256 * 1024);
    Download d = request(f.site, f.file, 256 * 1024 + f.sizeDelta);
    d.userPwd = f.password;
    ASSERT_EQ(d.start(), 0);
    EXPECT_EQ(waitForEnd(), QUARN_STATE_SERVER_ERROR);
    EXPECT_FALSE(fs::exists(mapped(d.localFileName)));
}

INSTANTIATE_TEST_SUITE_P(
    Engine, ServerFailures,
    ::testing::Values(ServerFailure{"NotFound", "test_site", "missing.bin", 0, kPassword},
                      ServerFailure{"WrongPassword", "test_site", "sample.bin", 0, "wrong"},
                      ServerFailure{"LongerThanServed", "test_site", "sample.bin", 1, kPassword},
                      ServerFailure{"ShorterThanServed", "test_site", "sample.bin", -1, kPassword},
                      // Credentials must not follow a redirect to another host name.
                      ServerFailure{"RedirectToOtherHost", "redirect_site", "x", 0, kPassword}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(DownloadTest, RedirectOnTheSameHostKeepsCredentials) {
    const std::string bytes = serve("test_site", "sample.bin", 100000);
    const Download d = request("moved_site", "anything.bin", 100000);
    ASSERT_EQ(d.start(), 0);
    ASSERT_EQ(waitForEnd(), QUARN_STATE_COMPLETE);
    EXPECT_TRUE(readFile(mapped(d.localFileName)) == bytes);
}

TEST_F(DownloadTest, ConnectionRefusedIsState6) {
    Download d = request("test_site", "sample.bin", 1000);
    d.server = "127.0.0.1:" + std::to_string(freeLoopbackPort());
    ASSERT_EQ(d.start(), 0);
    EXPECT_EQ(waitForEnd(), QUARN_STATE_SERVER_ERROR);
}

TEST_F(DownloadTest, ServerKilledMidTransferIsState6AndKeepsPart) {
    serve("slow_site", "sample.bin", 3 * kMiB);
    const Download d = request("slow_site", "sample.bin", 3 * kMiB);
    ASSERT_EQ(d.start(), 0);
    ASSERT_TRUE(waitFor([] { return poll().fileBytes >= kMiB / 4; }, 10s));
    nginx_.kill();
    EXPECT_EQ(waitForEnd(), QUARN_STATE_SERVER_ERROR);
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(mapped(d.localFileName).string() + ".part")),
              poll().fileBytes);
    EXPECT_EQ(poll().remain, 0);
}

TEST_F(DownloadTest, SilentServerStallsIntoState6) {
    // A listening socket nobody accepts on: the request goes out, nothing comes back.
    const LoopbackListener listener;
    Download d = request("test_site", "sample.bin", 1000);
    d.server = "127.0.0.1:" + std::to_string(listener.port());
    const EngineEnv stall("QUARN_STALL_TIMEOUT_MS", "300");
    ASSERT_EQ(d.start(), 0);
    EXPECT_EQ(waitForEnd(10s), QUARN_STATE_SERVER_ERROR);
}

TEST_F(DownloadTest, WriteFailureIsState5AndKeepsWhatWasWritten) {
    serve("test_site", "sample.bin", 4 * kMiB);
    const Download d = request("test_site", "sample.bin", 4 * kMiB);
    stopDownload(); // no transfer thread may exist across fork()
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // File size limit of 1 MiB: writes beyond it fail with EFBIG.
        const rlimit limit{static_cast<rlim_t>(kMiB), static_cast<rlim_t>(kMiB)};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_IGN);
        if (d.start() != 0) ::_exit(100);
        const int32_t state = waitForEnd(15s);
        stopDownload(); // joins the transfer thread before the child goes
        ::_exit(state < 0 ? 101 : state);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), QUARN_STATE_WRITE_ERROR);
    EXPECT_EQ(fs::file_size(mapped(d.localFileName).string() + ".part"),
              static_cast<uintmax_t>(kMiB));
    EXPECT_FALSE(fs::exists(mapped(d.localFileName)));
}

} // namespace
} // namespace quarn::test
