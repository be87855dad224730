// Where a download's bytes can come from: the origin (the server the user
// named) and the peers' share servers that say they have the same file. A
// peer is asked first whether it has the file at its full length (a HEAD);
// each source is dropped for this download once it fails.
#pragma once

#include "libquarn/handles.h"
#include "libquarn/requests.h"
#include "libquarn/scheduler.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quarn::engine {

struct Source {
    enum class State {
        Waiting, // a peer not asked yet
        Probing, // a peer asked whether it has the file
        Ready,
        Dropped,
    };
    std::string url;
    bool origin = false;
    State state = State::Ready;
    CurlEasy probe;
    CurlSlist probeHeaders;
    schedule::Source policy;
    std::optional<std::chrono::seconds> retryAfter; // from its last refusal
};

class Sources {
public:
    using Clock = std::chrono::steady_clock;

    // The origin first, then up to kMaxPeers of `peers` ("http://host:port").
    Sources(const PreparedDownload& job, const std::vector<std::string>& peers);
    ~Sources();
    Sources(const Sources&) = delete;
    Sources& operator=(const Sources&) = delete;

    Source& operator[](int i) { return *all_[static_cast<std::size_t>(i)]; }
    const Source& operator[](int i) const { return *all_[static_cast<std::size_t>(i)]; }
    std::size_t size() const noexcept { return all_.size(); }
    Source& origin() { return *all_.front(); }

    // Asks the waiting peers, through `multi` (kept until the probes end).
    void probe(CURLM* multi);
    // A probe's end; false when `easy` was not a probe.
    bool probeEnded(CURL* easy, long result);
    // Peers are still answering, briefly: the origin waits with its second connection.
    bool probing(Clock::time_point now) const;
    // Nothing runs, yet a source may still take work: one answering, one
    // waiting out a back-off, or peers that wait for the origin's first answer.
    bool hope(Clock::time_point now) const;
    void drop(Source& s);

    // A piece names the sources that wrote it in 64 bits, the origin's included.
    static constexpr std::size_t kMaxPeers = 63;

private:
    std::vector<std::unique_ptr<Source>> all_;
    CURLM* multi_ = nullptr;
    int64_t fileSize_;
    Clock::time_point grace_{};
};

} // namespace quarn::engine
