// The demo script's guards, run for real: with another demo holding the demo
// folder, or the console's endpoint taken, it exits at once, says why and
// leaves the folder as it was. Reaching either guard also means it read every
// sample value from the console's own header.
#include "dialog/samplerequest.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/sockets.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace {

namespace fs = std::filesystem;
namespace test = quarn::test;

struct Guard {
    const char* name;
    bool holdLock;
    bool holdPort;
    const char* says;
};

class DemoScript : public ::testing::TestWithParam<Guard> {};

TEST_P(DemoScript, StopsBeforeTouchingAnything) {
    const Guard& guard = GetParam();
    const test::TempDir demo("quarn-demo-script");
    const fs::path planted = demo.path() / "drives/d/download/aaaaa.avi.part";
    test::writeFile(planted, "a running console's bytes");

    // flock(1) in the script and flock(2) here lock the same way.
    const int lockFd =
        ::open((demo.path() / ".demo.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(lockFd, 0);
    if (guard.holdLock) {
        ASSERT_EQ(::flock(lockFd, LOCK_EX | LOCK_NB), 0);
    }
    const std::string_view server(sample::kServer);
    std::optional<test::LoopbackListener> taken;
    if (guard.holdPort)
        taken.emplace(static_cast<std::uint16_t>(
            std::stoi(std::string(server.substr(server.rfind(':') + 1)))));

    const std::string out =
        test::Capture("DISPLAY=:quarn-none QUARN_DEMO_DIR='" + demo.path().string() + "' " +
                      QUARN_SOURCE_DIR "/scripts/demo.sh </dev/null 2>&1; echo exit=$?");
    ::close(lockFd);

    EXPECT_NE(out.find("exit=1"), std::string::npos) << out;
    EXPECT_NE(out.find(guard.says), std::string::npos) << out;
    EXPECT_EQ(out.find("missing"), std::string::npos) << out;
    EXPECT_EQ(test::readFile(planted), "a running console's bytes");
    EXPECT_FALSE(fs::exists(demo.path() / "nginx"));
}

INSTANTIATE_TEST_SUITE_P(
    Guards, DemoScript,
    ::testing::Values(Guard{"AnotherDemo", true, false, "another demo is running"},
                      Guard{"EndpointTaken", false, true, "is already in use"}),
    [](const auto& guardInfo) { return std::string(guardInfo.param.name); });

} // namespace
