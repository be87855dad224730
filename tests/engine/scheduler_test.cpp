// The scheduling rules, without a socket: which connection fetches which
// bytes from which source, when a flight is cut, split or raced, and how a
// source that refuses connections is backed off.
#include "libquarn/scheduler.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace quarn::engine::schedule {
namespace {

using namespace std::chrono_literals;

constexpr int64_t kMiB = 1024 * 1024;
const Clock::time_point kNow = Clock::time_point() + 1h;

Source origin(bool rangesKnown = true, double rate = -1) {
    Source s;
    s.origin = true;
    s.rangesKnown = rangesKnown;
    s.rate = rate;
    return s;
}

Source peer(double rate = -1) {
    Source s;
    s.rangesKnown = true;
    s.rate = rate;
    return s;
}

// A situation of `connections` connections over a file of `size` bytes, all
// of it wanted and every connection idle; cases change what they need.
Situation fresh(int64_t size, int connections, std::vector<Source> sources) {
    Situation s;
    s.now = kNow;
    s.maxConnections = connections;
    s.sources = std::move(sources);
    for (int i = 0; i < connections; ++i) s.idle.push_back(i);
    s.wanted.add(0, size);
    return s;
}

// Puts connection `id` in flight on [cursor, to) from `source`.
void fly(Situation& s, int id, int source, int64_t cursor, int64_t to, double rate = -1) {
    s.flights.push_back({id, source, cursor, to, rate, false, false});
    s.wanted.remove(cursor, to);
    ++s.sources[static_cast<std::size_t>(source)].active;
    ++s.sources[static_cast<std::size_t>(source)].working;
    std::erase(s.idle, id);
}

struct Case {
    const char* name;
    std::function<Situation()> situation;
    std::function<void(const Plan&)> check;
};

const Case kCases[] = {
    {"UnknownRangesGetOneConnectionWithAFairShare",
     [] { return fresh(24 * kMiB, 4, {origin(false)}); },
     [](const Plan& p) {
         ASSERT_EQ(p.assignments.size(), 1u);
         EXPECT_EQ(p.assignments[0].from, 0);
         EXPECT_EQ(p.assignments[0].to, 6 * kMiB);
     }},
    {"KnownRangesShareTheFileEvenly",
     [] {
         Situation s = fresh(24 * kMiB, 4, {origin()});
         fly(s, 0, 0, 0, 6 * kMiB);
         return s;
     },
     [](const Plan& p) {
         ASSERT_EQ(p.assignments.size(), 3u);
         for (std::size_t i = 0; i < 3; ++i) {
             EXPECT_EQ(p.assignments[i].from, static_cast<int64_t>(i + 1) * 6 * kMiB);
             EXPECT_EQ(p.assignments[i].to, static_cast<int64_t>(i + 2) * 6 * kMiB);
         }
         EXPECT_TRUE(p.cuts.empty());
     }},
    {"TinyGapsAreFetchedAsOneRequestPerConnection",
     [] {
         Situation s = fresh(64 * kMiB, 4, {origin()});
         s.wanted.clear();
         for (int64_t at = 0; at < 64 * kMiB; at += 1000) s.wanted.add(at, at + 500);
         return s;
     },
     [](const Plan& p) {
         EXPECT_EQ(p.assignments.size(), 4u);
         RangeSet left;
         for (int64_t at = 0; at < 64 * kMiB; at += 1000) left.add(at, at + 500);
         for (const Assignment& a : p.assignments) left.remove(a.from, a.to);
         EXPECT_TRUE(left.empty()) << left.bytes() << " wanted bytes in no request";
     }},
    {"UntriedPeerBeforeTheOrigin",
     [] {
         return fresh(64 * kMiB, 1, {origin(), peer()});
     },
     [](const Plan& p) {
         ASSERT_EQ(p.assignments.size(), 1u);
         EXPECT_EQ(p.assignments[0].source, 1);
     }},
    {"FasterSourceGetsNewWork",
     [] {
         Situation s = fresh(64 * kMiB, 3, {origin(true, 4e6), peer(1e6)});
         fly(s, 0, 0, 0, 8 * kMiB, 4e6);
         fly(s, 1, 1, 8 * kMiB, 16 * kMiB, 1e6);
         return s;
     },
     [](const Plan& p) {
         ASSERT_EQ(p.assignments.size(), 1u);
         EXPECT_EQ(p.assignments[0].source, 0);
     }},
    {"OriginWaitsWhilePeersAnswerTheirProbe",
     [] {
         Situation s = fresh(64 * kMiB, 4, {origin()});
         s.probing = true;
         fly(s, 0, 0, 0, 16 * kMiB);
         return s;
     },
     [](const Plan& p) { EXPECT_TRUE(p.assignments.empty()); }},
    {"SlowFlightHandsTheRestOverWhateverItsSize",
     [] {
         Situation s = fresh(64 * kMiB, 4, {origin(true, 4e6), peer(1e5)});
         fly(s, 0, 0, 0, 16 * kMiB, 4e6);
         fly(s, 1, 0, 16 * kMiB, 32 * kMiB, 4e6);
         fly(s, 2, 0, 32 * kMiB, 48 * kMiB, 4e6);
         fly(s, 3, 1, 48 * kMiB, 48 * kMiB + 300000, 1e5); // the rest of a small piece
         s.wanted.clear();
         return s;
     },
     [](const Plan& p) {
         ASSERT_EQ(p.cuts.size(), 1u);
         EXPECT_EQ(p.cuts[0].connection, 3);
         EXPECT_EQ(p.cuts[0].to, 48 * kMiB);
         ASSERT_EQ(p.assignments.size(), 1u);
         EXPECT_EQ(p.assignments[0].connection, 3);
         EXPECT_EQ(p.assignments[0].source, 0) << "back to the slow peer";
         EXPECT_EQ(p.assignments[0].from, 48 * kMiB);
     }},
    {"SlowerButNotSlowIsLeftAlone",
     [] {
         Situation s = fresh(64 * kMiB, 2, {origin(true, 4e6), peer(1e6)});
         fly(s, 0, 0, 0, 32 * kMiB, 4e6);
         fly(s, 1, 1, 32 * kMiB, 64 * kMiB, 1e6);
         return s;
     },
     [](const Plan& p) {
         EXPECT_TRUE(p.cuts.empty());
         EXPECT_TRUE(p.assignments.empty());
     }},
    {"UnmeasuredFlightIsNeverCalledSlow",
     [] {
         Situation s = fresh(64 * kMiB, 2, {origin(true, 4e6)});
         fly(s, 0, 0, 0, 32 * kMiB, 4e6);
         fly(s, 1, 0, 32 * kMiB, 64 * kMiB, -1);
         return s;
     },
     [](const Plan& p) { EXPECT_TRUE(p.cuts.empty()); }},
    {"StealSplitsByRateOnTheGrid",
     [] {
         Situation s = fresh(64 * kMiB, 2, {origin(true, 3e6)});
         fly(s, 0, 0, 0, 40 * kMiB, 1e6);
         s.wanted.clear();
         return s;
     },
     [](const Plan& p) {
         ASSERT_EQ(p.cuts.size(), 1u);
         ASSERT_EQ(p.assignments.size(), 1u);
         // The thief is three times as fast: it takes three quarters.
         EXPECT_EQ(p.cuts[0].to, 10 * kMiB);
         EXPECT_EQ(p.assignments[0].from, 10 * kMiB);
         EXPECT_EQ(p.assignments[0].to, 40 * kMiB);
         EXPECT_EQ(p.cuts[0].to % (64 * 1024), 0);
     }},
    {"UnknownRatesStealHalf",
     [] {
         Situation s = fresh(64 * kMiB, 2, {origin()});
         fly(s, 0, 0, 8 * kMiB, 16 * kMiB);
         s.wanted.clear();
         return s;
     },
     [](const Plan& p) {
         ASSERT_EQ(p.cuts.size(), 1u);
         EXPECT_EQ(p.cuts[0].to, 12 * kMiB);
     }},
    {"EndGameRacesTheSlowestTailOnce",
     [] {
         Situation s = fresh(64 * kMiB, 3, {origin(true, 4e6), peer(5e5)});
         fly(s, 0, 1, 10 * kMiB, 11 * kMiB, 5e5); // two seconds left
         s.wanted.clear();
         return s;
     },
     [](const Plan& p) {
         ASSERT_EQ(p.assignments.size(), 1u) << "one copy is enough";
         EXPECT_TRUE(p.assignments[0].duplicate);
         EXPECT_EQ(p.assignments[0].source, 0);
         EXPECT_EQ(p.assignments[0].from, 10 * kMiB);
         EXPECT_EQ(p.assignments[0].to, 11 * kMiB);
     }},
    {"NoRaceForAFlightAboutToEnd",
     [] {
         Situation s = fresh(64 * kMiB, 2, {origin(true, 4e6)});
         fly(s, 0, 0, 10 * kMiB, 10 * kMiB + 100000, 4e6);
         s.wanted.clear();
         return s;
     },
     [](const Plan& p) { EXPECT_TRUE(p.assignments.empty()); }},
    {"CappedSourceWaitsOutItsBackOff",
     [] {
         Situation s = fresh(64 * kMiB, 4, {origin()});
         s.sources[0].cap = 2;
         s.sources[0].retryAt = kNow + 1s;
         fly(s, 0, 0, 0, 16 * kMiB);
         fly(s, 1, 0, 16 * kMiB, 32 * kMiB);
         return s;
     },
     [](const Plan& p) { EXPECT_TRUE(p.assignments.empty()); }},
    {"CappedSourceKeepsWhatItCarriesBusyDuringItsBackOff",
     [] {
         Situation s = fresh(64 * kMiB, 4, {origin()});
         s.sources[0].cap = 2;
         s.sources[0].retryAt = kNow + 1s;
         fly(s, 0, 0, 0, 16 * kMiB);
         return s;
     },
     [](const Plan& p) { EXPECT_EQ(p.assignments.size(), 1u); }},
    {"RefusingSourceGetsNothingBeforeItsRetryAfter",
     [] {
         Situation s = fresh(64 * kMiB, 4, {origin()});
         s.sources[0].cap = 1;
         s.sources[0].strikes = 1;
         s.sources[0].retryAt = kNow + 1s;
         return s;
     },
     [](const Plan& p) { EXPECT_TRUE(p.assignments.empty()); }},
    {"CappedSourceTriesOneMoreAfterItsBackOff",
     [] {
         Situation s = fresh(64 * kMiB, 4, {origin()});
         s.sources[0].cap = 2;
         s.sources[0].retryAt = kNow - 1s;
         fly(s, 0, 0, 0, 16 * kMiB);
         fly(s, 1, 0, 16 * kMiB, 32 * kMiB);
         return s;
     },
     [](const Plan& p) { EXPECT_EQ(p.assignments.size(), 1u); }},
    {"DroppedSourceGetsNothing",
     [] {
         Situation s = fresh(64 * kMiB, 2, {origin()});
         s.sources[0].usable = false;
         return s;
     },
     [](const Plan& p) { EXPECT_TRUE(p.assignments.empty()); }},
};

class Rules : public ::testing::TestWithParam<Case> {};

TEST_P(Rules, Hold) {
    GetParam().check(plan(GetParam().situation()));
}

INSTANTIATE_TEST_SUITE_P(Scheduler, Rules, ::testing::ValuesIn(kCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(Scheduler, PlannedRangesNeverOverlapFlightsOrEachOther) {
    Situation s = fresh(100 * kMiB, 8, {origin(true, 2e6), peer(3e6), peer()});
    fly(s, 0, 0, 0, 5 * kMiB, 2e6);
    fly(s, 1, 1, 40 * kMiB, 41 * kMiB, 3e6);
    s.wanted.remove(60 * kMiB, 61 * kMiB);
    const Plan p = plan(s);
    RangeSet taken;
    for (const Flight& f : s.flights) {
        int64_t to = f.to;
        for (const Cut& c : p.cuts)
            if (c.connection == f.connection) to = c.to;
        taken.add(f.cursor, to);
    }
    for (const Assignment& a : p.assignments) {
        EXPECT_FALSE(taken.intersects(a.from, a.to)) << a.from << "-" << a.to;
        taken.add(a.from, a.to);
    }
}

TEST(Scheduler, AFlightPlannedThisRoundIsPlannedShorterNotCut) {
    // Two thieves in one round: the second splits what the first was given.
    Situation s = fresh(64 * kMiB, 3, {origin(true, 3e6)});
    fly(s, 0, 0, 0, 40 * kMiB, 1e6);
    s.wanted.clear();
    const Plan p = plan(s);
    ASSERT_EQ(p.assignments.size(), 2u);
    ASSERT_EQ(p.cuts.size(), 1u);
    EXPECT_EQ(p.cuts[0].connection, 0);
    RangeSet taken;
    taken.add(0, p.cuts[0].to);
    for (const Assignment& a : p.assignments) {
        EXPECT_FALSE(taken.intersects(a.from, a.to)) << a.from << "-" << a.to;
        taken.add(a.from, a.to);
    }
    EXPECT_TRUE(taken.contains(0, 40 * kMiB)) << "a range fell between the plans";
}

TEST(Throttling, CapsAtWhatWorksAndHonoursRetryAfter) {
    Source s = origin();
    s.working = 2;
    EXPECT_TRUE(throttled(s, kNow, std::chrono::seconds(3)));
    EXPECT_EQ(s.cap, 2);
    EXPECT_EQ(s.retryAt, kNow + 3s);
    EXPECT_EQ(allowedConnections(s, kNow + 2s, 4), 2);
    EXPECT_EQ(allowedConnections(s, kNow + 3s, 4), 3);
    // The probe worked: the cap grows with what works.
    s.working = 3;
    answered(s);
    EXPECT_EQ(s.cap, 3);
}

TEST(Throttling, BacksOffDoublingWithoutRetryAfter) {
    Source s = origin();
    s.working = 1;
    std::vector<Clock::duration> waits;
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(throttled(s, kNow, std::nullopt));
        waits.push_back(s.retryAt - kNow);
    }
    EXPECT_EQ(waits[0], kFirstBackoff);
    EXPECT_EQ(waits[1], 2 * kFirstBackoff);
    EXPECT_EQ(waits.back(), kMaxBackoff);
    EXPECT_TRUE(throttled(s, kNow, std::chrono::hours(5)));
    EXPECT_EQ(s.retryAt, kNow + kMaxRetryAfter);
}

TEST(Throttling, ASourceThatOnlyRefusesIsGivenUp) {
    Source s = origin();
    for (int i = 0; i < kMaxStrikes; ++i) EXPECT_TRUE(throttled(s, kNow, std::chrono::seconds(1)));
    EXPECT_FALSE(throttled(s, kNow, std::chrono::seconds(1)));
    Source again = origin();
    for (int i = 0; i < kMaxStrikes; ++i) ASSERT_TRUE(throttled(again, kNow, std::nullopt));
    answered(again); // one answer in between starts the count again
    EXPECT_TRUE(throttled(again, kNow, std::nullopt));
}

} // namespace
} // namespace quarn::engine::schedule
