// The share server as peers meet it: files registered through the engine's
// entry points, fetched with the real curl and ab, probed with raw sockets;
// and the quarn command, sharing in one process and fetching in another.
#include "libquarn/share_policy.h"
#include "libquarn/share_registry.h"
#include "libquarn/share_server.h"
#include "tests/engine/share_fixture.h"

#include <cctype>
#include <csignal>
#include <functional>

namespace quarn::test {
namespace {

using namespace std::chrono_literals;

TEST_F(ShareServerTest, RangesValidatorsAndHeadByteExact) {
    const std::string bytes = sampleBytes(100000, 7);
    share(kShareHash, "c:\\share\\a.bin", bytes);
    const std::string path = target(kSite, kShareHash);
    const std::string etag = std::string("\"") + kShareHash + "\"";
    const std::string modified = fetch(path, {"--head"}).header("last-modified");
    ASSERT_NE(modified.find(" GMT"), std::string::npos) << modified;

    struct Case {
        const char* name;
        std::vector<std::string> extra;
        int status;
        long long first, length; // the part of the file expected, length -1: none
        const char* contentRange;
    };
    const long long whole = static_cast<long long>(bytes.size());
    const Case cases[] = {
        {"whole file", {}, 200, 0, whole, ""},
        {"first bytes", {"-r", "0-99"}, 206, 0, 100, "bytes 0-99/100000"},
        {"middle", {"-r", "5000-5999"}, 206, 5000, 1000, "bytes 5000-5999/100000"},
        {"open end", {"-r", "99990-"}, 206, 99990, 10, "bytes 99990-99999/100000"},
        {"suffix", {"-H", "Range: bytes=-300"}, 206, 99700, 300, "bytes 99700-99999/100000"},
        {"end past the size", {"-r", "99000-200000"}, 206, 99000, 1000, "bytes 99000-99999/100000"},
        {"several ranges", {"-r", "0-9,20-29"}, 200, 0, whole, ""},
        {"another unit", {"-H", "Range: items=0-9"}, 200, 0, whole, ""},
        {"backwards", {"-H", "Range: bytes=9-3"}, 200, 0, whole, ""},
        {"start past the end", {"-r", "100000-"}, 416, 0, 0, "bytes */100000"},
        {"empty suffix", {"-H", "Range: bytes=-0"}, 416, 0, 0, "bytes */100000"},
        {"If-Range same tag",
         {"-r", "10-19", "-H", "If-Range: " + etag},
         206,
         10,
         10,
         "bytes 10-19/100000"},
        {"If-Range other tag", {"-r", "10-19", "-H", "If-Range: \"0000\""}, 200, 0, whole, ""},
        {"If-Range weak tag", {"-r", "10-19", "-H", "If-Range: W/" + etag}, 200, 0, whole, ""},
        {"If-Range same date",
         {"-r", "10-19", "-H", "If-Range: " + modified},
         206,
         10,
         10,
         "bytes 10-19/100000"},
        {"If-Range older date",
         {"-r", "10-19", "-H", "If-Range: Mon, 01 Jan 2001 00:00:00 GMT"},
         200,
         0,
         whole,
         ""},
        {"HEAD", {"--head"}, 200, 0, -1, ""},
        {"HEAD of a range", {"--head", "-r", "0-9"}, 206, 0, -1, "bytes 0-9/100000"},
    };
    for (const Case& c : cases) {
        const Reply reply = fetch(path, c.extra);
        EXPECT_EQ(reply.status, c.status) << c.name;
        EXPECT_EQ(reply.header("content-range"), c.contentRange) << c.name;
        EXPECT_EQ(reply.header("accept-ranges"), "bytes") << c.name;
        if (c.status == 416) continue;
        EXPECT_EQ(reply.header("etag"), etag) << c.name;
        EXPECT_EQ(reply.header("last-modified"), modified) << c.name;
        EXPECT_EQ(reply.header("content-type"), "application/octet-stream") << c.name;
        if (c.length < 0) {
            const long long expected = c.status == 206 ? 10 : whole;
            EXPECT_EQ(reply.header("content-length"), std::to_string(expected)) << c.name;
        } else {
            EXPECT_EQ(reply.header("content-length"), std::to_string(c.length)) << c.name;
            EXPECT_TRUE(reply.body == bytes.substr(static_cast<std::size_t>(c.first),
                                                   static_cast<std::size_t>(c.length)))
                << c.name << ": " << reply.body.size() << " bytes";
        }
    }
    // The hash is a key, whatever its case; and a HEAD answer carries no body.
    std::string upper = kShareHash;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    EXPECT_EQ(fetch(target(kSite, upper)).body, bytes);
    LoopbackClient raw(sharePort());
    ASSERT_TRUE(raw.send("HEAD " + path + " HTTP/1.0\r\n\r\n"));
    ASSERT_TRUE(waitFor([&] { return raw.closedByPeer(); }, 10s));
    const std::string& answer = raw.received();
    EXPECT_EQ(answer.find("\r\n\r\n") + 4, answer.size()) << answer;
}

TEST_F(ShareServerTest, ProbesGetNothingButNotFound) {
    share(kShareHash, "c:\\share\\a.bin", sampleBytes(5000, 3));
    writeFile(mapped("c:\\share\\secret.bin"), "SECRET-MARKER");
    writeFile(mapped("c:\\share\\" + std::string(kShareHash)), "SECRET-MARKER");
    const std::string h = kShareHash;
    struct Case {
        std::string target;
        std::vector<std::string> extra;
        int status;
    };
    const std::string longSite(3000, 'a'), hugeSite(20000, 'a');
    const Case cases[] = {
        {"/", {}, 404},
        {"/test_site", {}, 404},
        {"/test_site/", {}, 404},
        {"/test_site/" + h + "/", {}, 404},
        {"/test_site/" + h + "/x", {}, 404},
        {"//test_site/" + h, {}, 404},
        {"/test_site/../share/secret.bin", {}, 404},
        {"/test_site/..%2Fsecret.bin", {}, 404},
        {"/..%2F..%2F..%2Fetc%2Fpasswd/" + h, {}, 404},
        {"/test_site%2F" + h, {}, 404},
        {"/test_site/%2E%2E", {}, 404},
        {"/test_site/secret.bin", {}, 404},
        {"/test_site/" + hashFor(1), {}, 404},
        {"/other_site/" + h, {}, 404},
        {"/share/" + h, {}, 404},
        {"/test_site/" + h + "%00", {}, 404},
        {"/test_site%00/" + h, {}, 404},
        {"/test_site/" + h + "%", {}, 404},
        {"/" + longSite + "/" + h, {}, 414},
        {"/" + hugeSite + "/" + h, {}, 414},
        {"/test_site/" + h, {"-H", "X-Padding: " + std::string(20000, 'p')}, 431},
        {"/test_site/" + h, {"-X", "POST", "-d", "x"}, 405},
        {"/test_site/" + h, {"-X", "PUT", "-d", "x"}, 405},
        {"/test_site/" + h, {"-X", "DELETE"}, 405},
        {"/test_site/" + h, {"-X", "OPTIONS"}, 405},
        {"/test_site/" + h, {"-X", "TRACE"}, 405},
        {"/secret.bin", {"-X", "PATCH"}, 405},
    };
    for (const Case& c : cases) {
        const Reply reply = fetch(c.target, c.extra);
        const std::string shown = c.target.substr(0, 80);
        EXPECT_EQ(reply.status, c.status) << shown;
        EXPECT_EQ(reply.body.find("SECRET-MARKER"), std::string::npos) << shown;
        EXPECT_EQ(reply.body.find("root:"), std::string::npos) << shown;
        if (c.status == 405) {
            EXPECT_EQ(reply.header("allow"), "GET, HEAD") << shown;
        }
    }
    // Segments are percent-decoded one by one, so an encoded name still finds it.
    EXPECT_EQ(fetch("/%74est_site/" + h).status, 200);
}

TEST_F(ShareServerTest, ChangedFilesLeaveTheRegistry) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> change;
    };
    const auto rewrite = [](const fs::path& p) {
        std::string bytes = readFile(p);
        bytes[0] = static_cast<char>(bytes[0] ^ 1);
        writeFile(p, bytes);
        fs::last_write_time(p, fs::last_write_time(p) + 10s);
    };
    const Case cases[] = {
        {"removed", [](const fs::path& p) { fs::remove(p); }},
        {"replaced by another inode",
         [](const fs::path& p) {
             fs::copy_file(p, p.string() + ".new");
             fs::rename(p.string() + ".new", p);
         }},
        {"grown", [](const fs::path& p) { fs::resize_file(p, fs::file_size(p) + 1); }},
        {"rewritten in place", rewrite},
        {"replaced by a link",
         [](const fs::path& p) {
             fs::rename(p, p.string() + ".target");
             fs::create_symlink(p.string() + ".target", p);
         }},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string hash = hashFor(++n), windows = "c:\\share\\" + std::to_string(n) + ".bin";
        const std::string bytes = sampleBytes(4096, static_cast<uint32_t>(n));
        share(hash, windows, bytes);
        ASSERT_EQ(fetch(target(kSite, hash)).body, bytes) << c.name;
        c.change(mapped(windows));
        EXPECT_EQ(fetch(target(kSite, hash)).status, 404) << c.name;
    }

