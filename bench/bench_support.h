// Small helpers the benchmarks share: timing, medians, sparse sample files
// and timed runs of the peer programs they are compared with.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace quarn::bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Polls until pred holds; a benchmark may wait, but never without a deadline.
inline void waitUntil(const std::function<bool()>& pred, std::chrono::seconds deadline, const char* what) {
    const auto until = Clock::now() + deadline;
    while (!pred()) {
        if (Clock::now() > until) throw std::runtime_error(std::string("timed out: ") + what);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// A file of exactly `size` bytes that takes no disk: its length is what the
// benchmarks need, not its content.
inline void makeSparseFile(const fs::path& path, int64_t size) {
    fs::create_directories(path.parent_path());
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::ftruncate(fd, size) != 0) throw std::runtime_error("cannot make " + path.string());
    ::close(fd);
}

// Runs a program to its end; its wall time in seconds. Throws when it cannot
// run or exits with a failure.
inline double timedRun(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const auto t0 = Clock::now();
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot run " + args[0] + " (scripts/install-deps.sh)");
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double seconds = secondsSince(t0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(args[0] + " failed");
    return seconds;
}

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
public:
    explicit TempDir(const char* stem) {
        std::string pattern = "/tmp/" + std::string(stem) + "-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

} // namespace quarn::bench
