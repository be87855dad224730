// The engine's share server against nginx, both serving the same sparse
// sample file on loopback, alternating, in one run:
//   - one peer: `curl -o /dev/null` of the whole file;
//   - 256 range readers at once: kept-alive connections from 16 addresses
//     (half the server's limit per address, so that the last round's
//     connections, still being closed, leave room), each asking for 1 MiB
//     ranges in turn;
//   - one peer's latency (connect to the last byte of a small range) while
//     500 connections drip their request heads a byte at a time;
// plus the cost of a poll while a peer is being served.
//
//   bench_share [rounds]      (default 5)
#include "bench/bench_support.h"
#include "dialog/samplerequest.h"
#include "tests/support/nginx_fixture.h"

#include <quarn/quarn.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace quarn::bench;

constexpr long long kSampleSize = sample::kFileSize; // the console's sample file
constexpr const char* kName = sample::kServerFileName;
constexpr const char* kHash = sample::kHash;

constexpr int kReaders = 256, kReaderHosts = 16; // half the share server's limit per host
constexpr long long kRangeLength = 1024 * 1024;
constexpr long long kRangeSpan = 256 * kRangeLength; // where the ranges fall
constexpr double kReadSeconds = 3;
constexpr int kDrippers = 500, kDripperHosts = 16;
constexpr int kLatencySamples = 20;

