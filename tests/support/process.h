// Child processes for the suites and benchmarks that run real programs.
#pragma once

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <cstdio>
#include <memory>
#include <spawn.h>
#include <string>
#include <string_view>
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
    return Capture(std::string("command -v ") + tool + " 2>/dev/null").find('/') != std::string::npos;
}

// Until the X server on `display` answers requests (its socket appears
// before it does).
inline bool WaitForXServer(const std::string& display, std::chrono::milliseconds deadline) {
    return waitFor(
        [&] {
            return Capture("DISPLAY=" + display + " xwininfo -root 2>/dev/null").find("Window id") !=
                   std::string::npos;
        },
        deadline);
}

// A program run with extra environment entries; terminated and reaped when
// the object goes.
class Child {
public:
    // An entry given here replaces an inherited one of the same name: with
    // both, the child would find whichever comes first (an inherited
    // QT_QPA_PLATFORM=offscreen ahead of the xcb a test asks for).
    Child(std::vector<std::string> args, std::vector<std::string> extraEnv) {
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const auto name = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
        for (char** e = environ; *e; ++e) {
            const bool replaced = std::any_of(extraEnv.begin(), extraEnv.end(), [&](const std::string& x) {
                return name(x) == name(*e);
            });
            if (!replaced) envp.push_back(*e);
        }
        for (auto& e : extraEnv) envp.push_back(e.data());
        envp.push_back(nullptr);
        if (posix_spawnp(&pid_, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { Terminate(); }

    pid_t Pid() const { return pid_; }
    bool Alive() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }
    // Waits for the child to end on its own; its exit status, or -1.
    int Wait() {
        int status = 0;
        if (pid_ <= 0 || ::waitpid(pid_, &status, 0) != pid_) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void Terminate() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
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
        std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]), "-noreset", "-screen", "0",
                                 "800x600x24", "-nolisten", "tcp"},
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
