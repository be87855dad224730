// Large files come in pieces over several connections, from the server and
// from peers' share servers; pieces survive stops and crashes in the map
// beside the .part.
#include "libquarn/pieces.h"
#include "tests/engine/engine_test_env.h"
#include "tests/support/process.h"
#include "tests/support/scripted_server.h"

#include <cinttypes>
#include <csignal>
#include <optional>
#include <regex>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace quarn::test {
namespace {

using namespace std::chrono_literals;

// Range starts of the 206 answers nginx logged for `path`.
std::set<int64_t> rangeStarts(const std::string& log, const std::string& path) {
    std::set<int64_t> starts;
    const std::regex line("206 \"GET " + path + " HTTP/1.1\" range=\"bytes=([0-9]+)-");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator();
         ++it)
        starts.insert(std::stoll((*it)[1]));
    return starts;
}

int64_t bytesSent(const std::string& log) {
    int64_t sum = 0;
    const std::regex sent("sent=([0-9]+)");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), sent); it != std::sregex_iterator();
         ++it)
        sum += std::stoll((*it)[1]);
    return sum;
}

class SegmentsTest : public EngineTest {
protected:
    fs::path part(const Download& d) const { return mapped(d.localFileName).string() + ".part"; }
    fs::path map(const Download& d) const { return part(d).string() + ".map"; }

    // Starts with these peers and connections, which stay set until the
    // next start or the test's end (both stop the download first).
    int32_t startWith(const Download& d, const std::string& peers, const char* connections = "4") {
        connections_.reset();
        peers_.reset();
        peers_.emplace("QUARN_PEERS", peers.c_str());
        connections_.emplace("QUARN_CONNECTIONS", connections);
        return d.start();
    }

    // What the map beside the .part claims, read as the engine reads it.
    // A map read while the engine rewrites it may be torn: `quiet` takes that as no claim.
    engine::RangeSet claims(const Download& d, bool quiet = false) const {
        engine::MapIdentity id;
        id.server = "http://" + d.server;
        id.site = d.site;
        id.file = d.serverFileName;
        id.size = d.fileSize;
        const engine::ParsedMap m = engine::parseMap(readFile(map(d)), id, d.fileSize);
        if (!quiet) {
            EXPECT_EQ(m.fit, engine::ParsedMap::Fit::Fits);
        }
        return m.have;
    }

    // Every byte the map claims is on disk and right.
    void expectMapHonest(const Download& d, const std::string& file) const {
        const std::string bytes = readFile(part(d));
        const engine::RangeSet claimed = claims(d);
        for (const auto& [from, to] : claimed.runs()) {
            const auto start = static_cast<std::size_t>(from),
                       length = static_cast<std::size_t>(to - from);
            ASSERT_LE(start + length, bytes.size()) << "claims bytes past the end of the .part";
            EXPECT_TRUE(bytes.compare(start, length, file, start, length) == 0)
                << "bytes at " << from;
        }
    }

private:
    std::optional<EngineEnv> peers_, connections_;
};

TEST_F(SegmentsTest, ConnectionsFetchPiecesInParallelAndTakeOverTheSlowOne) {
    const std::string bytes = serve("steal_site", "sample.bin", 24 * kMiB);
    const Download d = request("steal_site", "sample.bin", 24 * kMiB);
    ASSERT_EQ(startWith(d, ""), 0);
    ASSERT_EQ(waitForEnd(60s), QUARN_STATE_COMPLETE);
    EXPECT_TRUE(readFile(mapped(d.localFileName)) == bytes);
    EXPECT_FALSE(fs::exists(map(d)));
    EXPECT_EQ(poll().received, 24 * kMiB);

    ASSERT_TRUE(waitFor([&] { return bytesSent(nginx_.accessLog()) >= 24 * kMiB; }, 10s));
    const std::set<int64_t> starts = rangeStarts(nginx_.accessLog(), "/steal_site/sample.bin");
    for (const int64_t piece : {int64_t{0}, 6 * kMiB, 12 * kMiB, 18 * kMiB})
        EXPECT_TRUE(starts.count(piece)) << "no request for the piece at " << piece;
    // The first piece crawls: the others must have taken over part of it.
    EXPECT_TRUE(std::any_of(starts.begin(), starts.end(), [](int64_t s) {
        return s > 0 && s < 6 * kMiB;
    })) << nginx_.accessLog();
}

