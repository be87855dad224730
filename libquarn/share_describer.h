// The registry's one hashing thread: after each registration it reads the
// file once and hands the registry its Metalink document and Repr-Digest
// value. Registrations queue; a file registered again while it is being
// hashed is started over, so what is kept always describes the latest one.
#pragma once

#include "libquarn/handles.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace quarn::engine {

class ShareRegistry;

class ShareDescriber {
public:
    explicit ShareDescriber(ShareRegistry& registry); // starts the thread
    ~ShareDescriber();                                // cuts the current hashing short, joins
    ShareDescriber(const ShareDescriber&) = delete;
    ShareDescriber& operator=(const ShareDescriber&) = delete;

    // Describes the entry registered as `generation` (after those queued).
    void request(const std::string& site, const std::string& hash, std::uint64_t generation);

private:
    struct Job {
        std::string site, hash;
        std::uint64_t generation = 0;
    };

    void run();
    void describe(const Job& job);
    void cancelCurrentLocked() noexcept;

    ShareRegistry& registry_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> queue_;
    std::optional<Job> current_;
    // The descriptor the current hashing reads, so that it can be cut short.
    int currentFd_ = -1;
    bool cancelled_ = false; // the current job is out of date
    bool stopping_ = false;
    UniqueFd nothing_; // /dev/null
    std::thread thread_;
};

} // namespace quarn::engine