    // Gone for good: put back exactly as it was registered, it stays unserved
    // until it is registered again.
    const std::string hash = hashFor(99);
    const std::string bytes = sampleBytes(4096, 99);
    share(hash, "c:\\share\\touched.bin", bytes);
    const fs::path touched = mapped("c:\\share\\touched.bin");
    const auto when = fs::last_write_time(touched);
    fs::last_write_time(touched, when + 5s);
    EXPECT_EQ(fetch(target(kSite, hash)).status, 404);
    fs::last_write_time(touched, when);
    EXPECT_EQ(fetch(target(kSite, hash)).status, 404);
    ASSERT_NE(setShareFile2(u16(kSite).c_str(), u16(hash).c_str(), u"c:\\share\\touched.bin", 4096),
              0);
    EXPECT_EQ(fetch(target(kSite, hash)).body, bytes);
}

TEST_F(ShareServerTest, ListensFromTheFirstSuccessfulRegistration) {
    const uint16_t port = sharePort();
    writeFile(mapped("c:\\share\\a.bin"), "12345");
    EXPECT_FALSE(acceptsConnections(port));
    EXPECT_EQ(setShareFile2(u16(kSite).c_str(), u16(kShareHash).c_str(), u"c:\\share\\a.bin", 6),
              0);
    EXPECT_FALSE(acceptsConnections(port));
    EXPECT_NE(setShareFile2(u16(kSite).c_str(), u16(kShareHash).c_str(), u"c:\\share\\a.bin", 5),
              0);
    EXPECT_TRUE(acceptsConnections(port));
    EXPECT_EQ(fetch(target(kSite, kShareHash)).body, "12345");
}

