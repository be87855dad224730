// The end-to-end suite when the console's fixed endpoint is already taken
// (a demo running, a stray nginx): it fails at once and says which port.
#include "tests/support/process.h"
#include "dialog/samplerequest.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

TEST(ConsoleEndpoint, TakenPortFailsAtOnceNamingIt) {
    ASSERT_TRUE(quarn::test::OnPath("ss")) << "ss is missing: run scripts/install-deps.sh";
    const std::string_view server(sample::kServer);
    const std::string port(server.substr(server.rfind(':') + 1));

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << server << " already taken";
    ASSERT_EQ(::listen(fd, 4), 0);

    const auto before = std::chrono::steady_clock::now();
    const std::string out = quarn::test::Capture(
        std::string(E2E_CONSOLE_TESTS) + " --gtest_filter=ConsoleTest.ExistingFileIsRefused 2>&1; echo exit=$?");
    const auto took = std::chrono::steady_clock::now() - before;
    ::close(fd);

    EXPECT_LT(took, 30s);
    EXPECT_NE(out.find("exit=1"), std::string::npos) << out;
    EXPECT_NE(out.find(std::string(server) + " is taken"), std::string::npos) << out;
    // ss names this process as the listener.
    EXPECT_NE(out.find("pid=" + std::to_string(::getpid()) + ","), std::string::npos) << out;
}

} // namespace
