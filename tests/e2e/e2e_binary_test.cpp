// The shipped QuarnDemo binary in a real X server: it starts, shows its
// window, and leaves a screenshot behind as an artifact.
#include "wait.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string Capture(const std::string& command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe) return out;
    char buf[4096];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, pipe.get())) out.append(buf, n);
    return out;
}

bool OnPath(const char* tool) {
    return Capture(std::string("command -v ") + tool + " 2>/dev/null").find('/') != std::string::npos;
}

class Child {
public:
    Child(std::vector<std::string> args, std::vector<std::string> env) {
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (char** e = environ; *e; ++e) envp.push_back(*e);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        if (posix_spawnp(&pid_, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool Alive() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

private:
    pid_t pid_ = -1;
};

TEST(ConsoleBinary, ShowsItsWindowUnderXvfb) {
    for (const char* tool : {"Xvfb", "xwininfo", "import", "fc-list"})
        ASSERT_TRUE(OnPath(tool)) << tool << " is missing: run scripts/install-deps.sh";
    ASSERT_NE(Capture("fc-list :lang=ko family").find("NanumGothic"), std::string::npos)
        << "no Korean-capable NanumGothic font: run scripts/install-deps.sh";

    // A display number nobody uses.
    int display = 90 + static_cast<int>(::getpid() % 400);
    while (fs::exists("/tmp/.X" + std::to_string(display) + "-lock")) ++display;
    const std::string name = ":" + std::to_string(display);
    Child xvfb({"Xvfb", name, "-screen", "0", "800x600x24", "-nolisten", "tcp"}, {});
    ASSERT_TRUE(quarn::test::waitFor(
        [&] { return fs::exists("/tmp/.X11-unix/X" + std::to_string(display)); }, 20s))
        << "Xvfb did not come up on " << name;

    const fs::path drives = fs::temp_directory_path() / ("quarn-e2e-bin-" + std::to_string(::getpid()));
    Child console({QUARNDEMO_BINARY}, {"DISPLAY=" + name, "QUARN_DRIVE_ROOT=" + drives.string(),
                                       "QT_QPA_PLATFORM=xcb"});
    const std::string query = "DISPLAY=" + name + " xwininfo -name 'QUARN DEMO' 2>/dev/null";
    std::string info;
    ASSERT_TRUE(quarn::test::waitFor(
        [&] {
            info = Capture(query);
            return info.find("Map State: IsViewable") != std::string::npos;
        },
        30s))
        << "no viewable window titled QUARN DEMO; console alive: " << console.Alive();

    const fs::path shot = fs::path(QUARN_ARTIFACT_DIR) / "quarndemo-window.png";
    fs::create_directories(shot.parent_path());
    fs::remove(shot);
    ASSERT_EQ(std::system(("DISPLAY=" + name + " import -window root '" + shot.string() + "'").c_str()), 0);
    ASSERT_TRUE(fs::exists(shot));
    EXPECT_GT(fs::file_size(shot), 2000u);
    std::printf("screenshot: %s\n", shot.c_str());
    std::error_code ignored;
    fs::remove_all(drives, ignored);
}

} // namespace