TEST_F(ShareServerTest, StoppingReleasesThePortAndEveryDescriptor) {
    const uint16_t port = freeLoopbackPort();
    shareSetting("QUARN_SHARE_LISTEN", "127.0.0.1:" + std::to_string(port));
    writeFile(mapped("c:\\share\\a.bin"), "payload");
    const int before = openDescriptors();
    {
        std::unique_ptr<LoopbackClient> waiting; // still connected when the server stops
        engine::ShareRegistry registry;
        ASSERT_TRUE(registry.add({kSite, kShareHash, "c:\\share\\a.bin", 7}));
        waiting = std::make_unique<LoopbackClient>(port);
        ASSERT_TRUE(waiting->connected());
        EXPECT_EQ(fetch(target(kSite, kShareHash), {}, port).body, "payload");
    }
    EXPECT_FALSE(acceptsConnections(port));
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(ShareServerTest, BusyPortLeavesSharingOffAndDownloadsAlone) {
    LoopbackListener other; // someone else's listener on the port
    const uint16_t port = other.port();
    shareSetting("QUARN_SHARE_LISTEN", "127.0.0.1:" + std::to_string(port));

    writeFile(mapped("c:\\share\\a.bin"), "12345");
    EXPECT_NE(setShareFile2(u16(kSite).c_str(), u16(kShareHash).c_str(), u"c:\\share\\a.bin", 5),
              0);
    const std::string bytes = serve("test_site", "small.bin", 64 * 1024);
    ASSERT_EQ(request("test_site", "small.bin", 64 * 1024).start(), 0);
    EXPECT_EQ(waitForEnd(), QUARN_STATE_COMPLETE);
    EXPECT_EQ(readFile(mapped("d:\\download\\sample.bin")), bytes);
    // The port is still the other listener's.
    LoopbackClient client(port);
    ASSERT_TRUE(client.connected());
    EXPECT_TRUE(other.acceptOne());
}

TEST_F(ShareServerTest, PeersBeyondTheirAddressLimitAreTurnedAway) {
    share(kShareHash, "c:\\share\\a.bin", "payload");
    const std::string path = target(kSite, kShareHash);
    std::vector<std::unique_ptr<LoopbackClient>> peers;
    for (unsigned i = 0; i < engine::kSharePerAddressLimit; ++i) {
        peers.push_back(std::make_unique<LoopbackClient>(sharePort()));
        ASSERT_TRUE(peers.back()->connected());
    }
    Reply refused;
    EXPECT_TRUE(waitFor([&] { return (refused = fetch(path)).status == 503; }, 10s))
        << refused.status;
    EXPECT_EQ(refused.header("retry-after"), "1");
    EXPECT_EQ(refused.header("connection"), "close");
    // Another address is not held up by this one's connections.
    EXPECT_EQ(fetch(path, {"--interface", "127.0.0.2"}).body, "payload");
    peers.pop_back();
    EXPECT_TRUE(waitFor([&] { return fetch(path).body == "payload"; }, 10s));
}

TEST_F(ShareServerTest, IdlePeersAreDropped) {
    shareSetting("QUARN_SHARE_IDLE_TIMEOUT_MS", "1000");
    share(kShareHash, "c:\\share\\a.bin", "payload");
    LoopbackClient silent(sharePort()), halfway(sharePort()), served(sharePort());
    ASSERT_TRUE(silent.connected() && halfway.connected() && served.connected());
    ASSERT_TRUE(halfway.send("GET " + target(kSite, kShareHash) + " HTTP/1.1\r\nHost: x\r\n"));
    ASSERT_TRUE(served.send("GET " + target(kSite, kShareHash) + " HTTP/1.1\r\nHost: x\r\n\r\n"));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(waitFor([&] { return silent.closedByPeer(); }, 10s));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 500ms);
    EXPECT_TRUE(waitFor([&] { return halfway.closedByPeer(); }, 10s));
    // Kept alive after its answer, then idle like the others.
    EXPECT_TRUE(waitFor([&] { return served.closedByPeer(); }, 10s));
    EXPECT_NE(served.received().find("payload"), std::string::npos);
}

