// The share server against peers and files that misbehave: heads framed to
// smuggle a second request, files changed while they are sent, pseudo
// files, floods of connections that never finish their heads, and the
// shared upload rate. Raw sockets on loopback; other 127.0.0.x addresses
// stand in for other hosts.
#include "libquarn/digest.h"
#include "libquarn/metalink.h"
#include "libquarn/share_policy.h"
#include "libquarn/share_registry.h"
#include "tests/engine/share_fixture.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace quarn::test {
namespace {

using namespace std::chrono_literals;

std::string get(const std::string& path, const std::string& fields = "") {
    return "GET " + path + " HTTP/1.1\r\nHost: peer\r\n" + fields + "\r\n";
}

// A loopback source address standing in for another host: 127.0.0.(2 + n).
std::string otherHost(unsigned n) {
    return "127.0.0." + std::to_string(2 + n);
}

// CPU time the named thread of this process has used so far.
std::chrono::milliseconds threadCpu(const std::string& name) {
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        if (readFile(task.path() / "comm") != name + "\n") continue;
        // utime and stime: the 12th and 13th fields after the ")" that ends
        // the name.
        std::istringstream fields(
            readFile(task.path() / "stat").substr(readFile(task.path() / "stat").rfind(')') + 2));
        std::string field;
        long long ticks = 0;
        for (int i = 1; i <= 13 && fields >> field; ++i)
            if (i >= 12) ticks += std::stoll(field);
        return std::chrono::milliseconds(ticks * 1000 / ::sysconf(_SC_CLK_TCK));
    }
    ADD_FAILURE() << "no thread named " << name;
    return {};
}

// The engine raises its own descriptor limit; the test's side of a flood
// needs as many again.
void raiseDescriptorLimit() {
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_GE(limit.rlim_cur, 2500u) << "the hard descriptor limit is too low for a flood";
}

class ShareHostileTest : public ShareServerTest {};

TEST_F(ShareHostileTest, HeadsThatAnnounceABodyAreRefusedAndNothingAfterThemIsAnswered) {
    share(kShareHash, "c:\\share\\a.bin", "payload");
    const std::string path = target(kSite, kShareHash);
    const std::string smuggled = get(path);
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"duplicated length", "GET " + path +
                                  " HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nContent-Length: " +
                                  std::to_string(smuggled.size()) + "\r\n\r\n" + smuggled},
        {"length as a list",
         "GET " + path + " HTTP/1.1\r\nHost: x\r\nContent-Length: 0, 0\r\n\r\n" + smuggled},
        {"length and chunked",
         "GET " + path + " HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nTransfer-Encoding: " +
             "chunked\r\n\r\n0\r\n\r\n" + smuggled},
        {"chunked", "GET " + path + " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" +
                        "0\r\n\r\n" + smuggled},
        {"identity encoding",
         "GET " + path + " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: identity\r\n\r\n" + smuggled},
        {"a body on GET", "GET " + path + " HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                              std::to_string(smuggled.size()) + "\r\n\r\n" + smuggled},
        {"a body on HEAD", "HEAD " + path + " HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                               std::to_string(smuggled.size()) + "\r\n\r\n" + smuggled},
        {"space before the colon",
         "GET " + path + " HTTP/1.1\r\nHost: x\r\nContent-Length : 5\r\n\r\n" + smuggled},
        {"folded field",
         "GET " + path + " HTTP/1.1\r\nHost: x\r\nX-A: 1\r\n  2\r\n\r\n" + smuggled},
        {"bare CR", "GET " + path + " HTTP/1.1\r\nHost: x\rX-A: 1\r\n\r\n" + smuggled},
        {"no host", "GET " + path + " HTTP/1.1\r\n\r\n" + smuggled},
        {"two hosts", "GET " + path + " HTTP/1.1\r\nHost: x\r\nHost: y\r\n\r\n" + smuggled},
        {"not HTTP", "GET " + path + " HTTP/x.y\r\nHost: x\r\n\r\n" + smuggled},
    };
    for (const Case& c : cases) {
        LoopbackClient peer(sharePort());
        ASSERT_TRUE(peer.send(c.bytes)) << c.name;
        EXPECT_TRUE(waitFor([&] { return peer.closedByPeer(); }, 10s)) << c.name;
        const Answers answers = readAnswers(peer.received());
        ASSERT_EQ(answers.replies.size(), 1u) << c.name << "\n" << peer.received();
        EXPECT_EQ(answers.replies[0].status, 400) << c.name;
        EXPECT_EQ(answers.replies[0].header("connection"), "close") << c.name;
        EXPECT_TRUE(answers.complete) << c.name;
    }
}

