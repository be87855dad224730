// The share server's rules without a socket: where heads end, which heads
// are refused, what a target names, who is let in, and how the upload rate
// is handed out over simulated time.
#include "libquarn/share_http.h"
#include "libquarn/share_policy.h"
#include "libquarn/share_registry.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <linux/magic.h>
#include <netinet/in.h>
#include <vector>

namespace quarn::engine {
namespace {

using http::HeadScan;
using Kind = HeadScan::Kind;

TEST(ShareHead, EndsAtTheFirstEmptyLineHoweverTheBytesArrive) {
    const std::string request = "GET /s/h HTTP/1.1\r\nHost: x\r\n\r\n";
    struct Case {
        const char* name;
        std::string bytes;
        std::size_t length; // 0: incomplete
    };
    const Case cases[] = {
        {"whole", request, request.size()},
        {"pipelined: the first head only", request + request, request.size()},
        {"bare line feeds", "GET / HTTP/1.1\nHost: x\n\n", 24},
        {"empty lines before it are skipped", "\r\n\r\n" + request, request.size() + 4},
        {"no end yet", request.substr(0, request.size() - 1), 0},
        {"a CR alone is not a line end", "GET / HTTP/1.1\r\r\r\r", 0},
    };
    for (const Case& c : cases) {
        http::HeadScanner whole;
        const HeadScan at = whole.scan(c.bytes);
        EXPECT_EQ(at.kind, c.length > 0 ? Kind::Complete : Kind::Incomplete) << c.name;
        EXPECT_EQ(at.length, c.length) << c.name;
        // The same a byte at a time, as a dripping peer sends it.
        http::HeadScanner drip;
        HeadScan step;
        for (std::size_t n = 1; n <= c.bytes.size() && step.kind == Kind::Incomplete; ++n)
            step = drip.scan(std::string_view(c.bytes).substr(0, n));
        EXPECT_EQ(step.length, c.length) << c.name << " (byte by byte)";
    }
}

TEST(ShareHead, TooLargeIsToldAsSoonAsItShows) {
    const std::string longLine = "GET /" + std::string(http::kMaxTarget + 64, 'a');
    http::HeadScanner line;
    EXPECT_EQ(line.scan(longLine).status, 414);
    std::string fields = "GET / HTTP/1.1\r\n";
    while (fields.size() <= http::kMaxHead)
        fields += "X-Padding: " + std::string(100, 'p') + "\r\n";
    http::HeadScanner head;
    const HeadScan scan = head.scan(fields);
    EXPECT_EQ(scan.kind, Kind::TooLarge);
    EXPECT_EQ(scan.status, 431);
}

TEST(ShareRequest, ParsedOrRefusedAsFramingRequires) {
    const std::string line = "GET /s/h HTTP/1.1\r\n";
    struct Case {
        const char* name;
        std::string head;
        int status;
    };
    const Case cases[] = {
        {"plain", line + "Host: x\r\n\r\n", 0},
        {"length 0", line + "Host: x\r\nContent-Length: 0\r\n\r\n", 0},
        {"length 1", line + "Host: x\r\nContent-Length: 1\r\n\r\n", 400},
        {"two lengths", line + "Host: x\r\nContent-Length: 0\r\nContent-Length: 0\r\n\r\n", 400},
        {"a length list", line + "Host: x\r\nContent-Length: 0,0\r\n\r\n", 400},
        {"a signed length", line + "Host: x\r\nContent-Length: +0\r\n\r\n", 400},
        {"chunked", line + "Host: x\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
        {"any encoding", line + "Host: x\r\ntransfer-encoding: identity\r\n\r\n", 400},
        {"HEAD with a body", "HEAD /s/h HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\n", 400},
        {"POST with a body is the server's to refuse",
         "POST /s/h HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\n", 0},
        {"space before a colon", line + "Host : x\r\n\r\n", 400},
        {"a folded field", line + "Host: x\r\nX-A: 1\r\n 2\r\n\r\n", 400},
        {"a field without a colon", line + "Host: x\r\nnonsense\r\n\r\n", 400},
        {"a control character", line + "Host: x\r\nX-A: 1\x01\r\n\r\n", 400},
        {"a NUL", line + "Host: x\r\nX-A: " + std::string(1, '\0') + "\r\n\r\n", 400},
        {"no host in 1.1", line + "\r\n", 400},
        {"two hosts", line + "Host: x\r\nHost: x\r\n\r\n", 400},
        {"no host in 1.0", "GET /s/h HTTP/1.0\r\n\r\n", 0},
        {"two ranges fields", line + "Host: x\r\nRange: bytes=0-1\r\nRange: bytes=2-3\r\n\r\n",
         400},
        {"HTTP/2", "GET /s/h HTTP/2.0\r\nHost: x\r\n\r\n", 505},
        {"not a version", "GET /s/h HTTQ/1.1\r\nHost: x\r\n\r\n", 400},
        {"two spaces", "GET  /s/h HTTP/1.1\r\nHost: x\r\n\r\n", 400},
        {"no target", "GET HTTP/1.1\r\nHost: x\r\n\r\n", 400},
        {"a long target", "GET /" + std::string(http::kMaxTarget, 'a') + " HTTP/1.1\r\n\r\n", 414},
    };
    for (const Case& c : cases) EXPECT_EQ(http::parseRequest(c.head).status, c.status) << c.name;
}

TEST(ShareRequest, KeepAliveRangeAndMethod) {
    struct Case {
        std::string head;
        http::Method method;
        bool keepAlive;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", http::Method::Get, true},
        {"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", http::Method::Get, false},
        {"HEAD / HTTP/1.1\r\nHost: x\r\nConnection: TE, Close\r\n\r\n", http::Method::Head, false},
        {"GET / HTTP/1.0\r\n\r\n", http::Method::Get, false},
        {"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", http::Method::Get, true},
        {"get / HTTP/1.1\r\nHost: x\r\n\r\n", http::Method::Other, true},
    };
    for (const Case& c : cases) {
        const http::Parsed parsed = http::parseRequest(c.head);
        ASSERT_EQ(parsed.status, 0) << c.head;
        EXPECT_EQ(parsed.request.method, c.method) << c.head;
        EXPECT_EQ(parsed.request.keepAlive, c.keepAlive) << c.head;
    }
    const http::Parsed ranged = http::parseRequest(
        "GET /s/h HTTP/1.1\r\nhost: x\r\nRANGE:  bytes=1-2 \r\nIf-Range: \"tag\"\r\n\r\n");
    ASSERT_EQ(ranged.status, 0);
    EXPECT_EQ(ranged.request.target, "/s/h");
    EXPECT_EQ(ranged.request.range, "bytes=1-2");
    EXPECT_EQ(ranged.request.ifRange, "\"tag\"");
}

TEST(ShareTarget, SiteHashAndDocument) {
    const std::string h = "D4301F3EDAE670BDE22305E444E4C2A1",
                      lower = "d4301f3edae670bde22305e444e4c2a1";
    struct Case {
        std::string target;
        bool found;
        std::string site;
        bool metalink;
    };
    const Case cases[] = {
        {"/site/" + h, true, "site", false},
        {"/site/" + h + ".meta4", true, "site", true},
        {"/si%2Fte/" + h + "?x=1", true, "si/te", false},
        {"http://peer:80/site/" + h, true, "site", false},
        {"/site/" + h + ".META4", false, "", false},
        {"/site/" + h + ".meta4.meta4", false, "", false},
        {"/site/.meta4", false, "", false},
        {"/site/" + h + "/", false, "", false},
        {"/%00/" + h, false, "", false},
        {"site/" + h, false, "", false},
    };
    for (const Case& c : cases) {
        const auto target = http::splitTarget(c.target);
        ASSERT_EQ(target.has_value(), c.found) << c.target;
        if (!target) continue;
        EXPECT_EQ(target->site, c.site) << c.target;
        EXPECT_EQ(target->hash, lower) << c.target;
        EXPECT_EQ(target->metalink, c.metalink) << c.target;
    }
}

sockaddr_storage address(const char* text) {
    sockaddr_storage out{};
    if (std::strchr(text, ':') != nullptr) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(out);
        v6.sin6_family = AF_INET6;
        EXPECT_EQ(::inet_pton(AF_INET6, text, &v6.sin6_addr), 1) << text;
    } else {
        auto& v4 = reinterpret_cast<sockaddr_in&>(out);
        v4.sin_family = AF_INET;
        EXPECT_EQ(::inet_pton(AF_INET, text, &v4.sin_addr), 1) << text;
    }
    return out;
}

TEST(ShareAdmissionRules, AddressesAreCountedByHost) {
    EXPECT_EQ(shareAddressKey(address("10.0.0.7")), shareAddressKey(address("::ffff:10.0.0.7")));
    EXPECT_NE(shareAddressKey(address("10.0.0.7")), shareAddressKey(address("10.0.0.8")));
    // One IPv6 host is given a /64.
    EXPECT_EQ(shareAddressKey(address("2001:db8:1:2::1")),
              shareAddressKey(address("2001:db8:1:2:ffff::9")));
    EXPECT_NE(shareAddressKey(address("2001:db8:1:2::1")),
              shareAddressKey(address("2001:db8:1:3::1")));
}

TEST(ShareAdmissionRules, EachAddressHasItsShare) {
    using Verdict = ShareAdmission::Verdict;
    ShareAdmission admission;
    for (unsigned i = 0; i < kSharePerAddressLimit; ++i)
        ASSERT_EQ(admission.admit("a"), Verdict::Serve) << i;
    for (unsigned i = 0; i < kShareRefusalsPerAddress; ++i)
        EXPECT_EQ(admission.admit("a"), Verdict::Refuse) << i;
    EXPECT_EQ(admission.admit("a"), Verdict::Drop);
    EXPECT_EQ(admission.admit("b"), Verdict::Serve) << "another address is not held up";
    // A connection that is closing no longer counts against its address.
    EXPECT_TRUE(admission.linger("a"));
    EXPECT_EQ(admission.admit("a"), Verdict::Refuse);
    admission.leave("a", true);
    admission.leave("a", false);
    EXPECT_EQ(admission.admit("a"), Verdict::Refuse);
    for (unsigned i = 0; i < kShareRefusalsPerAddress + 1; ++i) admission.leave("a", false);
    EXPECT_EQ(admission.admit("a"), Verdict::Serve);
}

TEST(ShareAdmissionRules, TheTotalIsCappedAndSoIsClosing) {
    using Verdict = ShareAdmission::Verdict;
    ShareAdmission admission;
    for (unsigned i = 0; i < kShareConnectionLimit; ++i)
        ASSERT_EQ(admission.admit("host" + std::to_string(i)), Verdict::Serve) << i;
    EXPECT_EQ(admission.admit("late"), Verdict::Refuse);
    EXPECT_EQ(admission.open(), kShareConnectionLimit + 1);
    unsigned lingered = 0;
    for (unsigned i = 0; i < kShareConnectionLimit; ++i)
        lingered += admission.linger("host" + std::to_string(i)) ? 1 : 0;
    EXPECT_EQ(lingered, kShareLingeringLimit);
    EXPECT_EQ(admission.open(), kShareLingeringLimit + 1) << "the others were closed at once";
}

// Peers that always want more, asking in turn as the server's loop does.
TEST(ShareRate, AllPeersTogetherGetTheRateAndEachItsShare) {
    for (const std::int64_t rate :
         {std::int64_t{100'000}, std::int64_t{3} << 20, std::int64_t{200} << 20}) {
        for (const int peers : {1, 3, 10}) {
            ShareClock::time_point now{};
            RateBudget budget(rate, now);
            std::vector<std::int64_t> sent(static_cast<std::size_t>(peers));
            const ShareClock::time_point end = now + std::chrono::seconds(10);
            std::size_t turn = 0;
            while (now < end) {
                const std::int64_t got = budget.take(std::int64_t{1} << 30, now);
                if (got == 0) {
                    const ShareClock::time_point ready = budget.readyAt(std::int64_t{1} << 30, now);
                    ASSERT_GT(ready, now);
                    now = ready;
                    continue;
                }
                EXPECT_LE(got, budget.quantum());
                sent[turn++ % sent.size()] += got;
            }
            std::int64_t total = 0;
            for (const std::int64_t s : sent) total += s;
            EXPECT_NEAR(static_cast<double>(total), 10.0 * static_cast<double>(rate),
                        0.01 * 10.0 * rate)
                << rate << " B/s, " << peers << " peers";
            for (const std::int64_t s : sent)
                EXPECT_NEAR(static_cast<double>(s), static_cast<double>(total) / peers,
                            static_cast<double>(budget.quantum()))
                    << rate << " B/s, " << peers << " peers";
        }
    }
}

TEST(ShareRate, WhatIsGivenBackIsSpentLaterAndQuietTimeSavesLittle) {
    ShareClock::time_point now{};
    RateBudget budget(1'000'000, now);
    EXPECT_EQ(budget.take(10, now), 0) << "nothing saved at the start";
    now += std::chrono::seconds(1);
    const std::int64_t first = budget.take(1'000'000, now);
    EXPECT_EQ(first, budget.quantum());
    budget.giveBack(first);
    EXPECT_EQ(budget.take(1'000'000, now), first);
    // An idle minute saves a tenth of a second's worth, not a minute's.
    now += std::chrono::minutes(1);
    std::int64_t burst = 0;
    while (const std::int64_t got = budget.take(1'000'000, now)) burst += got;
    EXPECT_LE(burst, 100'000 + budget.quantum());
    EXPECT_GE(burst, 100'000 - budget.quantum());
}

TEST(ShareFiles, PseudoFileSystemsHoldNoRealFiles) {
    for (const long type : {long{PROC_SUPER_MAGIC}, long{SYSFS_MAGIC}, long{DEBUGFS_MAGIC},
                            long{CGROUP2_SUPER_MAGIC}, long{TRACEFS_MAGIC}})
        EXPECT_FALSE(holdsRealFiles(type)) << std::hex << type;
    for (const long type : {long{EXT4_SUPER_MAGIC}, long{TMPFS_MAGIC}, long{BTRFS_SUPER_MAGIC},
                            long{XFS_SUPER_MAGIC}, long{OVERLAYFS_SUPER_MAGIC}})
        EXPECT_TRUE(holdsRealFiles(type)) << std::hex << type;
}

} // namespace
} // namespace quarn::engine