TEST_F(ShareServerTest, HundredsOfConcurrentRangeRequests) {
    ASSERT_TRUE(OnPath("ab")) << "ab is not installed (apache2-utils, scripts/install-deps.sh)";
    const std::string bytes = sampleBytes(4 * kMiB, 11);
    share(kShareHash, "c:\\share\\big.bin", bytes);
    const std::string url = base() + target(kSite, kShareHash);
    ASSERT_EQ(fetch(target(kSite, kShareHash)).status, 200); // the server is up and warm
    const int before = openDescriptors();

    // New connections for every request, then kept-alive ones, as many as
    // one address may open.
    const std::string concurrency = "-c " + std::to_string(engine::kSharePerAddressLimit);
    for (const std::string& mode : {concurrency, "-k " + concurrency}) {
        const std::string report = Capture("ab -q -n 1000 " + mode +
                                           " -H 'Range: bytes=1000000-1099999' '" + url + "' 2>&1");
        EXPECT_NE(report.find("Complete requests:      1000"), std::string::npos) << report;
        EXPECT_NE(report.find("Failed requests:        0"), std::string::npos) << report;
        EXPECT_EQ(report.find("Non-2xx"), std::string::npos) << report;
        EXPECT_NE(report.find("Document Length:        100000 bytes"), std::string::npos) << report;
    }
    EXPECT_TRUE(waitFor([&] { return openDescriptors() <= before; }, 20s))
        << openDescriptors() << " descriptors open, " << before << " before";
    EXPECT_EQ(fetch(target(kSite, kShareHash), {"-r", "0-99"}).body, bytes.substr(0, 100));
}

