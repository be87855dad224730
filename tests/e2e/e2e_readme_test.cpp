// The README's `quarn` examples, read from the README and run as a reader
// would: the demo's server on the console's endpoint, and a file shared by
// one command and fetched by another. A changed README is what runs.
#include "tests/e2e/e2e_support.h"

#include "tests/support/process.h"

#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>

namespace quarn::e2e {
namespace {

// The commands of the sh block under "### The `quarn` command", each
// continued line joined, comments left out.
std::vector<std::string> readmeCommands() {
    std::ifstream in(fs::path(QUARN_SOURCE_DIR) / "README.md");
    std::vector<std::string> commands;
    bool section = false, block = false;
    std::string command;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("#", 0) == 0 && !block) section = line == "### The `quarn` command";
        if (!section) continue;
        if (line.rfind("```", 0) == 0) {
            if (block) break;
            block = line == "```sh";
            continue;
        }
        if (!block || line.empty() || line[0] == '#') continue;
        const bool continued = line.back() == '\\';
        command += continued ? line.substr(0, line.size() - 1) : line;
        if (!continued) commands.push_back(std::exchange(command, {}));
    }
    return commands;
}

std::string replaced(std::string text, const std::vector<std::pair<std::string, std::string>>& by) {
    for (const auto& [from, to] : by) text = std::regex_replace(text, std::regex(from), to);
    return text;
}

// The quarn built here first on PATH, as after `cmake --install`.
std::vector<std::string> withQuarn(std::vector<std::string> env = {}) {
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    env.push_back("PATH=" + fs::path(QUARN_CLI_BINARY).parent_path().string() + ":" + path);
    return env;
}

class Readme : public ConsoleTest {
protected:
    // The README's command that starts with `start` and mentions `mark`.
    static std::string command(const std::string& start, const std::string& mark) {
        for (const std::string& c : readmeCommands())
            if (c.rfind(start, 0) == 0 && c.find(mark) != std::string::npos) return c;
        ADD_FAILURE() << "the README has no " << start << " command with " << mark;
        return "false";
    }
};

TEST_F(Readme, TheGetFromTheDemosServerWorksAsWritten) {
    StartServer();
    const std::string get = command("quarn get", std::string("--server ") + sample::kServer);
    const fs::path log = dir_ / "get.out";
    test::Child quarn({"bash", "-c", get}, withQuarn(), log.string());
    ASSERT_EQ(quarn.SpawnError(), 0);
    EXPECT_EQ(quarn.Wait(), 0) << get << "\n" << test::readFile(log) << nginx_.accessLog();
    // Its --out, as the engine maps it.
    std::smatch out;
    ASSERT_TRUE(std::regex_search(get, out, std::regex("--out '([^']*)'"))) << get;
    EXPECT_TRUE(test::sameContent(Drive(out[1]), ServerFile())) << out[1];
}

TEST_F(Readme, TheShareAndTheGetOfAnotherMachineWorkAsWritten) {
    // The reader's machines, home folders and port are ours here.
    const test::TempDir home("quarn-readme-home"), other("quarn-readme-other");
    const std::string port = std::to_string(test::freeLoopbackPort());
    const std::vector<std::pair<std::string, std::string>> local = {
        {"0\\.0\\.0\\.0:48081", "127.0.0.1:" + port},
        {"hosta:48081", "127.0.0.1:" + port},
        {"/home/me", other.path().string()},
    };
    const std::string share = replaced(command("quarn share", "--listen"), local);
    const std::string get = replaced(command("quarn get", "hosta:"), local);
    std::smatch size;
    ASSERT_TRUE(std::regex_search(get, size, std::regex("--size ([0-9]+)"))) << get;
    test::writeMarkedSparseFile(home.path() / "video.mp4", std::stoll(size[1]), {0, 4096});

    const fs::path shareLog = dir_ / "share.out", getLog = dir_ / "get.out";
    test::Child sharing({"bash", "-c", "exec " + share},
                        withQuarn({"HOME=" + home.path().string()}), shareLog.string());
    ASSERT_TRUE(test::waitFor([&] {
        return test::readFile(shareLog).find("Ctrl-C stops sharing") != std::string::npos ||
               !sharing.Alive();
    })) << share
        << "\n"
        << test::readFile(shareLog);
    test::Child fetching({"bash", "-c", get}, withQuarn(), getLog.string());
    EXPECT_EQ(fetching.Wait(), 0) << get << "\n" << test::readFile(getLog);
    EXPECT_TRUE(test::sameContent(other.path() / "video.mp4", home.path() / "video.mp4"));
    sharing.Signal(SIGINT);
    EXPECT_EQ(sharing.Wait(), 0) << test::readFile(shareLog);
}

} // namespace
} // namespace quarn::e2e
