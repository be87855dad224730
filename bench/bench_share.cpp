// The engine's share server against nginx, each serving the same sparse
// sample file to `curl -o /dev/null` on loopback, alternating, in one run;
// plus the cost of a poll while a peer is being served.
//
//   bench_share [rounds]      (default 5)
#include "bench/bench_support.h"
#include "dialog/samplerequest.h"
#include "tests/support/nginx_fixture.h"

#include <quarn/quarn.h>

#include <cstdio>

namespace {

using namespace quarn::bench;

constexpr long long kSampleSize = sample::kFileSize; // the console's sample file
constexpr const char* kName = sample::kServerFileName;
constexpr const char* kHash = sample::kHash;

// curl fetching url to /dev/null, its stdout (the byte count) in `out`.
std::unique_ptr<quarn::test::Child> curlFetch(const std::string& url, const fs::path& out) {
    auto curl = std::make_unique<quarn::test::Child>(
        std::vector<std::string>{"curl", "-s", "-o", "/dev/null", "-w", "%{size_download}", url},
        std::vector<std::string>{}, out.string());
    if (curl->SpawnError() != 0) throw std::runtime_error("cannot run curl");
    return curl;
}

double fetchMBs(const std::string& url, const fs::path& tmp) {
    const fs::path out = tmp / "curl.out";
    const auto t0 = Clock::now();
    const bool ok = curlFetch(url, out)->Wait() == 0;
    const double seconds = secondsSince(t0);
    std::FILE* f = std::fopen(out.c_str(), "r");
    long long bytes = -1;
    if (f != nullptr) {
        if (std::fscanf(f, "%lld", &bytes) != 1) bytes = -1;
        std::fclose(f);
    }
    if (!ok || bytes != kSampleSize)
        throw std::runtime_error("curl did not get the whole file from " + url);
    return kSampleSize / 1e6 / seconds;
}

void run(int rounds) {
    const TempDir dir("quarn-bench-share");
    const fs::path tmp = dir.path();

    // One sparse file of the exact size, served by both.
    const fs::path file = tmp / "www" / "bench_site" / kName;
    makeSparseFile(file, kSampleSize);

    quarn::test::NginxServer nginx;
    quarn::test::NginxOptions options;
    options.root = tmp / "www";
    nginx.start(options);
    const std::string listen = "127.0.0.1:" + std::to_string(quarn::test::freeLoopbackPort());
    // Before the first registration starts the share server's threads.
    ::setenv("QUARN_SHARE_LISTEN", listen.c_str(), 1);
    if (setShareFile2(u"bench_site", u16(kHash).c_str(), u16(file.string()).c_str(), kSampleSize) ==
        0)
        throw std::runtime_error("registration refused");
    const std::string shareUrl = "http://" + listen + "/bench_site/" + kHash;
    const std::string nginxUrl = "http://" + nginx.endpoint() + "/bench_site/" + kName;

    std::printf("sample: %lld bytes, share server on %s, nginx on %s, %d rounds\n", kSampleSize,
                listen.c_str(), nginx.endpoint().c_str(), rounds);
    // Untimed first fetches: the first read of the file pays for the page cache.
    const double warmShare = fetchMBs(shareUrl, tmp), warmNginx = fetchMBs(nginxUrl, tmp);
    std::printf("warm-up (not counted): share %.1f MB/s, nginx %.1f MB/s\n", warmShare, warmNginx);
    std::vector<double> share, peer;
    for (int r = 0; r < rounds; ++r) {
        double s = 0, n = 0;
        alternate(
            r, [&] { s = fetchMBs(shareUrl, tmp); }, [&] { n = fetchMBs(nginxUrl, tmp); });
        share.push_back(s);
        peer.push_back(n);
        std::printf("round %d: share %.1f MB/s, nginx %.1f MB/s, ratio %.3f\n", r + 1, s, n, s / n);
    }
    const double shareMedian = median(share), nginxMedian = median(peer);
    std::printf("throughput median: share %.1f MB/s, nginx %.1f MB/s, ratio %.3f (target >= 0.9)\n",
                shareMedian, nginxMedian, shareMedian / nginxMedian);

    // Polls must not notice the server: idle, then while a peer fetches.
    int32_t speed = 0, remain = 0;
    int64_t received = 0, fileBytes = 0;
    const auto poll = [&] { getDownloadState(&speed, &remain, &received, &fileBytes); };
    const double idleNs = nanosPerCall(poll, 1000000);
    const auto peerFetch = curlFetch(shareUrl, tmp / "peer.out");
    const double servingNs = nanosPerCall(poll, 1000000);
    const bool stillServing = peerFetch->Alive();
    if (peerFetch->Wait() != 0) throw std::runtime_error("peer fetch failed");
    std::printf("poll cost median: %.1f ns/call idle, %.1f ns/call while a peer is served%s\n",
                idleNs, servingNs, stillServing ? "" : " (the fetch ended before the polls did)");
    nginx.stop();
}

} // namespace

int main(int argc, char** argv) {
    return benchMain("bench_share", argc, argv, 5, run);
}
