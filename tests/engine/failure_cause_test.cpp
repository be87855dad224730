// A failed download says why: real failures (nginx, the scripted server, a
// port nobody listens on, a disk that answers "full") and the "cause" the
// JSON status names for each, through the engine and through `quarn get`.
//
// The disk's answers come from pwrite defined here, ahead of the C
// library's, in this executable only: a full disk without privileges.
#include "tests/engine/engine_test_env.h"
#include "tests/support/process.h"
#include "tests/support/scripted_server.h"
#include "tests/support/sockets.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <json/json.h>
#include <mutex>
#include <sstream>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Writes to a file whose name ends so fail with this errno; 0: none do.
std::mutex g_mutex;
std::string g_failingName;
std::atomic<int> g_failWith{0};

bool failsHere(int fd) {
    if (g_failWith.load() == 0) return false;
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[4096];
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n <= 0) return false;
    const std::string path(target, static_cast<std::size_t>(n));
    std::lock_guard lock(g_mutex);
    return path.size() >= g_failingName.size() &&
           path.compare(path.size() - g_failingName.size(), std::string::npos, g_failingName) == 0;
}

ssize_t writeAt(int fd, const void* data, std::size_t length, off_t offset) {
    if (failsHere(fd)) {
        errno = g_failWith.load();
        return -1;
    }
    return static_cast<ssize_t>(::syscall(SYS_pwrite64, fd, data, length, offset));
}

} // namespace

extern "C" {
ssize_t pwrite(int fd, const void* data, std::size_t length, off_t offset) {
    return writeAt(fd, data, length, offset);
}
ssize_t pwrite64(int fd, const void* data, std::size_t length, off_t offset) {
    return writeAt(fd, data, length, offset);
}
}

