// The engine behind the eight entry points: one current download, its
// status board and the share registry.
#pragma once

#include "libquarn/requests.h"
#include "libquarn/share_registry.h"
#include "libquarn/status_board.h"

#include <memory>
#include <mutex>

namespace quarn::engine {

class Transfer;

class Engine {
public:
    Engine();
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // 0 or a start error (-1 .. -6). A refused start leaves the disk as it was.
    int start(const DownloadRequest& request);
    // Returns once the transfer thread has ended and closed its file.
    void stop();
    StatusSnapshot status() const noexcept { return board_.read(); }
    ShareRegistry& shares() noexcept { return shares_; }

private:
    int startLocked(const PreparedDownload& prepared);

    // Serialises starts and stops; never taken by polls or by the transfer
    // thread, so it cannot delay a poll or deadlock a join.
    std::mutex control_;
    std::unique_ptr<Transfer> current_;
    StatusBoard board_;
    ShareRegistry shares_;
};

} // namespace quarn::engine
