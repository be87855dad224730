// What the engine promises about the file itself: a hostile or changed
// server never leaves its bytes in the .part, a finished file is never
// touched again, and nothing is written outside the drive root.
#include "tests/engine/engine_test_env.h"
#include "tests/support/scripted_server.h"

#include <csignal>
#include <functional>
#include <sys/wait.h>
#include <unistd.h>

namespace quarn::test {
namespace {

using namespace std::chrono_literals;

class IntegrityTest : public EngineTest {
protected:
    fs::path part(const Download& d) const { return mapped(d.localFileName).string() + ".part"; }
};

// -- Hostile responses -------------------------------------------------------

constexpr std::size_t kSize = 256 * 1024;

struct Hostile {
    const char* name;
    std::size_t kept; // bytes of the right file already in the .part
    std::function<void(const std::string& file, const ScriptedRequest&, Reply&)> answer;
};

std::string chunked(std::string_view body) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", body.size());
    return std::string(size) + std::string(body) + "\r\n0\r\n\r\n";
}

const std::string kPage = "<html><body>Service temporarily unavailable</body></html>";

const Hostile kHostile[] = {
    {"BodyPastTheEndWithoutLength", 0,
     [](const std::string& file, const ScriptedRequest&, Reply& r) {
         r.send(head("200 OK", {})) && r.send(file) && r.send(std::string(1000, 'z'));
     }},
    {"EndlessBodyWithoutLength", 64 * 1024,
     [](const std::string& file, const ScriptedRequest&, Reply& r) {
         if (!r.send(head("200 OK", {})) || !r.send(file)) return;
         while (r.send(std::string(64 * 1024, 'z'))) {
         }
     }},
    {"GzipEncoded", 0,
     [](const std::string& file, const ScriptedRequest&, Reply& r) {
         r.send(head("200 OK", {"Content-Encoding: gzip",
                                "Content-Length: " + std::to_string(file.size())})) &&
             r.send(file);
     }},
    {"GzipTransferCoding", 0,
     [](const std::string& file, const ScriptedRequest&, Reply& r) {
         r.send(head("200 OK", {"Transfer-Encoding: gzip, chunked"})) && r.send(chunked(file));
     }},
    {"ShortChunkedPage", 0,
     [](const std::string& file, const ScriptedRequest&, Reply& r) {
         r.send(head("200 OK", {"Transfer-Encoding: chunked"})) &&
             r.send(chunked(file.substr(0, 1000)));
     }},
    {"PageWithLengthAnsweringRange", 100 * 1024,
     [](const std::string&, const ScriptedRequest&, Reply& r) {
         r.send(head("200 OK", {"Content-Length: " + std::to_string(kPage.size())})) &&
             r.send(kPage);
     }},
    {"ChunkedPageAnsweringRange", 100 * 1024,
     [](const std::string&, const ScriptedRequest&, Reply& r) {
         r.send(head("200 OK", {"Transfer-Encoding: chunked"})) && r.send(chunked(kPage));
     }},
    {"RangeLengthDisagreesWithContentRange", 100 * 1024,
     [](const std::string& file, const ScriptedRequest&, Reply& r) {
         const std::size_t from = 100 * 1024 - 64 * 1024;
         r.send(head("206 Partial Content",
                     {"Content-Range: bytes " + std::to_string(from) + "-" +
                          std::to_string(file.size() - 1) + "/" + std::to_string(file.size()),
                      "Content-Length: " + std::to_string(file.size())})) &&
             r.send(file.substr(from));
     }},
    {"RangeFromTheWrongOffset", 100 * 1024,
     [](const std::string& file, const ScriptedRequest&, Reply& r) {
         r.send(head("206 Partial Content",
                     {"Content-Range: bytes 0-" + std::to_string(file.size() - 1) + "/" +
                          std::to_string(file.size()),
                      "Content-Length: " + std::to_string(file.size())})) &&
             r.send(file);
     }},
    {"TotalOfAnotherFile", 0,
     [](const std::string& file, const ScriptedRequest&, Reply& r) {
         r.send(head("200 OK", {"Content-Length: " + std::to_string(file.size() + 1)})) &&
             r.send(file + "z");
     }},
};

class HostileServer : public IntegrityTest, public ::testing::WithParamInterface<Hostile> {};

TEST_P(HostileServer, LeavesThePartAsItWas) {
    const std::string file = sampleBytes(kSize, 7);
    ScriptedServer server([&](const ScriptedRequest& request, Reply& reply) {
        GetParam().answer(file, request, reply);
    });
    Download d = request("test_site", "sample.bin", static_cast<int64_t>(kSize));
    d.server = server.endpoint();
    const std::string before = file.substr(0, GetParam().kept);
    if (!before.empty()) writeFile(part(d), before);

    ASSERT_EQ(d.start(), 0);
    EXPECT_EQ(waitForEnd(), QUARN_STATE_SERVER_ERROR);
    EXPECT_FALSE(fs::exists(mapped(d.localFileName)));
    if (before.empty())
        EXPECT_TRUE(!fs::exists(part(d)) || fs::file_size(part(d)) == 0);
    else
        EXPECT_TRUE(readFile(part(d)) == before) << "the .part changed";
    ASSERT_FALSE(server.requests().empty());
    EXPECT_EQ(server.requests().front().header("accept-encoding"), "identity");
}

INSTANTIATE_TEST_SUITE_P(Engine, HostileServer, ::testing::ValuesIn(kHostile),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(IntegrityTest, ShortBodyWithTheRightLengthKeepsOnlyWhatArrived) {
    const std::string file = sampleBytes(kSize, 8);
    ScriptedServer server([&](const ScriptedRequest&, Reply& r) {
        r.send(head("200 OK", {"Content-Length: " + std::to_string(file.size())})) &&
            r.send(file.substr(0, 100000));
    });
    Download d = request("test_site", "sample.bin", static_cast<int64_t>(kSize));
    d.server = server.endpoint();
    ASSERT_EQ(d.start(), 0);
    EXPECT_EQ(waitForEnd(), QUARN_STATE_SERVER_ERROR);
    EXPECT_TRUE(readFile(part(d)) == file.substr(0, 100000));
}

TEST_F(IntegrityTest, HeaderTrickledLineByLineIsAStall) {
    ScriptedServer server([](const ScriptedRequest&, Reply& r) {
        r.send("HTTP/1.1 200 OK\r\n");
        for (int i = 0;
             i < 100 && r.pause(100ms) && r.send("X-Drip: " + std::to_string(i) + "\r\n");)
            ++i;
    });
    Download d = request("test_site", "sample.bin", 1000);
    d.server = server.endpoint();
    const EngineEnv stall("QUARN_STALL_TIMEOUT_MS", "500");
    ASSERT_EQ(d.start(), 0);
    EXPECT_EQ(waitForEnd(5s), QUARN_STATE_SERVER_ERROR);
}

// -- Resume against the server's file ----------------------------------------

TEST_F(IntegrityTest, ResumeComparesAnOverlapAndStartsOverWhenTheFileChanged) {
    const std::string now = serve("slow_site", "sample.bin", 2 * kMiB);
    const Download d = request("slow_site", "sample.bin", 2 * kMiB);
    struct Case {
        const char* name;
        std::string part;
        const char* firstRange;
    } cases[] = {
        {"changed on the server", sampleBytes(kMiB, 99), "bytes=983040-"},
        {"damaged tail", now.substr(0, kMiB - 1000) + std::string(1000, '\0'), "bytes=983040-"},
        {"shorter than the overlap", sampleBytes(1000, 99), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(mapped(d.localFileName));
        writeFile(part(d), c.part);
        ASSERT_EQ(d.start(), 0);
        ASSERT_EQ(waitForEnd(), QUARN_STATE_COMPLETE);
        EXPECT_TRUE(readFile(mapped(d.localFileName)) == now) << "stitched from two files";
    }
    const std::string log = nginx_.accessLog();
    EXPECT_NE(log.find("range=\"bytes=983040-\""), std::string::npos) << log;
}

TEST_F(IntegrityTest, PartHoldingTheWholeFileIsCheckedNotFetchedAgain) {
    const std::string bytes = serve("test_site", "sample.bin", 2 * kMiB);
    const Download d = request("test_site", "sample.bin", 2 * kMiB);
    writeFile(part(d), bytes);
    ASSERT_EQ(d.start(), 0);
    ASSERT_EQ(waitForEnd(), QUARN_STATE_COMPLETE);
    EXPECT_TRUE(readFile(mapped(d.localFileName)) == bytes);
    EXPECT_EQ(poll().received, 0);
    ASSERT_TRUE(waitFor([&] { return nginx_.accessLog().find("sent=") != std::string::npos; }, 5s));
    EXPECT_NE(nginx_.accessLog().find("range=\"bytes=2031616-\" "), std::string::npos)
        << nginx_.accessLog();
}

TEST_F(IntegrityTest, NothingIsTruncatedWhenTheServerIsUnreachable) {
    Download d = request("test_site", "sample.bin", 100000);
    d.server = "127.0.0.1:" + std::to_string(freeLoopbackPort());
    for (const std::size_t held : {std::size_t{100000}, std::size_t{150000}}) {
        const std::string before = sampleBytes(held, 3);
        writeFile(part(d), before);
        ASSERT_EQ(d.start(), 0);
        ASSERT_EQ(waitForEnd(), QUARN_STATE_SERVER_ERROR);
        EXPECT_TRUE(readFile(part(d)) == before) << held;
    }
}

TEST_F(IntegrityTest, LongerPartIsCutToTheFileOnlyOnCompletion) {
    const std::string bytes = serve("test_site", "sample.bin", kMiB);
    const Download d = request("test_site", "sample.bin", kMiB);
    writeFile(part(d), bytes + "stale tail of a longer file");
    ASSERT_EQ(d.start(), 0);
    ASSERT_EQ(waitForEnd(), QUARN_STATE_COMPLETE);
    EXPECT_TRUE(readFile(mapped(d.localFileName)) == bytes);
}

// -- A start racing a finishing download -------------------------------------

#if defined(__SANITIZE_THREAD__)
constexpr int kRaceRounds = 60; // ThreadSanitizer makes each round many times slower
#else
constexpr int kRaceRounds = 300;
#endif

TEST_F(IntegrityTest, StartWhileTheLastOneFinishesNeverTouchesTheFinishedFile) {
    const std::string bytes = serve("test_site", "small.bin", 64 * 1024);
    const Download d = request("test_site", "small.bin", 64 * 1024);
    const fs::path target = mapped(d.localFileName);
    for (int round = 0; round < kRaceRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(d.start(), 0);
        int32_t again = QUARN_ERR_OPERATION;
        while (again == QUARN_ERR_OPERATION) again = d.start();
        ASSERT_EQ(again, QUARN_ERR_FILE_EXISTS);
        ASSERT_EQ(waitForEnd(), QUARN_STATE_COMPLETE);
        ASSERT_TRUE(readFile(target) == bytes) << "the finished file was touched";
        ASSERT_FALSE(fs::exists(part(d)));
        fs::remove(target);
    }
}

// -- Crashes -----------------------------------------------------------------

TEST_F(IntegrityTest, KilledMidDownloadSeveralTimesThenResumedIsByteExact) {
    const std::string bytes = serve("slow_site", "sample.bin", 3 * kMiB);
    const Download d = request("slow_site", "sample.bin", 3 * kMiB);
    int64_t last = 0;
    for (int kill = 0; kill < 3; ++kill) {
        const fs::path p = part(d);
        ASSERT_TRUE(killDownloadWhen(
            d,
            [&] {
                std::error_code e;
                return static_cast<int64_t>(fs::file_size(p, e)) > last + 128 * 1024 && !e;
            },
            10s));
        last = static_cast<int64_t>(fs::file_size(p));
        EXPECT_TRUE(readFile(p) == bytes.substr(0, static_cast<std::size_t>(last)));
    }
    ASSERT_EQ(d.start(), 0);
    ASSERT_EQ(waitForEnd(), QUARN_STATE_COMPLETE);
    EXPECT_TRUE(readFile(mapped(d.localFileName)) == bytes);
}

// -- Redirects ---------------------------------------------------------------

TEST_F(IntegrityTest, RedirectToAnotherHostDropsIndexAndHash) {
    const std::string bytes = serve("open_site", "sample.bin", 100000);
    const Download d = request("redirect_open_site", "x", 100000);
    ASSERT_EQ(d.start(), 0);
    ASSERT_EQ(waitForEnd(), QUARN_STATE_COMPLETE);
    EXPECT_TRUE(readFile(mapped(d.localFileName)) == bytes);
    ASSERT_TRUE(waitFor([&] { return nginx_.accessLog().find("200 ") != std::string::npos; }, 5s));
    const std::string log = nginx_.accessLog();
    EXPECT_NE(log.find("\"GET /open_site/sample.bin HTTP/1.1\" range=\"-\" user=\"-\" index=\"-\" "
                       "hash=\"-\""),
              std::string::npos)
        << log;
}

// -- The drive root ----------------------------------------------------------

struct Planted {
    const char* name;
    // Plants links below the root; `outside` is a directory outside it.
    std::function<void(const fs::path& dir, const fs::path& outside)> plant;
    int32_t expected;
};

class PlantedLinks : public IntegrityTest, public ::testing::WithParamInterface<Planted> {};

TEST_P(PlantedLinks, NeverLeadOutsideTheRoot) {
    const fs::path outside = tmp_ / "outside";
    fs::create_directories(outside);
    writeFile(outside / "victim", "precious");
    serve("test_site", "sample.bin", 100000);
    const Download d = request("test_site", "sample.bin", 100000);
    const fs::path dir = mapped(d.localFileName).parent_path();
    fs::create_directories(dir.parent_path());
    GetParam().plant(dir, outside);

    EXPECT_EQ(d.start(), GetParam().expected);
    stopDownload();
    EXPECT_EQ(readFile(outside / "victim"), "precious");
    std::size_t entries = 0;
    for (const auto& e : fs::directory_iterator(outside))
        entries += e.path().filename() != "victim";
    EXPECT_EQ(entries, 0u) << "something was created outside the root";
}

const Planted kPlanted[] = {
    {"PartLinkedToAFile",
     [](const fs::path& dir, const fs::path& out) {
         fs::create_directories(dir);
         fs::create_symlink(out / "victim", dir / "sample.bin.part");
     },
     QUARN_ERR_FILE_CREATE},
    {"DanglingPartLink",
     [](const fs::path& dir, const fs::path& out) {
         fs::create_directories(dir);
         fs::create_symlink(out / "created", dir / "sample.bin.part");
     },
     QUARN_ERR_FILE_CREATE},
    {"DirectoryLinkedOutside",
     [](const fs::path& dir, const fs::path& out) { fs::create_directory_symlink(out, dir); },
     QUARN_ERR_DIRECTORY},
    {"FinalNameIsALink",
     [](const fs::path& dir, const fs::path& out) {
         fs::create_directories(dir);
         fs::create_symlink(out / "created", dir / "sample.bin");
     },
     QUARN_ERR_FILE_EXISTS},
};

INSTANTIATE_TEST_SUITE_P(Engine, PlantedLinks, ::testing::ValuesIn(kPlanted),
                         [](const auto& p) { return std::string(p.param.name); });

// -- Refused starts leave nothing behind ---------------------------------------

TEST_F(IntegrityTest, RefusedStartsCreateNothing) {
    serve("slow_site", "sample.bin", 2 * kMiB);
    Download running = request("slow_site", "sample.bin", 2 * kMiB);
    ASSERT_EQ(running.start(), 0);
    Download other = request("slow_site", "sample.bin", 2 * kMiB);
    other.localFileName = "d:\\busy\\deep\\x.bin";
    EXPECT_EQ(other.start(), QUARN_ERR_OPERATION);
    stopDownload();
    EXPECT_FALSE(fs::exists(mapped("d:\\busy")));

    Download huge = request("slow_site", "sample.bin", int64_t{1} << 60);
    huge.localFileName = "d:\\full\\deep\\x.bin";
    EXPECT_EQ(huge.start(), QUARN_ERR_DISK_FULL);
    EXPECT_FALSE(fs::exists(mapped("d:\\full")));

    Download blocked = request("slow_site", "sample.bin", 2 * kMiB);
    blocked.localFileName = "d:\\blocked\\deep\\x.bin";
    fs::create_directories(mapped("d:\\blocked\\deep\\x.bin.part"));
    EXPECT_EQ(blocked.start(), QUARN_ERR_FILE_CREATE);
    EXPECT_TRUE(fs::is_empty(mapped("d:\\blocked\\deep\\x.bin.part")));
}

} // namespace
} // namespace quarn::test