TEST_F(ShareHostileTest, PipelinedRequestsAreAnsweredInOrder) {
    const std::string bytes = sampleBytes(3 * kMiB + 5, 21);
    share(kShareHash, "c:\\share\\a.bin", bytes);
    const std::string path = target(kSite, kShareHash);
    LoopbackClient peer(sharePort());
    // A large answer first, so the rest waits in the server while it goes out.
    ASSERT_TRUE(peer.send(get(path) + get(path, "Range: bytes=10-19\r\n") + "HEAD " + path +
                          " HTTP/1.1\r\nHost: peer\r\n\r\n" + get(target(kSite, hashFor(7))) +
                          get(path, "Content-Length: 0\r\nRange: bytes=-3\r\n") +
                          get(path, "Connection: close\r\nRange: bytes=0-0\r\n")));
    ASSERT_TRUE(waitFor([&] { return peer.closedByPeer(); }, 20s));
    const Answers answers = readAnswers(peer.received(), {false, false, true});
    ASSERT_TRUE(answers.complete);
    ASSERT_EQ(answers.replies.size(), 6u);
    const auto& r = answers.replies;
    EXPECT_EQ(r[0].status, 200);
    EXPECT_TRUE(r[0].body == bytes);
    EXPECT_EQ(r[1].status, 206);
    EXPECT_EQ(r[1].body, bytes.substr(10, 10));
    EXPECT_EQ(r[2].status, 200);
    EXPECT_EQ(r[2].header("content-length"), std::to_string(bytes.size()));
    EXPECT_EQ(r[3].status, 404);
    EXPECT_EQ(r[4].status, 206);
    EXPECT_EQ(r[4].body, bytes.substr(bytes.size() - 3));
    EXPECT_EQ(r[5].status, 206);
    EXPECT_EQ(r[5].header("connection"), "close");
    EXPECT_EQ(r[5].body, bytes.substr(0, 1));
}

// A peer reads slowly while the file changes under the server: it never
// gets the whole length, what it got is the registered bytes up to at most
// the last piece sent before the server's check caught the change, the
// registration is gone, and the server's thread is idle afterwards.
TEST_F(ShareHostileTest, AFileChangedWhileServedNeverReachesAPeerWhole) {
    // More than what goes out between two checks of the file.
    constexpr std::size_t kCaughtWithin = 1024 * 1024;
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> change;
    };
    const auto rewriteInPlace = [](const fs::path& p) {
        const auto when = fs::last_write_time(p);
        {
            std::fstream file(p, std::ios::in | std::ios::out | std::ios::binary);
            const std::string other = sampleBytes(static_cast<std::size_t>(fs::file_size(p)), 99);
            file.write(other.data(), static_cast<std::streamsize>(other.size()));
        }
        fs::last_write_time(p, when); // put back: only the ctime tells
    };
    const Case cases[] = {
        {"truncated", [](const fs::path& p) { fs::resize_file(p, fs::file_size(p) / 2); }},
        {"truncated to nothing", [](const fs::path& p) { fs::resize_file(p, 0); }},
        {"rewritten in place, mtime put back", rewriteInPlace},
        {"rewritten by another file",
         [](const fs::path& p) {
             writeFile(p.string() + ".new",
                       sampleBytes(static_cast<std::size_t>(fs::file_size(p)), 98));
             fs::rename(p.string() + ".new", p);
         }},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string hash = hashFor(++n), windows = "c:\\share\\" + std::to_string(n) + ".bin";
        const std::string bytes = sampleBytes(24 * kMiB, static_cast<uint32_t>(n));
        share(hash, windows, bytes);
        LoopbackClient peer(sharePort(), {nullptr, 64 * 1024});
        ASSERT_TRUE(peer.send(get(target(kSite, hash))));
        ASSERT_TRUE(waitFor([&] { return peer.receiveSome(4096) > 0; })) << c.name;
        c.change(mapped(windows));
        ASSERT_TRUE(waitFor([&] { return peer.closedByPeer(); }, 20s)) << c.name;
        const Answers answers = readAnswers(peer.received());
        ASSERT_EQ(answers.replies.size(), 1u) << c.name;
        const Reply& reply = answers.replies[0];
        EXPECT_EQ(reply.header("content-length"), std::to_string(bytes.size())) << c.name;
        EXPECT_FALSE(answers.complete) << c.name;
        EXPECT_LT(reply.body.size(), bytes.size()) << c.name;
        const std::size_t sure = reply.body.size() - std::min(reply.body.size(), kCaughtWithin);
        EXPECT_TRUE(reply.body.compare(0, sure, bytes, 0, sure) == 0)
            << c.name << ": the first " << sure << " of " << reply.body.size() << " bytes differ";
        EXPECT_EQ(fetch(target(kSite, hash)).status, 404) << c.name;
    }
    // A loop left spinning on a file that ended early would show here.
    const auto before = threadCpu("quarn-share");
    std::this_thread::sleep_for(1s); // a window to measure, not a wait for anything
    EXPECT_LT(threadCpu("quarn-share") - before, 100ms);
}

