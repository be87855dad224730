#include "libquarn/writeback.h"

#include <fcntl.h>
#include <system_error>

namespace quarn::engine {

WriteBack::WriteBack(int fd) : fd_(fd) {
    try {
        thread_ = std::thread(&WriteBack::run, this);
    } catch (const std::system_error&) {
        // No thread: start() does the work itself, which is only slower.
    }
}

WriteBack::~WriteBack() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void WriteBack::start(int64_t offset, int64_t length) {
    if (!thread_.joinable()) {
        ::sync_file_range(fd_, offset, length, SYNC_FILE_RANGE_WRITE);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        // Adjacent ranges merge, so a slow disk cannot make the queue grow.
        if (!ranges_.empty() && ranges_.back().first + ranges_.back().second == offset)
            ranges_.back().second += length;
        else
            ranges_.emplace_back(offset, length);
    }
    wake_.notify_one();
}

void WriteBack::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return closing_ || !ranges_.empty(); });
        if (ranges_.empty()) return;
        const auto [offset, length] = ranges_.front();
        ranges_.pop_front();
        lock.unlock();
        ::sync_file_range(fd_, offset, length, SYNC_FILE_RANGE_WRITE);
        lock.lock();
    }
}

} // namespace quarn::engine
