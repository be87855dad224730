// Child processes for the suites and benchmarks that run real programs.
#pragma once

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/support/wait.h"

extern char** environ;

namespace quarn::test {

// A shell command's standard output.
inline std::string Capture(const std::string& command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe) return out;
    char buf[4096];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, pipe.get())) out.append(buf, n);
    return out;
}

inline bool OnPath(const char* tool) {
    return Capture(std::string("command -v ") + tool + " 2>/dev/null").find('/') !=
           std::string::npos;
}

// Until the X server on `display` answers requests (its socket appears
// before it does).
inline bool WaitForXServer(const std::string& display, std::chrono::milliseconds deadline) {
    return waitFor(
        [&] {
            return Capture("DISPLAY=" + display + " xwininfo -root 2>/dev/null")
                       .find("Window id") != std::string::npos;
        },
        deadline);
}

// A program run with extra environment entries; terminated and reaped when
// the object goes.
class Child {
public:
    // An entry given here replaces an inherited one of the same name: with
    // both, the child would find whichever comes first (an inherited
    // QT_QPA_PLATFORM=offscreen ahead of the xcb a test asks for). With an
    // `output` file, both its streams go there and it reads /dev/null. With
    // a `cwd`, it runs there.
    Child(std::vector<std::string> args, std::vector<std::string> extraEnv = {},
          const std::string& output = {}, const std::string& cwd = {}) {
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const auto name = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
        for (char** e = environ; *e; ++e) {
            const bool replaced =
                std::any_of(extraEnv.begin(), extraEnv.end(),
                            [&](const std::string& x) { return name(x) == name(*e); });
            if (!replaced) envp.push_back(*e);
        }
        for (auto& e : extraEnv) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (!output.empty()) {
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
            posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
            posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        }
        if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
        error_ = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (error_ != 0) pid_ = -1;
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { Terminate(); }

    // 0, or why it could not be started (ENOENT: no such program).
    int SpawnError() const { return error_; }
    pid_t Pid() const { return pid_; }
    bool Alive() { return pid_ > 0 && !Reaped(WNOHANG); }
    // Waits for the child to end on its own; its exit status, or -1 (also
    // when it was killed by a signal). With `usage`, what it used.
    int Wait(rusage* usage = nullptr) {
        if (pid_ > 0) Reaped(0, usage);
        return exit_;
    }
    void Signal(int sig) const {
        if (pid_ > 0) ::kill(pid_, sig);
    }
    void Terminate() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    bool Reaped(int options, rusage* usage = nullptr) {
        int status = 0;
        const pid_t got = ::wait4(pid_, &status, options, usage);
        if (got == 0) return false;
        exit_ = got == pid_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
        return true;
    }

    pid_t pid_ = -1;
    int error_ = 0;
    int exit_ = -1;
};

// A private X server on a display number it picks itself, so parallel runs
// never collide; -noreset, because a server that resets when its first
// client (the readiness probe) leaves refuses the next one meanwhile.
// display is empty if it did not come up in time.
struct VirtualDisplay {
    std::unique_ptr<Child> server;
    std::string display;
};

inline VirtualDisplay StartXvfb(std::chrono::milliseconds deadline) {
    VirtualDisplay x;
    int fds[2];
    if (::pipe(fds) != 0) return x;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    x.server = std::make_unique<Child>(
        std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]), "-noreset",
                                 "-screen", "0", "800x600x24", "-nolisten", "tcp"},
        std::vector<std::string>{});
    ::close(fds[1]);
    std::string number;
    pollfd pfd{fds[0], POLLIN, 0};
    while (::poll(&pfd, 1, static_cast<int>(deadline.count())) > 0) {
        char c = 0;
        if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
        number += c;
    }
    ::close(fds[0]);
    if (!number.empty() && WaitForXServer(":" + number, deadline)) x.display = ":" + number;
    return x;
}

} // namespace quarn::test
