// Segmented downloads in one run: the engine with 1, 4 and 16 connections
// against nginx capping each connection at 20 MB/s, beside aria2c with 4 and
// 16 on the same file; a slow and a trickling peer beside a server giving
// 4 MB/s per connection, against the same download without them; a server
// allowing two connections per client, 4 asked for, against one and against
// aria2c; then the full sample on plain loopback, 4 connections against one,
// where segmenting cannot help and must not hurt.
//
//   bench_segments [rounds]      (default 3)
#include "bench/bench_support.h"
#include "libquarn/metalink.h"
#include "tests/support/environment.h"
#include "tests/support/files.h"
#include "tests/support/nginx_fixture.h"
#include "tests/support/range_peer.h"

#include <cstdio>
#include <map>

namespace {

using namespace quarn::bench;
using quarn::test::NginxServer;

constexpr int64_t kCappedSize = 200 * 1000 * 1000;
constexpr int64_t kPeerSize = 64 * 1000 * 1000;    // about 4 s at 4 x 4 MB/s
constexpr int64_t kSampleSize = sample::kFileSize; // the console's sample file
// One engine download with `connections`; seconds to completion.
double engineRound(const BenchDirs& dirs, const std::string& server, const std::string& site,
                   int64_t size, int connections, const std::string& peers = "") {
    // Changed, and put back, only while no transfer runs.
    const quarn::test::ScopedEnv setting("QUARN_CONNECTIONS", std::to_string(connections).c_str(),
                                         [] { stopDownload(); });
    const quarn::test::ScopedEnv peerList("QUARN_PEERS", peers.c_str(), [] { stopDownload(); });
    const fs::path target = dirs.benchFile("engine.bin");
    const double seconds = engineDownload(EngineJob{server, site, "sample.bin", size}, target);
    fs::remove(target);
    return seconds;
}

double aria2Round(const std::string& url, const fs::path& dir, int connections) {
    const std::string n = std::to_string(connections);
    const double seconds =
        timedRun({"aria2c", "-q", "-x" + n, "-s" + n, "-k1M", "--allow-overwrite=true",
                  "--file-allocation=none", "--auto-file-renaming=false", "-d", dir.string(), "-o",
                  "aria2.bin", url});
    fs::remove(dir / "aria2.bin");
    return seconds;
}

// Random bytes with their document beside them, so peers can be checked.
std::string publishedFile(const fs::path& file, int64_t size) {
    std::string bytes(static_cast<std::size_t>(size), '\0');
    uint64_t x = 88172645463325252ULL;
    for (char& b : bytes) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        b = static_cast<char>(x);
    }
    quarn::test::writeFile(file, bytes);
    quarn::engine::MetalinkFile doc;
    doc.name = file.filename().string();
    doc.size = size;
    doc.sha256 = quarn::engine::sha256(bytes);
    doc.pieceLength = quarn::engine::kDefaultPieceLength;
    for (std::size_t at = 0; at < bytes.size(); at += static_cast<std::size_t>(doc.pieceLength))
        doc.pieces.push_back(quarn::engine::sha256(
            std::string_view(bytes).substr(at, static_cast<std::size_t>(doc.pieceLength))));
    quarn::test::writeFile(file.string() + ".meta4", quarn::engine::writeMetalink(doc));
    return bytes;
}

// A slow and a trickling peer beside a server giving 4 MB/s per connection.
void peerRows(const BenchDirs& dirs, const std::string& server, const std::string& bytes,
              int rounds) {
    using quarn::test::PeerBehaviour;
    using quarn::test::RangePeer;
    std::map<std::string, std::vector<double>> t;
    for (int r = 0; r < rounds; ++r) {
        t["alone"].push_back(engineRound(dirs, server, "peer_site", kPeerSize, 4));
        RangePeer slow(PeerBehaviour{bytes, 100 * 1000});
        t["slow"].push_back(engineRound(dirs, server, "peer_site", kPeerSize, 4, slow.endpoint()));
        RangePeer trickle(PeerBehaviour{bytes, 0, 3500 * 1000});
        t["trickle"].push_back(
            engineRound(dirs, server, "peer_site", kPeerSize, 4, trickle.endpoint()));
    }
    std::printf("peers: %lld bytes, server 4 MB/s per connection, 4 connections (median)\n",
                static_cast<long long>(kPeerSize));
    std::printf("  server alone %.2f s; with a 100 KB/s peer %.2f s, ratio %.2f (target <= 1.25); "
                "with a trickling peer %.2f s, ratio %.2f (target <= 1.25)\n",
                median(t["alone"]), median(t["slow"]), median(t["slow"]) / median(t["alone"]),
                median(t["trickle"]), median(t["trickle"]) / median(t["alone"]));
}

