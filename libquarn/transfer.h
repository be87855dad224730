// One download on a thread of its own, driven through a curl multi handle so
// that a stop can wake it at once (curl_multi_wakeup) instead of waiting for
// the next timeout.
#pragma once

#include "requests.h"
#include "status_board.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>

#include <curl/curl.h>

namespace quarn::engine {

class Transfer {
public:
    // Takes ownership of `fd`, the open .part file, whose first `resumeFrom`
    // bytes are kept. Throws when curl cannot be set up.
    Transfer(PreparedDownload job, int fd, int64_t resumeFrom, StatusBoard& board);
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    void launch();                 // throws std::system_error if no thread
    void requestStop() noexcept;   // any thread; the transfer ends soon after
    void join();
    bool finished() const noexcept { return finished_.load(std::memory_order_acquire); }

    // What the first snapshot of a download says.
    static StatusSnapshot initialStatus(int64_t resumeFrom, int64_t fileSize);

private:
    enum class Outcome { Running, Complete, Stopped, WriteError, ServerError };
    using Clock = std::chrono::steady_clock;

    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self);
    std::size_t body(const char* data, std::size_t length);
    void header(std::string_view line);
    bool acceptResponse();
    bool writeAll(const char* data, std::size_t length);
    void sampleSpeed(Clock::time_point now);
    Outcome finishedTransfer(int curlResult);
    void run();
    void finish(Outcome outcome);

    PreparedDownload job_;
    int fd_;
    int64_t resumeFrom_;
    int64_t position_;     // bytes in the .part file
    int64_t received_ = 0; // bytes from the server
    StatusBoard& board_;
    StatusSnapshot snapshot_;

    CURL* easy_ = nullptr;
    CURLM* multi_ = nullptr;
    curl_slist* headers_ = nullptr;
    std::string range_;

    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::thread thread_;

    // Per response (redirects reset them).
    bool bodyStarted_ = false;
    int64_t contentRangeStart_ = -1;
    int64_t contentRangeTotal_ = -1;
    Outcome failure_ = Outcome::Running; // why a callback aborted the transfer

    Clock::duration stallTimeout_;
    Clock::time_point lastActivity_;
    struct Sample {
        Clock::time_point at;
        int64_t received;
    };
    std::deque<Sample> samples_;
};

} // namespace quarn::engine
