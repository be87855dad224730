// Byte ranges and the map beside the .part: what is kept, what a map that
// belongs to another download or was torn is taken for.
#include "libquarn/pieces.h"
#include "libquarn/ranges.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace quarn::engine {
namespace {

using Runs = std::vector<std::pair<int64_t, int64_t>>;

Runs runsOf(const RangeSet& set) {
    return Runs(set.runs().begin(), set.runs().end());
}

struct SetCase {
    const char* name;
    Runs add, remove;
    Runs expected;
};

const SetCase kSetCases[] = {
    {"AdjacentRunsMerge", {{0, 10}, {10, 20}}, {}, {{0, 20}}},
    {"OverlapsMerge", {{5, 15}, {0, 10}, {30, 40}, {12, 31}}, {}, {{0, 40}}},
    {"EmptyRangesAreNothing", {{5, 5}, {7, 3}}, {}, {}},
    {"RemoveSplitsARun", {{0, 100}}, {{40, 60}}, {{0, 40}, {60, 100}}},
    {"RemoveAcrossRuns", {{0, 10}, {20, 30}, {40, 50}}, {{5, 45}}, {{0, 5}, {45, 50}}},
    {"RemoveEverything", {{0, 10}, {20, 30}}, {{0, 30}}, {}},
};

class RangeSets : public ::testing::TestWithParam<SetCase> {};

TEST_P(RangeSets, KeepDisjointRunsAndTheirByteCount) {
    RangeSet set;
    for (const auto& [a, b] : GetParam().add) set.add(a, b);
    for (const auto& [a, b] : GetParam().remove) set.remove(a, b);
    EXPECT_EQ(runsOf(set), GetParam().expected);
    int64_t bytes = 0;
    for (const auto& [a, b] : GetParam().expected) bytes += b - a;
    EXPECT_EQ(set.bytes(), bytes);
}

INSTANTIATE_TEST_SUITE_P(Ranges, RangeSets, ::testing::ValuesIn(kSetCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(Ranges, Lookups) {
    RangeSet set;
    set.add(10, 20);
    set.add(30, 40);
    EXPECT_EQ(set.runEnd(15), 20);
    EXPECT_EQ(set.runEnd(20), -1);
    EXPECT_EQ(set.runStart(39), 30);
    EXPECT_EQ(set.nextIn(21), 30);
    EXPECT_EQ(set.nextIn(41), -1);
    EXPECT_TRUE(set.contains(10, 20));
    EXPECT_FALSE(set.contains(15, 31));
    EXPECT_TRUE(set.intersects(19, 31));
    EXPECT_FALSE(set.intersects(20, 30));
    EXPECT_EQ(set.bytesIn(15, 35), 10);
}

TEST(FileBytes, HeldRunsSpanEveryKindOfTrust) {
    FileBytes b(100);
    b.good.add(0, 10);
    b.claimed.add(10, 20);
    b.written.add(20, 30);
    b.good.add(50, 60);
    EXPECT_EQ(b.heldEnd(0), 30);
    EXPECT_EQ(b.heldEnd(30), 30);
    EXPECT_EQ(b.nextMissing(0), 30);
    EXPECT_EQ(b.nextHeld(30), 50);
    EXPECT_EQ(b.onDisk(), 40);
    EXPECT_EQ(runsOf(b.recorded()), (Runs{{0, 20}, {50, 60}}));
}

MapIdentity identity() {
    MapIdentity id;
    id.server = "http://127.0.0.1:8080";
    id.site = "test site";
    id.file = "dir/sample.bin";
    id.size = 1000;
    id.validator = "\"5f3a-1c\"";
    id.document = std::string(64, 'a');
    return id;
}

TEST(Map, RoundTripsItsIdentityAndRuns) {
    RangeSet have;
    have.add(0, 100);
    have.add(500, 1000);
    const ParsedMap m = parseMap(serialiseMap(identity(), have), identity(), 1000);
    ASSERT_EQ(m.fit, ParsedMap::Fit::Fits);
    EXPECT_EQ(m.identity.validator, identity().validator);
    EXPECT_EQ(m.identity.document, identity().document);
    EXPECT_EQ(runsOf(m.have), runsOf(have));
}

TEST(Map, NeverClaimsMoreThanThePartHolds) {
    RangeSet have;
    have.add(0, 1000);
    const ParsedMap m = parseMap(serialiseMap(identity(), have), identity(), 600);
    ASSERT_EQ(m.fit, ParsedMap::Fit::Fits);
    EXPECT_EQ(runsOf(m.have), (Runs{{0, 600}}));
}

TEST(Map, AnotherDownloadsMapIsForeign) {
    RangeSet have;
    have.add(0, 10);
    for (const auto& change : std::vector<void (*)(MapIdentity&)>{
             [](MapIdentity& i) { i.server = "http://127.0.0.1:8081"; },
             [](MapIdentity& i) { i.site = "other"; },
             [](MapIdentity& i) { i.file = "sample.bin"; }, [](MapIdentity& i) { i.size = 999; }}) {
        MapIdentity other = identity();
        change(other);
        EXPECT_EQ(parseMap(serialiseMap(other, have), identity(), 1000).fit,
                  ParsedMap::Fit::Foreign);
    }
}

TEST(Map, TornOrForgedTextIsCorrupt) {
    RangeSet have;
    have.add(0, 100);
    have.add(200, 300);
    const std::string text = serialiseMap(identity(), have);
    std::string flipped = text;
    flipped[flipped.find("200")] = '1';
    std::string overlapping = text;
    overlapping.replace(overlapping.find("200 300"), 7, "50 300");
    for (const std::string& bad :
         {text.substr(0, text.size() / 2), flipped, overlapping, std::string("quarn-map 1 1000 1"),
          std::string(), std::string(kMaxMapBytes + 1, 'x')})
        EXPECT_EQ(parseMap(bad, identity(), 1000).fit, ParsedMap::Fit::Corrupt) << bad;
    // The tail of a longer, older text after the sum line is no harm.
    EXPECT_EQ(parseMap(text + "9999 99999\n", identity(), 1000).fit, ParsedMap::Fit::Fits);
}

} // namespace
} // namespace quarn::engine
