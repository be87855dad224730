// Starts the disk on ranges of a file from a thread of its own. The kernel
// does the work of sync_file_range in the caller, so the transfer thread
// hands it over instead of spending its own time (or waiting) on the disk.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace quarn::engine {

class WriteBack {
public:
    // `fd` is borrowed: it must stay open until the object is gone.
    explicit WriteBack(int fd);
    ~WriteBack(); // finishes what was handed over, then joins
    WriteBack(const WriteBack&) = delete;
    WriteBack& operator=(const WriteBack&) = delete;

    // Never waits for the disk; without a thread of its own, does it here.
    void start(int64_t offset, int64_t length);

private:
    void run();

    int fd_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<int64_t, int64_t>> ranges_;
    bool closing_ = false;
    std::thread thread_;
};

} // namespace quarn::engine
