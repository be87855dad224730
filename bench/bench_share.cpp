// The engine's share server against nginx, each serving the same sparse
// sample file to `curl -o /dev/null` on loopback, alternating, in one run;
// plus the cost of a poll while a peer is being served.
//
//   bench_share [rounds]      (default 5)
#include "tests/support/nginx_fixture.h"
#include <quarn/quarn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr long long kSampleSize = 2208143958; // the console's sample file
constexpr const char* kName = "e3f20ec8060f3f1f5b98718b2df6f37b_2208143958";
constexpr const char* kHash = "e3f20ec8060f3f1f5b98718b2df6f37b";

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// curl fetching url to /dev/null, its stdout (the byte count) in `out`.
class Curl {
public:
    Curl(const std::string& url, const fs::path& out) {
        const std::string target = out.string();
        const char* argv[] = {"curl", "-s", "-o", "/dev/null", "-w", "%{size_download}", url.c_str(),
                              nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, target.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int rc = posix_spawnp(&pid_, "curl", &actions, nullptr, const_cast<char* const*>(argv),
                                    environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) throw std::runtime_error("cannot run curl");
    }
    Curl(const Curl&) = delete;
    Curl& operator=(const Curl&) = delete;
    ~Curl() {
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    bool running() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
    bool succeeded() {
        int status = 0;
        const bool ok = waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        pid_ = -1;
        return ok;
    }

private:
    pid_t pid_ = -1;
};

double fetchMBs(const std::string& url, const fs::path& tmp) {
    const fs::path out = tmp / "curl.out";
    const auto t0 = Clock::now();
    Curl curl(url, out);
    const bool ok = curl.succeeded();
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

template <class F>
double nanosPerCall(F call, int calls) {
    std::vector<double> batches;
    for (int b = 0; b < 7; ++b) {
        const auto t0 = Clock::now();
        for (int i = 0; i < calls; ++i) call();
        batches.push_back(secondsSince(t0) * 1e9 / calls);
    }
    return median(batches);
}

void run(int rounds) {
    char pattern[] = "/tmp/quarn-bench-share-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    const fs::path tmp = pattern;
    struct Cleanup {
        fs::path dir;
        ~Cleanup() {
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
    } cleanup{tmp};

    // One sparse file of the exact size, served by both.
    fs::create_directories(tmp / "www" / "bench_site");
    const fs::path file = tmp / "www" / "bench_site" / kName;
    const int fd = ::open(file.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (fd < 0 || ::ftruncate(fd, kSampleSize) != 0) throw std::runtime_error("sample file");
    ::close(fd);

    quarn::test::NginxServer nginx;
    quarn::test::NginxOptions options;
    options.root = tmp / "www";
    nginx.start(options);
    const std::string listen = "127.0.0.1:" + std::to_string(quarn::test::freeLoopbackPort());
    ::setenv("QUARN_SHARE_LISTEN", listen.c_str(), 1);
    if (setShareFile2(u"bench_site", u16(kHash).c_str(), u16(file.string()).c_str(), kSampleSize) == 0)
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
        // Alternate who goes first so the machine's other load evens out.
        double s = 0, n = 0;
        if (r % 2 == 0) {
            s = fetchMBs(shareUrl, tmp);
            n = fetchMBs(nginxUrl, tmp);
        } else {
            n = fetchMBs(nginxUrl, tmp);
            s = fetchMBs(shareUrl, tmp);
        }
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
    Curl peerFetch(shareUrl, tmp / "peer.out");
    const double servingNs = nanosPerCall(poll, 1000000);
    const bool stillServing = peerFetch.running();
    if (!peerFetch.succeeded()) throw std::runtime_error("peer fetch failed");
    std::printf("poll cost median: %.1f ns/call idle, %.1f ns/call while a peer is served%s\n", idleNs,
                servingNs, stillServing ? "" : " (the fetch ended before the polls did)");
    nginx.stop();
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    try {
        run(rounds);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_share: %s\n", e.what());
        return 1;
    }
    return 0;
}
