// Waiting on a condition with a deadline: the only way tests synchronise.
#pragma once

#include <chrono>
#include <thread>

namespace quarn::test {

// Polls pred every few milliseconds until it holds or the deadline passes.
// Returns the last value of pred, so a failed wait can be asserted directly.
template <class Pred>
bool waitFor(Pred pred, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= until) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace quarn::test