namespace quarn::test {
namespace {

using namespace std::chrono_literals;

// Writes to files named ...`suffix` fail with `error` while this lives.
class FailingWrites {
public:
    FailingWrites(std::string suffix, int error) {
        {
            std::lock_guard lock(g_mutex);
            g_failingName = std::move(suffix);
        }
        g_failWith.store(error);
    }
    ~FailingWrites() { g_failWith.store(0); }
    FailingWrites(const FailingWrites&) = delete;
    FailingWrites& operator=(const FailingWrites&) = delete;
};

Json::Value statusJson() {
    Json::Value root;
    std::istringstream in(utf8(getDownloadStateJson()));
    in >> root;
    return root;
}

class FailureCause : public EngineTest {
protected:
    // Starts `d`, waits for its end and answers the state; the JSON status
    // then names the cause.
    int32_t fail(const Download& d, std::chrono::milliseconds deadline = 20s) {
        EXPECT_EQ(d.start(), 0);
        return waitForEnd(deadline);
    }
    static std::string cause() {
        const Json::Value status = statusJson();
        return status.isMember("cause") ? status["cause"].asString() : "(no cause member)";
    }
};

struct HttpRow {
    const char* name;
    const char* site;
    const char* file;
    const char* password;
    int64_t sizeDelta; // requested minus served
    const char* cause;
};

class HttpFailure : public FailureCause, public ::testing::WithParamInterface<HttpRow> {};

TEST_P(HttpFailure, NamesItsCause) {
    const HttpRow& row = GetParam();
    serve("test_site", "sample.bin", 256 * 1024);
    Download d = request(row.site, row.file, 256 * 1024 + row.sizeDelta);
    d.userPwd = row.password;
    ASSERT_EQ(fail(d), QUARN_STATE_SERVER_ERROR);
    EXPECT_EQ(cause(), row.cause) << nginx_.accessLog();
}

INSTANTIATE_TEST_SUITE_P(
    Engine, HttpFailure,
    ::testing::Values(
        HttpRow{"NotFound", "test_site", "missing.bin", kPassword, 0, "HTTP 404 Not Found"},
        HttpRow{"Forbidden", "forbidden_site", "sample.bin", kPassword, 0, "HTTP 403 Forbidden"},
        HttpRow{"WrongPassword", "test_site", "sample.bin", "wrong", 0, "HTTP 401 Unauthorized"},
        HttpRow{"LongerThanServed", "test_site", "sample.bin", kPassword, 1, "length differs"},
        HttpRow{"ShorterThanServed", "test_site", "sample.bin", kPassword, -1, "length differs"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(FailureCause, NobodyListening) {
    Download d = request("test_site", "sample.bin", 1000);
    d.server = "127.0.0.1:" + std::to_string(freeLoopbackPort());
    ASSERT_EQ(fail(d), QUARN_STATE_SERVER_ERROR);
    EXPECT_EQ(cause(), "connection refused");
}

TEST_F(FailureCause, NoAnswerIsAStall) {
    // A listening socket nobody accepts on: the request goes out, nothing comes back.
    const LoopbackListener listener;
    Download d = request("test_site", "sample.bin", 1000);
    d.server = "127.0.0.1:" + std::to_string(listener.port());
    const EngineEnv stall("QUARN_STALL_TIMEOUT_MS", "300");
    ASSERT_EQ(fail(d, 10s), QUARN_STATE_SERVER_ERROR);
    EXPECT_EQ(cause(), "stalled");
}

TEST_F(FailureCause, ABodyThatStopsComingIsAStall) {
    const std::string file = sampleBytes(200000, 3);
    ScriptedServer server([&](const ScriptedRequest&, Reply& r) {
        r.send(head("200 OK", {"Content-Length: " + std::to_string(file.size())})) &&
            r.send(file.substr(0, 1000)) && r.pause(30s);
    });
    Download d = request("test_site", "sample.bin", static_cast<int64_t>(file.size()));
    d.server = server.endpoint();
    const EngineEnv stall("QUARN_STALL_TIMEOUT_MS", "300");
    ASSERT_EQ(fail(d, 10s), QUARN_STATE_SERVER_ERROR);
    EXPECT_EQ(cause(), "stalled");
}

struct DiskRow {
    const char* name;
    int error;
    const char* cause;
};

class DiskFailure : public FailureCause, public ::testing::WithParamInterface<DiskRow> {};

TEST_P(DiskFailure, NamesItsCause) {
    serve("test_site", "sample.bin", 1024 * 1024);
    const Download d = request("test_site", "sample.bin", 1024 * 1024);
    const FailingWrites failing("sample.bin.part", GetParam().error);
    ASSERT_EQ(fail(d), QUARN_STATE_WRITE_ERROR);
    EXPECT_EQ(cause(), GetParam().cause);
}

INSTANTIATE_TEST_SUITE_P(Engine, DiskFailure,
                         ::testing::Values(DiskRow{"Full", ENOSPC, "disk full"},
                                           DiskRow{"QuotaExceeded", EDQUOT, "disk full"},
                                           DiskRow{"BrokenDisk", EIO, "I/O error"}),
                         [](const auto& p) { return std::string(p.param.name); });

// `quarn get` says the same, started either way.
class CommandFailure : public FailureCause, public ::testing::WithParamInterface<bool> {};

TEST_P(CommandFailure, PrintsTheCause) {
    std::vector<std::string> args = {QUARN_CLI_BINARY, "get",
                                     "--server",       nginx_.endpoint(),
                                     "--site",         "open_site",
                                     "--file",         "gone",
                                     "--hash",         kHash,
                                     "--size",         "1000",
                                     "--out",          (tmp_ / "gone.bin").string()};
    if (GetParam()) args.push_back("--json");
    const fs::path output = tmp_ / "quarn.out";
    Child quarn(args, {}, output.string());
    ASSERT_EQ(quarn.SpawnError(), 0);
    EXPECT_EQ(quarn.Wait(), 6);
    EXPECT_NE(readFile(output).find("quarn get: the transfer failed: HTTP 404 Not Found\n"),
              std::string::npos)
        << readFile(output);
}

INSTANTIATE_TEST_SUITE_P(Starts, CommandFailure, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "Json" : "Plain"; });

} // namespace
} // namespace quarn::test
