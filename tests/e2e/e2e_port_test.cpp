// The end-to-end suite when the console's fixed endpoint is already taken
// (a demo running, a stray nginx): it fails at once and says which port.
#include "dialog/samplerequest.h"
#include "tests/support/process.h"
#include "tests/support/sockets.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

TEST(ConsoleEndpoint, TakenPortFailsAtOnceNamingIt) {
    ASSERT_TRUE(quarn::test::OnPath("ss")) << "ss is missing: run scripts/install-deps.sh";
    const std::string_view server(sample::kServer);
    const std::string port(server.substr(server.rfind(':') + 1));

    const quarn::test::LoopbackListener taken(static_cast<std::uint16_t>(std::stoi(port)));

    const std::string out = quarn::test::Capture(
        std::string(E2E_CONSOLE_TESTS) +
        " --gtest_filter=ConsoleTest.ExistingFileIsRefused 2>&1; echo exit=$?");

    EXPECT_NE(out.find("exit=1"), std::string::npos) << out;
    EXPECT_NE(out.find(std::string(server) + " is taken"), std::string::npos) << out;
    // ss names this process as the listener.
    EXPECT_NE(out.find("pid=" + std::to_string(::getpid()) + ","), std::string::npos) << out;
}

} // namespace