// A descriptor that closes itself.
class Socket {
public:
    explicit Socket(int fd = -1) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Socket& operator=(Socket&&) = delete;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Connected from 127.0.0.(2 + host) to 127.0.0.1:port, so each host has an
// address of its own.
Socket connectFrom(int host, uint16_t port) {
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1 + static_cast<uint32_t>(host));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    const int one = 1;
    if (s.get() < 0 || ::bind(s.get(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(s.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
        ::setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0)
        throw std::runtime_error(std::string("cannot connect: ") + std::strerror(errno));
    return s;
}

std::string rangeRequest(const std::string& path, long long first, long long length) {
    return "GET " + path + " HTTP/1.1\r\nHost: bench\r\nRange: bytes=" + std::to_string(first) +
           "-" + std::to_string(first + length - 1) + "\r\n\r\n";
}

void sendAll(int fd, const std::string& bytes) {
    if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("a request did not go out whole");
}

// Reads one answer off a connection in pieces: its head, then its body.
struct AnswerReader {
    std::string head;
    long long bodyLeft = -1; // -1: still in the head

    // Takes `n` bytes; the body bytes among them. Throws unless the answer
    // is a 206 of `expected` bytes.
    long long take(const char* data, std::size_t n, long long expected) {
        if (bodyLeft >= 0) {
            bodyLeft -= static_cast<long long>(n);
            return static_cast<long long>(n);
        }
        head.append(data, n);
        const std::size_t end = head.find("\r\n\r\n");
        if (end == std::string::npos) return 0;
        if (head.compare(0, 12, "HTTP/1.1 206") != 0 ||
            head.find("Content-Length: " + std::to_string(expected) + "\r\n") == std::string::npos)
            throw std::runtime_error("not the range asked for: " + head.substr(0, end));
        const auto body = static_cast<long long>(head.size() - end - 4);
        bodyLeft = expected - body;
        head.clear();
        return body;
    }
    bool done() const { return bodyLeft == 0; }
    void next() { bodyLeft = -1; }
};

// kReaders connections, each asking for 1 MiB ranges one after another for
// kReadSeconds; the body bytes per second of them all.
double rangeReadersMBs(uint16_t port, const std::string& path) {
    std::vector<Socket> sockets;
    std::vector<AnswerReader> readers(kReaders);
    const Socket epoll(::epoll_create1(EPOLL_CLOEXEC));
    unsigned seed = 1;
    const auto nextRange = [&] {
        seed = seed * 1103515245 + 12345;
        return static_cast<long long>((seed >> 8) % (kRangeSpan / kRangeLength)) * kRangeLength;
    };
    for (int i = 0; i < kReaders; ++i) {
        sockets.push_back(connectFrom(i % kReaderHosts, port));
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = static_cast<uint32_t>(i);
        ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, sockets.back().get(), &event);
    }
    for (const Socket& s : sockets) sendAll(s.get(), rangeRequest(path, nextRange(), kRangeLength));
    std::vector<char> buffer(std::size_t{256} * 1024);
    std::vector<epoll_event> events(kReaders);
    long long bytes = 0;
    const auto t0 = Clock::now();
    while (secondsSince(t0) < kReadSeconds) {
        const int n = ::epoll_wait(epoll.get(), events.data(), kReaders, 100);
        for (int e = 0; e < n; ++e) {
            const auto i = events[static_cast<std::size_t>(e)].data.u32;
            const ssize_t got = ::recv(sockets[i].get(), buffer.data(), buffer.size(), 0);
            if (got <= 0) throw std::runtime_error("a range reader was cut off");
            bytes += readers[i].take(buffer.data(), static_cast<std::size_t>(got), kRangeLength);
            if (readers[i].done()) {
                readers[i].next();
                sendAll(sockets[i].get(), rangeRequest(path, nextRange(), kRangeLength));
            }
        }
    }
    return static_cast<double>(bytes) / 1e6 / secondsSince(t0);
}

// Seconds from connecting to the last byte of a 64 KiB range, from an
// address of its own.
double oneRangeSeconds(uint16_t port, const std::string& path) {
    constexpr long long kLength = 64 * 1024;
    const auto t0 = Clock::now();
    const Socket s = connectFrom(kDripperHosts, port);
    sendAll(s.get(), rangeRequest(path, 0, kLength));
    AnswerReader reader;
    std::vector<char> buffer(kLength);
    while (!reader.done()) {
        const ssize_t got = ::recv(s.get(), buffer.data(), buffer.size(), 0);
        if (got <= 0) throw std::runtime_error("the latency probe was cut off");
        reader.take(buffer.data(), static_cast<std::size_t>(got), kLength);
    }
    return secondsSince(t0);
}

// kDrippers connections sending their heads a byte every 100 ms, never
// finishing them, for as long as this lives.
class DripFlood {
public:
    explicit DripFlood(uint16_t port) {
        for (int i = 0; i < kDrippers; ++i)
            sockets_.push_back(connectFrom(i % kDripperHosts, port));
        thread_ = std::thread([this] {
            const char* head = "GET /bench_site/x HTTP/1.1\r\nX-Drip: ";
            for (std::size_t at = 0; running_; ++at) {
                const char c = head[std::min(at, std::strlen(head) - 1)];
                for (const Socket& s : sockets_)
                    ::send(s.get(), &c, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the flood's pace
            }
        });
    }
    ~DripFlood() {
        running_ = false;
        thread_.join();
    }
    DripFlood(const DripFlood&) = delete;
    DripFlood& operator=(const DripFlood&) = delete;

    // How many the server still holds.
    int open() const {
        int n = 0;
        for (const Socket& s : sockets_) {
            char c = 0;
            const ssize_t got = ::recv(s.get(), &c, 1, MSG_DONTWAIT | MSG_PEEK);
            n += got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 1 : 0;
        }
        return n;
    }

private:
    std::vector<Socket> sockets_;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

// The status of a HEAD of `path`, from an address of its own.
int headStatus(uint16_t port, const std::string& path) {
    const Socket s = connectFrom(kDripperHosts + 1, port);
    sendAll(s.get(), "HEAD " + path + " HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n");
    char line[16] = {};
    if (::recv(s.get(), line, sizeof line - 1, MSG_WAITALL) < 12) return 0;
    return std::atoi(line + 9);
}

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

// Both sides of a flood in this process, and nginx's as well.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

void run(int rounds) {
    raiseDescriptorLimit();
    const TempDir dir("quarn-bench-share");
    const fs::path tmp = dir.path();

    // One sparse file of the exact size, served by both.
    const fs::path file = tmp / "www" / "bench_site" / kName;
    makeSparseFile(file, kSampleSize);

    quarn::test::NginxServer nginx;
    quarn::test::NginxOptions options;
    options.root = tmp / "www";
    options.workerConnections = 2048; // the drippers, the readers and the probe
    nginx.start(options);
    const uint16_t sharePort = quarn::test::freeLoopbackPort();
    const std::string listen = "127.0.0.1:" + std::to_string(sharePort);
    // Before the first registration starts the share server's threads.
    ::setenv("QUARN_SHARE_LISTEN", listen.c_str(), 1);
    if (setShareFile2(u"bench_site", u16(kHash).c_str(), u16(file.string()).c_str(), kSampleSize) ==
        0)
        throw std::runtime_error("registration refused");
    const std::string sharePath = std::string("/bench_site/") + kHash;
    const std::string nginxPath = std::string("/bench_site/") + kName;
    const std::string shareUrl = "http://" + listen + sharePath;
    const std::string nginxUrl = "http://" + nginx.endpoint() + nginxPath;
    // The engine hashes a registered file once, in the background: measured
    // apart, so that none of it falls into the rounds.
    const auto described = Clock::now();
    waitUntil([&] { return headStatus(sharePort, sharePath + ".meta4") == 200; },
              std::chrono::seconds(120), "the sample's Metalink document");
    std::printf("the share server's document of the sample: ready %.2f s after registration\n",
                secondsSince(described));

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
        std::printf("one peer, round %d: share %.1f MB/s, nginx %.1f MB/s, ratio %.3f\n", r + 1, s,
                    n, s / n);
    }
    const double shareMedian = median(share), nginxMedian = median(peer);
    std::printf("one peer median: share %.1f MB/s, nginx %.1f MB/s, ratio %.3f (target >= 0.9)\n",
                shareMedian, nginxMedian, shareMedian / nginxMedian);

    share.clear();
    peer.clear();
    for (int r = 0; r < rounds; ++r) {
        double s = 0, n = 0;
        alternate(
            r, [&] { s = rangeReadersMBs(sharePort, sharePath); },
            [&] { n = rangeReadersMBs(nginx.port(), nginxPath); });
        share.push_back(s);
        peer.push_back(n);
        std::printf("%d range readers, round %d: share %.1f MB/s, nginx %.1f MB/s, ratio %.3f\n",
                    kReaders, r + 1, s, n, s / n);
    }
    std::printf("%d range readers median: share %.1f MB/s, nginx %.1f MB/s, ratio %.3f "
                "(target >= 0.9)\n",
                kReaders, median(share), median(peer), median(share) / median(peer));

    for (const auto& [name, port, path] : {std::tuple{"share", sharePort, sharePath},
                                           std::tuple{"nginx", nginx.port(), nginxPath}}) {
        const DripFlood flood(port);
        std::vector<double> latency;
        for (int i = 0; i < kLatencySamples; ++i) latency.push_back(oneRangeSeconds(port, path));
        std::printf("one peer while %d drip their heads (%d still held): %s median %.2f ms, "
                    "worst %.2f ms (target under 1 s)\n",
                    kDrippers, flood.open(), name, median(latency) * 1e3,
                    *std::max_element(latency.begin(), latency.end()) * 1e3);
    }

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
