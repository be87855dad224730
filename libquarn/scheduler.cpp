#include "libquarn/scheduler.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quarn::engine::schedule {
namespace {

constexpr double kInfinite = std::numeric_limits<double>::infinity();

int64_t alignUp(int64_t at, int64_t alignment) {
    return (at + alignment - 1) / alignment * alignment;
}

bool slowBeside(double rate, double best) {
    return rate >= 0 && best > 0 && rate * kSlowRatio < best;
}

// The plan as it grows: sources and flights change as decisions are made.
class Planner {
public:
    explicit Planner(const Situation& s)
        : s_(s), sources_(s.sources), flights_(s.flights), idle_(s.idle), wanted_(s.wanted) {}

    Plan run() {
        handOverSlowFlights();
        for (std::size_t i = 0; i < idle_.size(); ++i) {
            const int source = pickSource();
            if (source < 0) break;
            if (!takeWanted(idle_[i], source) && !steal(idle_[i], source) &&
                !duplicate(idle_[i], source))
                break;
        }
        return std::move(plan_);
    }

private:
    double bestFlightRate() const {
        double best = 0;
        for (const Flight& f : flights_)
            if (!f.duplicate) best = std::max(best, f.rate);
        return best;
    }

    double bestSourceRate() const {
        double best = 0;
        for (const Source& src : sources_)
            if (src.usable) best = std::max(best, src.rate);
        return best;
    }

    // Against the fastest flight, or the fastest source when those left in
    // flight are all slow.
    void handOverSlowFlights() {
        const double best = std::max(bestFlightRate(), bestSourceRate());
        for (auto it = flights_.begin(); it != flights_.end();) {
            if (it->duplicate || !slowBeside(it->rate, best)) {
                ++it;
                continue;
            }
            plan_.cuts.push_back({it->connection, it->cursor});
            wanted_.add(it->cursor, it->to);
            Source& src = sources_[static_cast<std::size_t>(it->source)];
            --src.active;
            src.rate = src.rate < 0 ? it->rate : std::min(src.rate, it->rate);
            idle_.push_back(it->connection);
            it = flights_.erase(it);
        }
    }

    bool canTake(const Source& src) const {
        if (!src.usable) return false;
        if (src.active >= allowedConnections(src, s_.now, s_.maxConnections)) return false;
        if (!src.rangesKnown && src.active > 0) return false;
        return !(s_.probing && src.origin && src.active > 0);
    }

    // Untried sources first (peers before the origin), then by rate per
    // connection; slow ones only when nothing else can take the connection.
    int pickSource() const {
        const double best = bestSourceRate();
        int chosen = -1;
        bool chosenSlow = true;
        for (std::size_t i = 0; i < sources_.size(); ++i) {
            const Source& src = sources_[i];
            if (!canTake(src)) continue;
            const bool slow = slowBeside(src.rate, best);
            if (chosen < 0 ||
                better(src, slow, sources_[static_cast<std::size_t>(chosen)], chosenSlow)) {
                chosen = static_cast<int>(i);
                chosenSlow = slow;
            }
        }
        return chosen;
    }

    static bool better(const Source& a, bool aSlow, const Source& b, bool bSlow) {
        if (aSlow != bSlow) return bSlow;
        const bool aUntried = a.rate < 0 && a.active == 0, bUntried = b.rate < 0 && b.active == 0;
        if (aUntried != bUntried) return aUntried;
        if (a.rate >= 0 && b.rate >= 0 && a.rate != b.rate) return a.rate > b.rate;
        if (a.active != b.active) return a.active < b.active;
        return b.origin && !a.origin;
    }

    void assign(int connection, int source, int64_t from, int64_t to, bool dup) {
        plan_.assignments.push_back({connection, source, from, to, dup});
        Source& src = sources_[static_cast<std::size_t>(source)];
        ++src.active;
        flights_.push_back({connection, source, from, to, src.rate, dup, false});
    }

    int64_t inFlight() const {
        int64_t sum = 0;
        for (const Flight& f : flights_)
            if (!f.duplicate) sum += f.to - f.cursor;
        return sum;
    }

    bool flightWithin(int64_t from, int64_t to) const {
        return std::any_of(flights_.begin(), flights_.end(),
                           [&](const Flight& f) { return f.cursor < to && f.to > from; });
    }

    // Rule 3: the lowest wanted bytes, a fair share of what is left. The
    // share counts wanted bytes; the held bytes between runs come along.
    bool takeWanted(int connection, int source) {
        if (wanted_.empty()) return false;
        const int64_t left = wanted_.bytes() + inFlight();
        const int64_t share = (left + s_.maxConnections - 1) / std::max(1, s_.maxConnections);
        const int64_t chunk = std::max(kMinSplit, alignUp(share, s_.alignment));
        const auto& runs = wanted_.runs();
        const int64_t from = runs.begin()->first;
        int64_t to = from, taken = 0;
        for (auto it = runs.begin(); it != runs.end(); ++it) {
            if (it != runs.begin() &&
                (it->first - to > kCoalesceGap || flightWithin(to, it->first)))
                break;
            const int64_t take = std::min(it->second - it->first, chunk - taken);
            to = it->first + take;
            taken += take;
            if (take < it->second - it->first) {
                // A cut inside a run ends on the grid, so later splits stay aligned.
                to = std::min(it->second, alignUp(to, s_.alignment));
                break;
            }
            if (taken >= chunk) break;
        }
        wanted_.remove(from, to);
        assign(connection, source, from, to, false);
        return true;
    }