TEST_F(SegmentsTest, ServerIgnoringRangesGetsOneConnection) {
    const std::string bytes = serve("whole_site", "sample.bin", 12 * kMiB);
    const Download d = request("whole_site", "sample.bin", 12 * kMiB);
    ASSERT_EQ(startWith(d, ""), 0);
    ASSERT_EQ(waitForEnd(), QUARN_STATE_COMPLETE);
    EXPECT_TRUE(readFile(mapped(d.localFileName)) == bytes);
    ASSERT_TRUE(waitFor([&] { return nginx_.accessLog().find("sent=") != std::string::npos; }, 5s));
    const std::string log = nginx_.accessLog();
    const std::regex request("\"GET /whole_site/sample.bin HTTP");
    EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), request),
                            std::sregex_iterator()),
              1)
        << log;
}

TEST_F(SegmentsTest, APeerAndTheServerShareTheWork) {
    const std::string bytes = serve("capped_site", "sample.bin", 32 * kMiB);
    writeFile(tmp_ / "offered.bin", bytes);
    const uint16_t port = freeLoopbackPort();
    const std::string listen = "127.0.0.1:" + std::to_string(port);
    Child peer({QUARN_CLI_BINARY, "share", "--site", "capped_site", "--hash", kHash,
                (tmp_ / "offered.bin").string(), "--listen", listen},
               {});
    ASSERT_TRUE(waitFor([&] { return acceptsConnections(port); }, 10s))
        << "quarn share did not listen";

    const Download d = request("capped_site", "sample.bin", 32 * kMiB);
    // No document beside the file: the peer is used because it is trusted.
    const EngineEnv trusted("QUARN_TRUST_PEERS", "1");
    ASSERT_EQ(startWith(d, listen), 0);
    ASSERT_EQ(waitForEnd(60s), QUARN_STATE_COMPLETE);
    EXPECT_TRUE(readFile(mapped(d.localFileName)) == bytes);
    ASSERT_TRUE(waitFor([&] { return !nginx_.accessLog().empty(); }, 5s));
    EXPECT_LT(bytesSent(nginx_.accessLog()), 32 * kMiB) << "the peer served nothing";
}

// A peer of our own, serving the file's ranges as told.
struct PeerBehaviour {
    const char* name;
    int64_t advertised; // Content-Length of HEAD; 0: the file's size
    bool dieMidway;     // GET: half the range, then the connection drops
    bool wrongRange;    // GET: Content-Range of other bytes
};

class FailingPeers : public SegmentsTest, public ::testing::WithParamInterface<PeerBehaviour> {};