TEST_F(ShareHostileTest, PseudoFilesAreNeverRegistered) {
    const fs::path pseudo = pseudoFile();
    ASSERT_FALSE(pseudo.empty()) << "no 4096-byte sysfs file to try";
    engine::ShareRegistry registry;
    EXPECT_FALSE(registry.add({kSite, kShareHash, pseudo.string(), 4096})) << pseudo;
    EXPECT_EQ(setShareFile2(u16(kSite).c_str(), u16(kShareHash).c_str(),
                            u16(pseudo.string()).c_str(), 4096),
              0)
        << pseudo;
    // The same size from a real file is taken, so the file system is what refused.
    writeFile(tmp_ / "real.bin", std::string(4096, 'r'));
    EXPECT_TRUE(registry.add({kSite, kShareHash, (tmp_ / "real.bin").string(), 4096}));
}

// Connections that drip their heads never finish them: each is cut at the
// head deadline from its connect, however often it sends a byte, while one
// whose head completes in time is answered.
TEST_F(ShareHostileTest, AHeadNotCompleteInTimeIsCutFromTheConnect) {
    shareSetting("QUARN_SHARE_HEAD_TIMEOUT_MS", "1500");
    share(kShareHash, "c:\\share\\a.bin", "payload");
    const std::string request = get(target(kSite, kShareHash));
    const auto t0 = std::chrono::steady_clock::now();
    LoopbackClient dripper(sharePort()), late(sharePort()), slow(sharePort());
    ASSERT_TRUE(dripper.connected() && late.connected() && slow.connected());
    bool lateSent = false;
    std::size_t slowSent = 0;
    const bool cut = waitFor(
        [&] {
            const auto elapsed = std::chrono::steady_clock::now() - t0;
            dripper.send("X");
            // Silent for most of its time, then the whole head at once.
            if (!lateSent && elapsed > 1200ms) lateSent = late.send(request.substr(0, 10));
            // The whole head, a byte every 5 ms: done well within the deadline.
            if (slowSent < request.size() && slow.send(request.substr(slowSent, 1))) ++slowSent;
            return dripper.closedByPeer() && late.closedByPeer();
        },
        10s);
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_TRUE(cut);
    EXPECT_GE(elapsed, 1400ms);
    EXPECT_LT(elapsed, 5s);
    EXPECT_EQ(dripper.received(), "");
    EXPECT_TRUE(waitFor([&] {
        slow.closedByPeer();
        return slow.received().find("payload") != std::string::npos;
    }));
}