    double flightRate(const Flight& f) const {
        if (f.rate > 0) return f.rate;
        const double r = sources_[static_cast<std::size_t>(f.source)].rate;
        return r > 0 ? r : -1;
    }

    // The flight that would take longest; unmeasured ones count by bytes.
    Flight* longest(bool forDuplicate) {
        Flight* worst = nullptr;
        double worstTime = -1;
        int64_t worstBytes = -1;
        for (Flight& f : flights_) {
            if (f.duplicate || (forDuplicate && f.raced) || f.to <= f.cursor) continue;
            const double rate = flightRate(f);
            const int64_t bytes = f.to - f.cursor;
            const double time = rate > 0 ? static_cast<double>(bytes) / rate : kInfinite;
            if (time > worstTime || (time == worstTime && bytes > worstBytes)) {
                worst = &f;
                worstTime = time;
                worstBytes = bytes;
            }
        }
        return worst;
    }

    // Rule 4.
    bool steal(int connection, int source) {
        Flight* victim = longest(false);
        if (victim == nullptr) return false;
        const int64_t remaining = victim->to - victim->cursor;
        if (remaining < 2 * kMinSplit) return false;
        const double victimRate = flightRate(*victim);
        const double thiefRate = sources_[static_cast<std::size_t>(source)].rate;
        double keep = 0.5; // the victim's share when rates are unknown
        if (victimRate > 0 && thiefRate > 0) keep = victimRate / (victimRate + thiefRate);
        int64_t split =
            victim->cursor + static_cast<int64_t>(static_cast<double>(remaining) * keep);
        split = alignUp(std::max(split, victim->cursor + kMinSplit), s_.alignment);
        if (victim->to - split < kMinSplit) return false;
        const int64_t to = victim->to;
        // A flight planned in this same round is planned shorter, not cut.
        const auto planned =
            std::find_if(plan_.assignments.begin(), plan_.assignments.end(),
                         [&](const Assignment& a) { return a.connection == victim->connection; });
        if (planned != plan_.assignments.end())
            planned->to = split;
        else
            plan_.cuts.push_back({victim->connection, split});
        victim->to = split;
        assign(connection, source, split, to, false);
        return true;
    }

    // Rule 5.
    bool duplicate(int connection, int source) {
        Flight* slowest = longest(true);
        if (slowest == nullptr) return false;
        const double rate = flightRate(*slowest);
        const auto bytes = static_cast<double>(slowest->to - slowest->cursor);
        const double time = rate > 0 ? bytes / rate : kInfinite;
        const double minimum = std::chrono::duration<double>(kEndGameMin).count();
        if (time <= minimum) return false;
        const double thiefRate = sources_[static_cast<std::size_t>(source)].rate;
        // Worth a second copy only when it would arrive in half the time; an
        // unmeasured thief only against an unmeasured or stalled flight.
        if (thiefRate > 0 ? 2 * bytes / thiefRate >= time : rate > 0) return false;
        slowest->raced = true;
        assign(connection, source, slowest->cursor, slowest->to, true);
        return true;
    }

    const Situation& s_;
    std::vector<Source> sources_;
    std::vector<Flight> flights_;
    std::vector<int> idle_;
    RangeSet wanted_;
    Plan plan_;
};

} // namespace

int allowedConnections(const Source& s, Clock::time_point now, int maxConnections) {
    // Until its back-off ends, as many as it showed it carries; none when it
    // carried nothing.
    if (now < s.retryAt) return s.strikes > 0 ? 0 : std::min(maxConnections, s.cap);
    if (s.cap == 0) return maxConnections;
    return std::min(maxConnections, s.cap + 1); // one more than it showed, to learn
}

bool throttled(Source& s, Clock::time_point now, std::optional<Clock::duration> retryAfter) {
    Clock::duration wait = kFirstBackoff * (1 << std::min(s.backoffs, 4));
    wait = std::min<Clock::duration>(wait, kMaxBackoff);
    if (retryAfter)
        wait = std::clamp<Clock::duration>(*retryAfter, Clock::duration::zero(), kMaxRetryAfter);
    ++s.backoffs;
    s.retryAt = now + wait;
    s.cap = std::max(1, s.working);
    if (s.working > 0) return true;
    return ++s.strikes <= kMaxStrikes;
}

void answered(Source& s) {
    s.strikes = 0;
    if (s.cap > 0 && s.working > s.cap) {
        s.cap = s.working;
        s.backoffs = 0;
    }
}

Plan plan(const Situation& situation) {
    return Planner(situation).run();
}

} // namespace quarn::engine::schedule