// nginx allowing two connections per client, each at 4 MB/s.
void limitedRows(const BenchDirs& dirs, const std::string& server, int rounds) {
    const std::string url = "http://" + server + "/limited_site/sample.bin";
    std::map<std::string, std::vector<double>> t;
    for (int r = 0; r < rounds; ++r) {
        t["engine x1"].push_back(engineRound(dirs, server, "limited_site", kPeerSize, 1));
        t["engine x4"].push_back(engineRound(dirs, server, "limited_site", kPeerSize, 4));
        t["aria2c x4"].push_back(aria2Round(url, dirs.tmp(), 4));
    }
    const auto mbs = [&](const char* name) { return kPeerSize / 1e6 / median(t[name]); };
    std::printf("limit_conn 2, 4 MB/s per connection: engine x1 %.1f MB/s, x4 %.1f MB/s, aria2c x4 "
                "%.1f MB/s\n",
                mbs("engine x1"), mbs("engine x4"), mbs("aria2c x4"));
    std::printf("  engine x4 / x1: %.2f (target >= 1.8); engine x4 / aria2c x4: %.2f (target >= "
                "1.0)\n",
                mbs("engine x4") / mbs("engine x1"), mbs("engine x4") / mbs("aria2c x4"));
}

void run(int rounds) {
    const BenchDirs dirs("quarn-bench-segments");
    makeSparseFile(dirs.www() / "capped_site" / "sample.bin", kCappedSize);
    makeSparseFile(dirs.www() / "plain_site" / "sample.bin", kSampleSize);
    makeSparseFile(dirs.www() / "limited_site" / "sample.bin", kPeerSize);
    const std::string peerBytes = publishedFile(dirs.www() / "peer_site" / "sample.bin", kPeerSize);

    NginxServer nginx;
    quarn::test::NginxOptions options;
    options.root = dirs.www();
    options.httpExtra = "limit_conn_zone $binary_remote_addr zone=perip:1m;";
    options.locations = {{"/capped_site/", "", "", 20 * 1000 * 1000, false, ""},
                         {"/peer_site/", "", "", 4 * 1000 * 1000, false, ""},
                         {"/limited_site/", "", "", 4 * 1000 * 1000, false, "limit_conn perip 2;"}};
    nginx.start(options);
    const std::string server = nginx.endpoint();
    const std::string capped = "http://" + server + "/capped_site/sample.bin";

    std::printf("capped: %lld bytes, 20 MB/s per connection, %d rounds (median)\n",
                static_cast<long long>(kCappedSize), rounds);
    std::map<std::string, std::vector<double>> times;
    for (int r = 0; r < rounds; ++r) {
        for (const int n : {1, 4, 16})
            times["engine x" + std::to_string(n)].push_back(
                engineRound(dirs, server, "capped_site", kCappedSize, n));
        for (const int n : {4, 16})
            times["aria2c x" + std::to_string(n)].push_back(aria2Round(capped, dirs.tmp(), n));
    }
    const auto mbs = [&](const std::string& name) {
        return kCappedSize / 1e6 / median(times[name]);
    };
    for (const char* name : {"engine x1", "engine x4", "engine x16", "aria2c x4", "aria2c x16"})
        std::printf("  %-11s %6.2f s  %7.1f MB/s\n", name, median(times[name]), mbs(name));
    std::printf("engine x4 / engine x1:  %.2f (target >= 3.6)\n",
                mbs("engine x4") / mbs("engine x1"));
    std::printf("engine x4 / aria2c x4:  %.2f (target >= 1.0)\n",
                mbs("engine x4") / mbs("aria2c x4"));
    std::printf("engine x16 / aria2c x16: %.2f (target >= 1.0)\n",
                mbs("engine x16") / mbs("aria2c x16"));

    peerRows(dirs, server, peerBytes, rounds);
    limitedRows(dirs, server, rounds);

    std::vector<double> one, four;
    for (int r = 0; r < rounds; ++r) {
        one.push_back(engineRound(dirs, server, "plain_site", kSampleSize, 1));
        four.push_back(engineRound(dirs, server, "plain_site", kSampleSize, 4));
    }
    const double oneMBs = kSampleSize / 1e6 / median(one),
                 fourMBs = kSampleSize / 1e6 / median(four);
    std::printf(
        "plain loopback, %lld bytes: x1 %.1f MB/s, x4 %.1f MB/s, ratio %.3f (target >= 0.95)\n",
        static_cast<long long>(kSampleSize), oneMBs, fourMBs, fourMBs / oneMBs);
    nginx.stop();
}

} // namespace

int main(int argc, char** argv) {
    return benchMain("bench_segments", argc, argv, 3, run);
}