TEST_F(ShareHostileTest, APeerIsServedAtOnceWhileHundredsDripTheirHeads) {
    raiseDescriptorLimit();
    share(kShareHash, "c:\\share\\a.bin", "payload");
    constexpr unsigned kDrippers = 500, kHosts = 16; // within each host's limit
    static_assert(kDrippers <= kHosts * engine::kSharePerAddressLimit);
    std::vector<std::unique_ptr<LoopbackClient>> drippers;
    for (unsigned i = 0; i < kDrippers; ++i) {
        const std::string host = otherHost(i % kHosts);
        drippers.push_back(
            std::make_unique<LoopbackClient>(sharePort(), ClientOptions{host.c_str()}));
        ASSERT_TRUE(drippers.back()->connected()) << i;
        ASSERT_TRUE(drippers.back()->send("G"));
    }
    std::atomic<bool> dripping{true};
    std::thread drip([&] {
        while (dripping) {
            for (auto& d : drippers) d->send("E");
            std::this_thread::sleep_for(100ms); // the flood's pace
        }
    });
    const auto t0 = std::chrono::steady_clock::now();
    const Reply reply = fetch(target(kSite, kShareHash));
    const auto latency = std::chrono::steady_clock::now() - t0;
    dripping = false;
    drip.join();
    EXPECT_EQ(reply.body, "payload");
    EXPECT_LT(latency, 1s);
    unsigned open = 0;
    for (auto& d : drippers) open += d->closedByPeer() ? 0 : 1;
    EXPECT_EQ(open, kDrippers) << "every dripper is held, none turned away";
}

TEST_F(ShareHostileTest, AThousandConnectionsAreHeldAndServed) {
    raiseDescriptorLimit();
    share(kShareHash, "c:\\share\\a.bin", "payload");
    constexpr unsigned kConnections = 1000, kHosts = 32;
    static_assert(kConnections <= kHosts * engine::kSharePerAddressLimit);
    std::vector<std::unique_ptr<LoopbackClient>> peers;
    for (unsigned i = 0; i < kConnections; ++i) {
        const std::string host = otherHost(i % kHosts);
        peers.push_back(std::make_unique<LoopbackClient>(sharePort(), ClientOptions{host.c_str()}));
        ASSERT_TRUE(peers.back()->connected()) << i;
    }
    const std::string request = get(target(kSite, kShareHash));
    for (auto& peer : peers) ASSERT_TRUE(peer->send(request));
    unsigned served = 0;
    for (auto& peer : peers) {
        EXPECT_TRUE(waitFor([&] {
            peer->receiveSome(4096);
            return readAnswers(peer->received()).complete &&
                   peer->received().find("payload") != std::string::npos;
        }));
        served += readAnswers(peer->received()).replies.size() == 1 ? 1 : 0;
    }
    EXPECT_EQ(served, kConnections);
}

TEST_F(ShareHostileTest, TheUploadRateIsSharedFairlyByAllPeers) {
    constexpr int64_t kRate = 2 * kMiB;
    shareSetting("QUARN_SHARE_RATE", std::to_string(kRate));
    const std::string bytes = sampleBytes(2 * kMiB, 5);
    share(kShareHash, "c:\\share\\a.bin", bytes);
    const std::string url = base() + target(kSite, kShareHash);
    constexpr int kPeers = 3; // from addresses of their own, as other hosts
    std::vector<std::unique_ptr<Child>> peers;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kPeers; ++i)
        peers.push_back(std::make_unique<Child>(
            std::vector<std::string>{"curl", "-s", "-o", "/dev/null", "-w",
                                     "%{size_download} %{time_total}", "--interface",
                                     otherHost(static_cast<unsigned>(i)), url},
            std::vector<std::string>{}, (tmp_ / ("peer" + std::to_string(i))).string()));
    std::vector<double> times;
    for (int i = 0; i < kPeers; ++i) {
        ASSERT_EQ(peers[static_cast<std::size_t>(i)]->Wait(), 0);
        std::istringstream out(readFile(tmp_ / ("peer" + std::to_string(i))));
        long long size = 0;
        double seconds = 0;
        out >> size >> seconds;
        EXPECT_EQ(size, static_cast<long long>(bytes.size()));
        times.push_back(seconds);
    }
    const double total =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double rate = static_cast<double>(kPeers) * static_cast<double>(bytes.size()) / total;
    EXPECT_NEAR(rate, static_cast<double>(kRate), 0.1 * kRate) << total << " s in all";
    // Shared alike, they all finish together.
    const auto [fastest, slowest] = std::minmax_element(times.begin(), times.end());
    EXPECT_GT(*fastest, 0.85 * *slowest) << *fastest << " s against " << *slowest << " s";
}

