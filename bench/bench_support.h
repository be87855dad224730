// What the benchmarks share beyond the test support (temporary directories,
// sparse files, text, child processes): timing, medians, a run's
// directories, one engine download, timed runs of the peer programs they are
// compared with, and the main of each.
#pragma once

#include "dialog/samplerequest.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/text.h"

#include <quarn/quarn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quarn::bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using test::makeSparseFile;
using test::TempDir;
using test::u16;

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
inline void waitUntil(const std::function<bool()>& pred, std::chrono::seconds deadline,
                      const char* what) {
    const auto until = Clock::now() + deadline;
    while (!pred()) {
        if (Clock::now() > until) throw std::runtime_error(std::string("timed out: ") + what);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Both rounds of a pair, the order swapped every other round so that a load
// drifting over the run falls on both alike.
template <class A, class B> void alternate(int round, A&& a, B&& b) {
    if (round % 2 == 0) {
        a();
        b();
    } else {
        b();
        a();
    }
}

// A run's scratch space: www/ for the servers, drives/ as the engine's drive
// root (set here, so before the engine's first thread). Whatever download
// still runs is stopped before the directory goes.
class BenchDirs {
public:
    explicit BenchDirs(const char* stem) : dir_(stem) {
        fs::create_directories(benchFile("").parent_path());
        ::setenv("QUARN_DRIVE_ROOT", drives().c_str(), 1);
    }
    ~BenchDirs() { stopDownload(); }
    BenchDirs(const BenchDirs&) = delete;
    BenchDirs& operator=(const BenchDirs&) = delete;

    fs::path tmp() const { return dir_.path(); }
    fs::path www() const { return dir_.path() / "www"; }
    fs::path drives() const { return dir_.path() / "drives"; }
    // Where the engine puts d:\bench\NAME.
    fs::path benchFile(const char* name) const { return drives() / "d" / "bench" / name; }

private:
    TempDir dir_;
};

struct EngineJob {
    EngineJob(std::string server_, std::string site_, std::string serverFile_, int64_t size_)
        : server(std::move(server_)), site(std::move(site_)), serverFile(std::move(serverFile_)),
          size(size_) {}

    std::string server; // host:port, or https://host:port
    std::string site;
    std::string serverFile;
    int64_t size = 0;
    std::string localFileName = "d:\\bench\\engine.bin";
    std::chrono::milliseconds pollEvery{1};
    std::function<void(int32_t state, int64_t onDisk)> onPoll; // each poll's answer
};

// One engine download to its end. Throws unless it completed with all of
// job.size bytes in `target` (where job.localFileName lands), which stays.
// Seconds from the start to completion.
inline double engineDownload(const EngineJob& job, const fs::path& target) {
    const auto t0 = Clock::now();
    const int32_t rc = startDownload(
        u16(job.site).c_str(), u16(job.server).c_str(), u16(job.serverFile).c_str(), u"1",
        u16(job.localFileName).c_str(), u16(sample::kHash).c_str(), job.size, u"", u"", u"");
    if (rc != 0) throw std::runtime_error("startDownload returned " + std::to_string(rc));
    const auto until = t0 + std::chrono::seconds(600);
    int32_t state = QUARN_STATE_PREPARING;
    for (;;) {
        int64_t onDisk = 0;
        state = getDownloadState(nullptr, nullptr, nullptr, &onDisk);
        if (job.onPoll) job.onPoll(state, onDisk);
        if (state >= QUARN_STATE_COMPLETE) break;
        if (Clock::now() > until) throw std::runtime_error("timed out: engine");
        std::this_thread::sleep_for(job.pollEvery);
    }
    const double seconds = secondsSince(t0);
    std::error_code ignored;
    if (state != QUARN_STATE_COMPLETE ||
        static_cast<int64_t>(fs::file_size(target, ignored)) != job.size)
        throw std::runtime_error("engine download failed, state " + std::to_string(state));
    stopDownload();
    return seconds;
}

// The median cost of one call, over seven batches of `calls`.
template <class F> double nanosPerCall(F call, int calls) {
    std::vector<double> batches;
    for (int b = 0; b < 7; ++b) {
        const auto t0 = Clock::now();
        for (int i = 0; i < calls; ++i) call();
        batches.push_back(secondsSince(t0) * 1e9 / calls);
    }
    return median(batches);
}

// Runs a program to its end, its output in `output` (or nowhere); its wall
// time in seconds. Throws when it cannot run or exits with a failure.
inline double timedRun(std::vector<std::string> args, const std::string& output = "/dev/null") {
    const std::string program = args.at(0);
    const auto t0 = Clock::now();
    test::Child child(std::move(args), {}, output);
    if (child.SpawnError() != 0)
        throw std::runtime_error("cannot run " + program + " (scripts/install-deps.sh)");
    const int status = child.Wait();
    const double seconds = secondsSince(t0);
    if (status != 0) throw std::runtime_error(program + " failed");
    return seconds;
}

// A benchmark's main: `run(rounds)` with the first argument as the rounds
// (at least 1, `rounds` when none is given); a failure is printed, exit 1.
inline int benchMain(const char* name, int argc, char** argv, int rounds,
                     const std::function<void(int)>& run) {
    if (argc > 1) rounds = std::max(1, std::atoi(argv[1]));
    try {
        run(rounds);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", name, e.what());
        return 1;
    }
    return 0;
}

} // namespace quarn::bench
