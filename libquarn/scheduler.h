// Which connection fetches which bytes from which source: every scheduling
// rule of a download in one place. plan() is a pure function of the
// sources, the requests in flight, the bytes still wanted and the clock, so
// each rule is tested without a socket; the transfer carries out its plan.
//
// The rules, in the order plan() applies them:
//  1. A slow flight hands over: one whose rate over the last kRateWindow is
//     under 1/kSlowRatio of the fastest flight's (or of the fastest source's
//     best, when every flight left is slow) is cut at its cursor, and
//     its connection and the rest of its range are planned afresh.
//  2. Sources by rate: a source not yet measured is tried first (peers
//     before the origin), then the fastest per connection; a slow source
//     (as in 1) only when nothing else can take a connection. A source
//     takes no more connections than it showed it can carry (see
//     throttled()), and only one until it has answered a range.
//  3. Wanted bytes first, lowest offset first, in chunks that share the
//     download evenly among the connections; wanted runs no more than
//     kCoalesceGap apart go in one request.
//  4. Else steal: the flight that would take longest is split, the thief
//     taking the part its rate earns, on an `alignment` boundary, when both
//     parts keep at least kMinSplit.
//  5. Else end game: the flight that would take longest (beyond
//     kEndGameMin) is also requested from the idle connection, when that
//     one's source would bring it in half the time; the first copy of a
//     byte wins.
#pragma once

#include "libquarn/ranges.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace quarn::engine::schedule {

using Clock = std::chrono::steady_clock;

inline constexpr auto kRateWindow = std::chrono::seconds(1);
inline constexpr double kSlowRatio = 8.0;
inline constexpr int64_t kMinSplit = int64_t{1024} * 1024;
inline constexpr int64_t kCoalesceGap = int64_t{1024} * 1024;
inline constexpr auto kEndGameMin = std::chrono::milliseconds(200);
// Back-off after a 503 or 429 without Retry-After: doubling from the first
// to the last; a Retry-After beyond kMaxRetryAfter is taken as that.
inline constexpr auto kFirstBackoff = std::chrono::seconds(1);
inline constexpr auto kMaxBackoff = std::chrono::seconds(16);
inline constexpr auto kMaxRetryAfter = std::chrono::seconds(60);
// Refusals in a row while none of the source's connections works, after
// which the source is given up.
inline constexpr int kMaxStrikes = 4;

struct Source {
    bool origin = false;
    bool usable = true;       // answered its probe and not dropped
    bool rangesKnown = false; // answered a range: may take more than one connection
    int active = 0;           // connections on it now
    int working = 0;          // of those, with an accepted response
    int cap = 0;              // connections it showed it can carry; 0: none learned
    Clock::time_point retryAt{};
    int backoffs = 0; // refusals since the cap last grew: the back-off doubles
    int strikes = 0;  // refusals in a row with nothing working
    double rate = -1; // bytes/s of its best connection lately; < 0: unknown
};

struct Flight {
    int connection = -1;
    int source = -1;
    int64_t cursor = 0;     // the next byte the response brings
    int64_t to = 0;         // exclusive
    double rate = -1;       // bytes/s over the last kRateWindow; < 0: not measured yet
    bool duplicate = false; // a second copy of another flight's bytes
    bool raced = false;     // a duplicate runs for its bytes
};

struct Situation {
    Clock::time_point now{};
    int64_t alignment = int64_t{64} * 1024;
    int maxConnections = 4;
    bool probing = false; // peers still answering: the origin waits with its second connection
    std::vector<Source> sources;
    std::vector<Flight> flights;
    std::vector<int> idle; // connections free for work
    RangeSet wanted;       // bytes to fetch that no flight brings
};

struct Assignment {
    int connection = -1;
    int source = -1;
    int64_t from = 0;
    int64_t to = 0;
    bool duplicate = false;
};

// The flight ends at `to`; at its cursor, at once.
struct Cut {
    int connection = -1;
    int64_t to = 0;
};

struct Plan {
    std::vector<Cut> cuts;
    std::vector<Assignment> assignments;
};

Plan plan(const Situation& situation);

// How many connections `s` may have at `now`.
int allowedConnections(const Source& s, Clock::time_point now, int maxConnections);

// A 503 or 429, or a refused connection, on one of the source's
// connections. Lowers its cap to what works and sets when it may try
// again. False: nothing of it works and it kept refusing: drop it.
bool throttled(Source& s, Clock::time_point now, std::optional<Clock::duration> retryAfter);

// One of its connections had its response accepted.
void answered(Source& s);

} // namespace quarn::engine::schedule