TEST_F(ShareHostileTest, TheMetalinkDocumentAndDigestAreServedOnceComputed) {
    const std::string bytes = sampleBytes(3 * kMiB + 77, 8);
    share(kShareHash, "c:\\share\\a.bin", bytes);
    const std::string file = target(kSite, kShareHash);
    Reply meta;
    ASSERT_TRUE(waitFor([&] { return (meta = fetch(file + ".meta4")).status == 200; }, 20s))
        << meta.status;
    EXPECT_EQ(meta.header("content-type"), "application/metalink4+xml");
    const engine::MetalinkResult parsed = engine::parseMetalink(meta.body, kShareHash);
    ASSERT_EQ(parsed.kind, engine::MetalinkResult::Kind::Ok) << parsed.why << "\n" << meta.body;
    EXPECT_EQ(parsed.file.name, kShareHash);
    EXPECT_EQ(parsed.file.size, static_cast<int64_t>(bytes.size()));
    const engine::Sha256 whole = engine::sha256(bytes);
    EXPECT_EQ(parsed.file.sha256, whole);
    ASSERT_EQ(parsed.file.pieceLength, engine::kDefaultPieceLength);
    ASSERT_EQ(parsed.file.pieces.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(parsed.file.pieces[i],
                  engine::sha256(std::string_view(bytes).substr(i * kMiB, kMiB)))
            << "piece " << i;

    const std::string link = "</test_site/" + std::string(kShareHash) +
                             ".meta4>; rel=describedby; type=\"application/metalink4+xml\"";
    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{}, {"-r", "5-9"}, {"--head"}}) {
        const Reply reply = fetch(file, extra);
        EXPECT_EQ(reply.header("repr-digest"), engine::reprDigestValue(whole));
        EXPECT_EQ(reply.header("link"), link);
    }
    // HEAD of the document, and the document of something not registered.
    EXPECT_EQ(fetch(file + ".meta4", {"--head"}).header("content-length"),
              std::to_string(meta.body.size()));
    EXPECT_EQ(fetch(target(kSite, hashFor(3)) + ".meta4").status, 404);
}

// Until the document is computed it is 503, and the file goes out without
// the fields; a registration while it is computed starts it over.
TEST_F(ShareHostileTest, TheDocumentIsDueLaterAndARegistrationStartsItOver) {
    constexpr int64_t kLarge = int64_t{8} * 1024 * kMiB; // takes the describer seconds
    const fs::path large = mapped("c:\\share\\large.bin");
    makeSparseFile(large, kLarge);
    sharePort();
    ASSERT_NE(
        setShareFile2(u16(kSite).c_str(), u16(kShareHash).c_str(), u"c:\\share\\large.bin", kLarge),
        0);
    const std::string file = target(kSite, kShareHash);
    const Reply early = fetch(file + ".meta4");
    EXPECT_EQ(early.status, 503);
    EXPECT_EQ(early.header("retry-after"), "1");
    const Reply plain = fetch(file, {"-r", "0-9"});
    EXPECT_EQ(plain.status, 206);
    EXPECT_EQ(plain.header("repr-digest"), "");
    EXPECT_EQ(plain.header("link"), "");

    const std::string bytes = sampleBytes(1000, 4);
    writeFile(mapped("c:\\share\\small.bin"), bytes);
    ASSERT_NE(
        setShareFile2(u16(kSite).c_str(), u16(kShareHash).c_str(), u"c:\\share\\small.bin", 1000),
        0);
    Reply meta;
    ASSERT_TRUE(waitFor([&] { return (meta = fetch(file + ".meta4")).status == 200; }, 20s));
    const engine::MetalinkResult parsed = engine::parseMetalink(meta.body, kShareHash);
    ASSERT_EQ(parsed.kind, engine::MetalinkResult::Kind::Ok) << parsed.why;
    EXPECT_EQ(parsed.file.size, 1000);
    EXPECT_EQ(parsed.file.sha256, engine::sha256(bytes));
    EXPECT_EQ(fetch(file).header("repr-digest"), engine::reprDigestValue(engine::sha256(bytes)));
}

} // namespace
} // namespace quarn::test
