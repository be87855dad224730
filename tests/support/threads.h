// Threads a test starts for itself. A failed assertion returns from the test
// early: these are then still asked to stop and joined, so the failure is
// reported instead of std::terminate ending the whole suite.
#pragma once

#include <stop_token>
#include <thread>
#include <utility>
#include <vector>

namespace quarn::test {

class TestThreads {
public:
    TestThreads() = default;
    ~TestThreads() { stopAndJoin(); }
    TestThreads(const TestThreads&) = delete;
    TestThreads& operator=(const TestThreads&) = delete;

    // body(std::stop_token): runs until its token says stop.
    template <class Body> void start(Body body) { threads_.emplace_back(std::move(body)); }

    // All are told first, so none waits for another's join.
    void stopAndJoin() {
        for (std::jthread& t : threads_) t.request_stop();
        for (std::jthread& t : threads_)
            if (t.joinable()) t.join();
        threads_.clear();
    }

private:
    std::vector<std::jthread> threads_;
};

} // namespace quarn::test