// --- the quarn command ---

std::string cli() {
    return QUARN_CLI_BINARY;
}

class QuarnCommandTest : public ShareServerTest {
protected:
    // Runs quarn to its end; output in tmp_/NAME.out.
    int quarn(const std::string& name, std::vector<std::string> args) {
        args.insert(args.begin(), cli());
        Child program(args, {}, (tmp_ / (name + ".out")).string());
        EXPECT_EQ(program.SpawnError(), 0);
        return program.Wait();
    }
    std::string output(const std::string& name) const { return readFile(tmp_ / (name + ".out")); }
};

TEST_F(QuarnCommandTest, ShareInOneProcessGetInAnother) {
    const std::string bytes = sampleBytes(3 * kMiB + 17, 5);
    writeFile(tmp_ / "offered.bin", bytes);
    const std::string listen = "127.0.0.1:" + std::to_string(freeLoopbackPort());
    Child sharing({cli(), "share", "--site", "cli site", "--hash", kShareHash,
                   (tmp_ / "offered.bin").string(), "--listen", listen},
                  {}, (tmp_ / "share.out").string());
    const std::string url = "http://" + listen + "/cli%20site/" + kShareHash;
    ASSERT_TRUE(waitFor([&] {
        return readFile(tmp_ / "share.out").find(url) != std::string::npos;
    })) << readFile(tmp_ / "share.out");

    const std::string size = std::to_string(bytes.size());
    for (const bool json : {false, true}) {
        const std::string out = (tmp_ / (json ? "json.bin" : "plain.bin")).string();
        std::vector<std::string> args = {"get",      "--server", listen,     "--site",
                                         "cli site", "--hash",   kShareHash, "--size",
                                         size,       "--out",    out};
        if (json) args.push_back("--json");
        EXPECT_EQ(quarn("get", args), 0) << output("get");
        EXPECT_TRUE(readFile(out) == bytes) << out;
        const std::string progress = output("get");
        EXPECT_NE(progress.find("100.0%"), std::string::npos) << progress;
        EXPECT_EQ(progress.find('\r'), std::string::npos) << "a pipe gets plain lines";
    }
    // Stops at once, a peer halfway through its request or not.
    LoopbackClient waiting(static_cast<uint16_t>(std::stoi(listen.substr(listen.rfind(':') + 1))));
    ASSERT_TRUE(waiting.send("GET /cli%20site/"));
    sharing.Signal(SIGTERM);
    EXPECT_EQ(sharing.Wait(), 0);
    EXPECT_TRUE(waiting.closedByPeer());
    EXPECT_FALSE(
        acceptsConnections(static_cast<uint16_t>(std::stoi(listen.substr(listen.rfind(':') + 1)))));
}