TEST_P(FailingPeers, AreDroppedAndTheOthersFinish) {
    const PeerBehaviour& b = GetParam();
    const std::string bytes = serve("capped_site", "sample.bin", 16 * kMiB);
    const auto size = static_cast<int64_t>(bytes.size());
    ScriptedServer peer([&](const ScriptedRequest& r, Reply& reply) {
        if (r.line.rfind("HEAD ", 0) == 0) {
            reply.send(head("200 OK", {"Content-Length: " +
                                       std::to_string(b.advertised ? b.advertised : size)}));
            return;
        }
        int64_t first = 0, last = size - 1;
        std::sscanf(r.header("range").c_str(), "bytes=%" SCNd64 "-%" SCNd64, &first, &last);
        const int64_t shown = b.wrongRange ? first + 1 : first;
        std::string body = bytes.substr(static_cast<std::size_t>(first),
                                        static_cast<std::size_t>(last - first + 1));
        if (!reply.send(head("206 Partial Content",
                             {"Content-Range: bytes " + std::to_string(shown) + "-" +
                                  std::to_string(shown + last - first) + "/" + std::to_string(size),
                              "Content-Length: " + std::to_string(body.size())})))
            return;
        reply.send(b.dieMidway ? body.substr(0, body.size() / 2) : body);
    });
    const Download d = request("capped_site", "sample.bin", size);
    const EngineEnv trusted("QUARN_TRUST_PEERS", "1");
    ASSERT_EQ(startWith(d, peer.endpoint()), 0);
    ASSERT_EQ(waitForEnd(60s), QUARN_STATE_COMPLETE);
    EXPECT_TRUE(readFile(mapped(d.localFileName)) == bytes);
    for (const ScriptedRequest& r : peer.requests()) {
        EXPECT_EQ(r.header("authorization"), "") << "credentials went to a peer";
        EXPECT_EQ(r.header("index"), "");
        EXPECT_EQ(r.header("hash"), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Engine, FailingPeers,
                         ::testing::Values(PeerBehaviour{"WrongLength", 12345, false, false},
                                           PeerBehaviour{"DiesMidway", 0, true, false},
                                           PeerBehaviour{"WrongContentRange", 0, false, true},
                                           PeerBehaviour{"Healthy", 0, false, false}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(SegmentsTest, NoSourceLeftIsState6) {
    Download d = request("test_site", "sample.bin", 16 * kMiB);
    d.server = "127.0.0.1:" + std::to_string(freeLoopbackPort());
    ASSERT_EQ(startWith(d, "127.0.0.1:" + std::to_string(freeLoopbackPort())), 0);
    EXPECT_EQ(waitForEnd(), QUARN_STATE_SERVER_ERROR);
}

TEST_F(SegmentsTest, KilledRepeatedlyThenResumedIsByteExactAndTheMapNeverLies) {
    const std::string bytes = serve("capped_site", "sample.bin", 24 * kMiB);
    const Download d = request("capped_site", "sample.bin", 24 * kMiB);
    int64_t last = 0;
    for (int kill = 0; kill < 3; ++kill) {
        int64_t claimed = 0;
        ASSERT_TRUE(killDownloadWhen(
            d,
            [&] {
                std::error_code e;
                claimed = fs::exists(map(d), e) ? claims(d, true).bytes() : 0;
                return claimed > last + 2 * kMiB;
            },
            20s));
        last = claimed;
        expectMapHonest(d, bytes);
    }
    ASSERT_EQ(startWith(d, ""), 0);
    EXPECT_GE(poll().fileBytes, last);
    ASSERT_EQ(waitForEnd(60s), QUARN_STATE_COMPLETE);
    EXPECT_TRUE(readFile(mapped(d.localFileName)) == bytes);
    EXPECT_FALSE(fs::exists(map(d)));
    EXPECT_LE(poll().received, 24 * kMiB - last);
}

TEST_F(SegmentsTest, StopKeepsEveryPieceForTheNextStart) {
    const std::string bytes = serve("capped_site", "sample.bin", 24 * kMiB);
    const Download d = request("capped_site", "sample.bin", 24 * kMiB);
    ASSERT_EQ(startWith(d, ""), 0);
    ASSERT_TRUE(waitFor([] { return poll().fileBytes > 4 * kMiB; }, 20s));
    stopDownload();
    const int64_t kept = poll().fileBytes;
    expectMapHonest(d, bytes);
    ASSERT_EQ(startWith(d, ""), 0);
    ASSERT_EQ(waitForEnd(60s), QUARN_STATE_COMPLETE);
    EXPECT_TRUE(readFile(mapped(d.localFileName)) == bytes);
    EXPECT_EQ(poll().received, 24 * kMiB - kept);
}

} // namespace
} // namespace quarn::test
