// One connection of a download: its curl handle, the headers it may send to
// whom, the request it carries and the response head it got. Whether the
// head shows the bytes asked for is decided here, before a body byte; what
// the body's bytes become is the transfer's business (ConnectionSink).
#pragma once

#include "libquarn/failure.h"
#include "libquarn/handles.h"
#include "libquarn/requests.h"
#include "libquarn/response.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace quarn::engine {

using Clock = std::chrono::steady_clock;

class Connection;

// Receives what a connection's callbacks get. Both run inside libcurl's
// callbacks: they may not add or remove handles.
class ConnectionSink {
public:
    virtual bool onHead(Connection& c) = 0; // false aborts the request
    // Bytes taken; short aborts the request, CURL_WRITEFUNC_PAUSE pauses it.
    virtual std::size_t onBody(Connection& c, const char* data, std::size_t length) = 0;

protected:
    ~ConnectionSink() = default;
};

enum class Phase {
    Idle,         // no request
    AwaitingHead, // sent; the head is not complete
    Redirected,   // a redirect: the next hop follows once this one ends
    Receiving,    // head accepted: the body is the file's bytes
    Ended,        // refused further bytes; curl has yet to report the end
};

// Why a request ended, in the terms the transfer acts on.
enum class Ending {
    None,
    Done,        // reached the end of its range, or was cut there
    Stopped,     // the download is stopping
    WriteError,  // the disk refused
    Throttled,   // 503 or 429, or refused beside working connections
    Transient,   // reset, stalled, cut short: this connection, not its source
    SourceFault, // the source answered wrong: not to be asked again
    FileChanged, // the origin's file is not the one the download pinned
    Fatal,       // nothing can go on (cause says why)
};

// What a head is, before the transfer weighs it against the download.
enum class HeadKind { Accept, Unranged, Redirect, Throttled, Refused };

// A fresh handle with the settings every request of the engine shares.
CurlEasy newEasy();
// "scheme://host:port" with the default port filled in; empty if unparsable.
std::string originOf(const std::string& url);
// The cause a failed transfer of curl's shows.
FailureCause causeOf(CURL* easy, long result);

class Connection {
public:
    Connection(int id, const PreparedDownload& job, ConnectionSink& sink);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Asks `url` for bytes [from, to) of the file of `fileSize` bytes.
    // Credentials, index and hash go only to `trustedOrigin` (empty: to no
    // one), with Want-Repr-Digest and, on a Range request, If-Range
    // `ifRange` when not empty.
    bool start(CURLM* multi, const std::string& url, int64_t from, int64_t to, int64_t fileSize,
               const std::string& trustedOrigin, const std::string& ifRange);
    // After a Redirected request ended: the next hop, unless it leads from
    // https to http, is not http(s), or one too many. False: refused.
    bool followRedirect(CURLM* multi);
    void remove(CURLM* multi) noexcept; // out of the multi, when in it
    void resume() noexcept;             // a paused body goes on

    // What the complete head is; for a refusal or a throttle, `cause` says why.
    HeadKind classifyHead();
    Expectation expectation() const;
    bool trusted() const noexcept { return trusted_; } // this hop goes to the origin

    // Bytes/s over the last kRateWindow of body, or -1 until it has run that long.
    double rate(Clock::time_point now) const;
    void sample(Clock::time_point now);

    const int id;
    int source = -1;
    Phase phase = Phase::Idle;
    bool paused = false;
    bool duplicate = false;
    int64_t from = 0, to = 0; // what it is to bring; a cut moves `to` down
    int64_t asked = 0;        // the end the request asked for
    int64_t cursor = 0;       // file offset of the next body byte
    int64_t fileSize = 0;
    ResponseHead head;
    Judgement judgement;
    bool unproven = false; // wrote bytes of a response that declared no length
    int64_t flushMark = 0; // bytes before it are handed to the disk
    Ending ending = Ending::None;
    FailureCause cause;
    Clock::time_point lastProgress{};
    CURL* easy() const noexcept { return easy_.get(); }
    const std::string& url() const noexcept { return url_; } // this hop's
    bool active() const noexcept { return inMulti_; }

private:
    static std::size_t bodyCallback(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t headerCallback(char* data, std::size_t size, std::size_t count, void* self);
    bool configureHop(const std::string& url);

    const PreparedDownload& job_;
    ConnectionSink& sink_;
    CurlEasy easy_;
    CurlSlist headers_;
    std::string url_, range_, trustedOrigin_, ifRange_;
    bool inMulti_ = false;
    bool trusted_ = false;
    int redirects_ = 0;
    int64_t bodyBytes_ = 0;
    Clock::time_point receivingSince_{};
    struct Sample {
        Clock::time_point at;
        int64_t bytes;
    };
    std::deque<Sample> samples_;
};

} // namespace quarn::engine