TEST_F(QuarnCommandTest, CtrlCStopsAndTheNextRunResumes) {
    const std::string bytes = serve("slow_site", "sample.bin", 6 * kMiB);
    const fs::path out = tmp_ / "resumed.bin";
    const std::vector<std::string> args = {"get",
                                           "--server",
                                           nginx_.endpoint(),
                                           "--site",
                                           "slow_site",
                                           "--file",
                                           "sample.bin",
                                           "--hash",
                                           kHash,
                                           "--size",
                                           std::to_string(bytes.size()),
                                           "--out",
                                           out.string()};
    std::vector<std::string> argv = args;
    argv.insert(argv.begin(), cli());
    Child first(argv, {}, (tmp_ / "first.out").string());
    const fs::path part = out.string() + ".part";
    ASSERT_TRUE(waitFor([&] { return fs::exists(part) && fs::file_size(part) > 0; }, 20s));
    first.Signal(SIGINT);
    EXPECT_EQ(first.Wait(), 4) << readFile(tmp_ / "first.out");
    ASSERT_TRUE(fs::exists(part));
    const auto kept = fs::file_size(part);
    EXPECT_LT(kept, bytes.size());

    EXPECT_EQ(quarn("second", args), 0) << output("second");
    EXPECT_TRUE(readFile(out) == bytes);
    // The resume asks again for 64 KiB before the kept end, to compare them.
    const int64_t overlapStart = std::max<int64_t>(0, static_cast<int64_t>(kept) - 64 * 1024);
    EXPECT_NE(nginx_.accessLog().find("range=\"bytes=" + std::to_string(overlapStart) + "-"),
              std::string::npos)
        << nginx_.accessLog();
}

TEST_F(QuarnCommandTest, ExitStatusesAndMessages) {
    serve("test_site", "there.bin", 1000);
    writeFile(tmp_ / "exists.bin", "x");
    const std::string server = nginx_.endpoint(), out = (tmp_ / "o.bin").string();
    const std::vector<std::string> get = {"get",       "--server",   server,   "--site",
                                          "test_site", "--hash",     kHash,    "--user",
                                          kUser,       "--password", kPassword};
    const auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = get;
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {"help", {"--help"}, 0, "exit status"},
        {"version", {"--version"}, 0, QUARN_VERSION},
        {"no command", {}, 2, "usage"},
        {"unknown command", {"fetch"}, 2, "unknown command fetch"},
        {"missing size", with({"--out", out}), 2, "--size is required"},
        {"bad size", with({"--size", "12k", "--out", out}), 2, "--size must be"},
        {"bad hash",
         {"get", "--server", server, "--site", "s", "--hash", "xyz", "--size", "1", "--out", out},
         2,
         "--hash must be"},
        {"unknown option", with({"--size", "1000", "--out", out, "--fast"}), 2,
         "unknown option --fast"},
        {"existing file",
         with({"--file", "there.bin", "--size", "1000", "--out", (tmp_ / "exists.bin").string()}),
         3, "already exists"},
        {"not on the server", with({"--file", "missing.bin", "--size", "1000", "--out", out}), 6,
         "transfer failed"},
        {"complete", with({"--file", "there.bin", "--size", "1000", "--out", out}), 0, "complete"},
        {"share without a file", {"share", "--site", "s", "--hash", kHash}, 2, "FILE is required"},
        {"share a missing file",
         {"share", "--site", "s", "--hash", kHash, (tmp_ / "none").string(), "--listen",
          "127.0.0.1:1"},
         3,
         "cannot open"},
        {"share on a bad address",
         {"share", "--site", "s", "--hash", kHash, (tmp_ / "exists.bin").string(), "--listen",
          "here"},
         3,
         "neither host:port nor off"},
        {"share on a busy port",
         {"share", "--site", "s", "--hash", kHash, (tmp_ / "exists.bin").string(), "--listen",
          server},
         3,
         "cannot listen"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(quarn("case", c.args), c.status) << c.name << "\n" << output("case");
        EXPECT_NE(output("case").find(c.says), std::string::npos) << c.name << "\n"
                                                                  << output("case");
    }
}

TEST(ShareListen, AcceptedForms) {
    for (const char* good :
         {"127.0.0.1:48081", "0.0.0.0:1", "localhost:8080", "[::1]:80", "[::]:0"})
        EXPECT_TRUE(engine::parseListenAddress(good).has_value()) << good;
    for (const char* bad : {"127.0.0.1", "127.0.0.1:65536", "host.example:80", "127.1:80", ":80",
                            "[::1]", "127.0.0.1:-1", "127.0.0.1:8o", ""})
        EXPECT_FALSE(engine::parseListenAddress(bad).has_value()) << bad;
}

} // namespace
} // namespace quarn::test
