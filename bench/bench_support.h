// What the benchmarks share beyond the test support (temporary directories,
// sparse files, text, child processes): timing, medians, timed runs of the
// peer programs they are compared with, and the main of each.
#pragma once

#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/text.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
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
