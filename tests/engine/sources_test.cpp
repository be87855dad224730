// Segmented downloads against the servers and peers users meet: a per-client
// connection limit, a server that asks to come back later, a slow peer, a
// peer that trickles, and a map of many tiny pieces.
#include "libquarn/pieces.h"
#include "tests/engine/engine_test_env.h"
#include "tests/support/range_peer.h"
#include "tests/support/scripted_server.h"

#include <cinttypes>
#include <mutex>
#include <regex>

namespace quarn::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class SourcesTest : public EngineTest {
protected:
    fs::path part(const Download& d) const { return mapped(d.localFileName).string() + ".part"; }

    int32_t startWith(const Download& d, const std::string& peers, const char* connections = "4") {
        settings_.clear();
        settings_.emplace_back(std::make_unique<EngineEnv>("QUARN_PEERS", peers.c_str()));
        settings_.emplace_back(std::make_unique<EngineEnv>("QUARN_CONNECTIONS", connections));
        return d.start();
    }

    int count(const std::string& pattern) {
        const std::string log = nginx_.accessLog();
        const std::regex re(pattern);
        return static_cast<int>(std::distance(std::sregex_iterator(log.begin(), log.end(), re),
                                              std::sregex_iterator()));
    }

    std::vector<std::unique_ptr<EngineEnv>> settings_;
};

TEST_F(SourcesTest, APerClientConnectionLimitIsLearnedNotFatal) {
    const std::string bytes = serve("limited_site", "sample.bin", 24 * kMiB);
    const Download d = request("limited_site", "sample.bin", 24 * kMiB);
    ASSERT_EQ(startWith(d, ""), 0);
    ASSERT_EQ(waitForEnd(60s), QUARN_STATE_COMPLETE);
    EXPECT_TRUE(readFile(mapped(d.localFileName)) == bytes);
    ASSERT_TRUE(waitFor([&] { return count("20[06] \"GET /limited_site/sample.bin ") > 0; }, 5s));
    // The extra connections were refused, and not tried again and again.
    EXPECT_GE(count("503 \"GET /limited_site/sample.bin "), 1) << nginx_.accessLog();
    EXPECT_LE(count("503 \"GET /limited_site/sample.bin "), 8) << nginx_.accessLog();
}

TEST_F(SourcesTest, RetryAfterIsHonouredBeforeTheSourceIsAskedAgain) {
    const std::string bytes = sampleBytes(200 * 1024, 3);
    std::mutex mutex;
    std::vector<Clock::time_point> asked;
    ScriptedServer server([&](const ScriptedRequest& r, Reply& reply) {
        if (r.line.find(".meta4") != std::string::npos) {
            reply.send(head("404 Not Found", {"Content-Length: 0"}));
            return;
        }
        std::size_t n = 0;
        {
            std::lock_guard lock(mutex);
            asked.push_back(Clock::now());
            n = asked.size();
        }
        if (n == 1) {
            reply.send(head("503 Service Unavailable", {"Retry-After: 1", "Content-Length: 0"}));
            return;
        }
        reply.send(head("200 OK", {"Content-Length: " + std::to_string(bytes.size())})) &&
            reply.send(bytes);
    });
    Download d = request("test_site", "sample.bin", static_cast<int64_t>(bytes.size()));
    d.server = server.endpoint();
    ASSERT_EQ(startWith(d, ""), 0);
    ASSERT_EQ(waitForEnd(), QUARN_STATE_COMPLETE);
    EXPECT_TRUE(readFile(mapped(d.localFileName)) == bytes);
    std::lock_guard lock(mutex);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_GE(asked[1] - asked[0], 1s) << "asked again before its Retry-After";
}

// A peer at 100 KB/s, or one that sends 3.5 MB and then a byte every 5 s,
// beside an origin that serves 4 MB/s per connection: the download does not
// wait for either.
struct SlowPeer {
    const char* name;
    int64_t bytesPerSecond;
    int64_t trickleAfter;
};

class SlowPeers : public SourcesTest, public ::testing::WithParamInterface<SlowPeer> {};

TEST_P(SlowPeers, HandTheirWorkOverToFasterSources) {
    const std::string bytes = serve("capped_site", "sample.bin", 48 * kMiB);
    publishDocument("capped_site", "sample.bin", bytes);
    RangePeer peer({bytes, GetParam().bytesPerSecond, GetParam().trickleAfter});
    const Download d = request("capped_site", "sample.bin", 48 * kMiB);
    ASSERT_EQ(startWith(d, peer.endpoint()), 0);
    // At 4 x 4 MB/s the origin alone takes about 13 s; a peer holding its
    // range to the end would take minutes.
    ASSERT_EQ(waitForEnd(45s), QUARN_STATE_COMPLETE);
    EXPECT_TRUE(readFile(mapped(d.localFileName)) == bytes);
    EXPECT_GE(peer.gets(), 1u) << "the peer was never asked";
}

INSTANTIATE_TEST_SUITE_P(Engine, SlowPeers,
                         ::testing::Values(SlowPeer{"Crawling", 100 * 1000, -1},
                                           SlowPeer{"Trickling", 0, 3500 * 1000}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(SourcesTest, AMapOfManyTinyPiecesTakesAFewRequests) {
    const std::string bytes = serve("open_site", "sample.bin", 20 * kMiB);
    const Download d = request("open_site", "sample.bin", 20 * kMiB);
    engine::MapIdentity id;
    id.server = "http://" + d.server;
    id.site = d.site;
    id.file = d.serverFileName;
    id.size = d.fileSize;
    engine::RangeSet have;
    for (int64_t at = 0; at < 20 * kMiB; at += 200) have.add(at, at + 100);
    fs::create_directories(part(d).parent_path());
    writeFile(part(d), bytes);
    writeFile(part(d).string() + ".map", engine::serialiseMap(id, have));
    ASSERT_EQ(have.runCount(), 104858u);
    ASSERT_EQ(startWith(d, ""), 0);
    ASSERT_EQ(waitForEnd(60s), QUARN_STATE_COMPLETE);
    EXPECT_TRUE(readFile(mapped(d.localFileName)) == bytes);
    ASSERT_TRUE(waitFor([&] { return count("GET /open_site/sample.bin ") > 0; }, 5s));
    EXPECT_LE(count("GET /open_site/sample.bin "), 12) << "one request per tiny piece";
}

} // namespace
} // namespace quarn::test
