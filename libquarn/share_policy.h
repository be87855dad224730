// What the share server allows its peers, apart from how it serves them:
// the limits, who is let in, when a connection has had its time, and how a
// shared upload rate is handed out. Pure: time is given, no sockets.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <sys/socket.h>

namespace quarn::engine {

using ShareClock = std::chrono::steady_clock;

// Connections open at once, all peers together, and from one client
// address (an IPv6 client by its /64, the block one host is given).
inline constexpr unsigned kShareConnectionLimit = 2048;
inline constexpr unsigned kSharePerAddressLimit = 32;
// Beyond its limit an address is still told 503 on this many more
// connections at once; past that they are closed unanswered.
inline constexpr unsigned kShareRefusalsPerAddress = 4;
// Connections we are closing on and still read from (see linger below); a
// closing one no longer counts against its address.
inline constexpr unsigned kShareLingeringLimit = 256;

struct ShareTimeouts {
    // From the connect to the end of the first request's head, and from a
    // later request's first byte (or the previous answer, when it was
    // already waiting) to the end of its head, however the bytes trickle in.
    std::chrono::milliseconds head{10'000};
    // No byte either way for this long (a peer waiting for its share of
    // the upload rate is not silent).
    std::chrono::milliseconds idle{30'000};
    // After our last byte of a closing connection, how long we read and
    // drop what the peer still sends, so our answer is not lost to a reset.
    std::chrono::milliseconds linger{2'000};
};

// The defaults, with the test seams QUARN_SHARE_HEAD_TIMEOUT_MS and
// QUARN_SHARE_IDLE_TIMEOUT_MS applied.
ShareTimeouts shareTimeoutsFromEnv();

// QUARN_SHARE_RATE: bytes per second for all peers together; nullopt is
// unlimited (unset; a value that is not a positive number is reported on
// stderr and ignored).
std::optional<std::int64_t> shareRateFromEnv();

// The part of a peer's address its connections are counted under.
std::string shareAddressKey(const sockaddr_storage& address);

// Connections counted by address, and the verdict for a new one.
class ShareAdmission {
public:
    enum class Verdict { Serve, Refuse, Drop }; // Refuse: 503, then close

    Verdict admit(const std::string& key);
    // An admitted or refused connection starts closing: it leaves its
    // address's count. False when too many are closing already: then it is
    // closed at once, and counted out.
    bool linger(const std::string& key);
    // A connection closes; `lingering` as linger() left it.
    void leave(const std::string& key, bool lingering);
    unsigned open() const noexcept { return open_; }

private:
    std::map<std::string, unsigned> byAddress_;
    unsigned open_ = 0; // lingering ones included: they hold descriptors too
    unsigned lingering_ = 0;
};

// A token bucket shared by every peer: `rate` bytes per second, at most
// `burst` saved up. Fairness is the caller's: it asks in turn for each peer
// and never more than quantum() at once.
class RateBudget {
public:
    RateBudget(std::int64_t rate, ShareClock::time_point now);

    std::int64_t quantum() const noexcept { return quantum_; }
    // Up to `want` bytes to send now, possibly 0.
    std::int64_t take(std::int64_t want, ShareClock::time_point now);
    // What was taken but could not be sent.
    void giveBack(std::int64_t bytes) noexcept;
    // When `want` bytes (capped at a quantum) will be there.
    ShareClock::time_point readyAt(std::int64_t want, ShareClock::time_point now);

private:
    void refill(ShareClock::time_point now);

    double rate_; // bytes per second
    double tokens_ = 0;
    double burst_;
    std::int64_t quantum_;
    ShareClock::time_point last_;
};

} // namespace quarn::engine
