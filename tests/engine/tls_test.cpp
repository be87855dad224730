// HTTPS through the real engine from nginx with TLS, a throw-away CA handed
// to the engine through the environment: downloads, resume, and refusals.
#include "tests/engine/engine_test_env.h"
#include "tests/support/tls_certs.h"

#include <cstdlib>
#include <vector>

namespace quarn::test {
namespace {

using namespace std::chrono_literals;

const TestCertificates& certificates() {
    static const TestCertificates made;
    return made;
}

enum class Store { CaFile, CaDir, Missing };

struct Trust {
    const char* variable;
    Store store;
};

constexpr const char* kTrustVariables[] = {"QUARN_CA_FILE", "SSL_CERT_FILE", "SSL_CERT_DIR"};

class TlsTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        nginx_.stop(); // started for plain HTTP; each test starts its own TLS one
        setTrust({});
    }
    void TearDown() override {
        EngineTest::TearDown();
        setTrust({});
    }

    void serveTls(const CertificatePair& pair) {
        NginxOptions options;
        options.root = tmp_ / "www";
        options.tls = {pair.certificate, pair.key, true};
        options.locations = {
            {"/test_site/", kUser, kPassword, 0, false, ""},
            {"/slow_site/", "", "", kMiB, false, ""},
            // open_site has no location: served without auth, so following
            // this redirect would succeed.
            {"/downgrade_site/", "", "", 0, false,
             "return 302 http://127.0.0.1:$plain_port/open_site/sample.bin;"},
        };
        nginx_.start(options);
    }

    // The engine reads the environment when it sets a transfer up; no engine
    // thread may run while it changes.
    static void setTrust(const std::vector<Trust>& trust) {
        stopDownload();
        for (const char* variable : kTrustVariables) ::unsetenv(variable);
        for (const Trust& t : trust) {
            const fs::path value = t.store == Store::CaFile  ? certificates().caFile()
                                   : t.store == Store::CaDir ? certificates().caDir()
                                                             : fs::path("/nonexistent/ca.pem");
            ::setenv(t.variable, value.c_str(), 1);
        }
    }

    Download httpsRequest(const std::string& site, int64_t size) const {
        Download d = request(site, "sample.bin", size);
        d.server = "https://" + d.server;
        return d;
    }

    bool logged(const std::string& text) {
        return waitFor([&] { return nginx_.accessLog().find(text) != std::string::npos; }, 5s);
    }
};

struct TrustCase {
    const char* name;
    bool json;
    std::vector<Trust> trust;
    friend void PrintTo(const TrustCase& c, std::ostream* out) { *out << c.name; }
};

class TlsDownloads : public TlsTest, public ::testing::WithParamInterface<TrustCase> {};

TEST_P(TlsDownloads, ByteExactWithAuthAndHeaders) {
    serveTls(certificates().valid);
    const std::string bytes = serve("test_site", "sample.bin", 2 * kMiB + 777);
    setTrust(GetParam().trust);
    const Download d = httpsRequest("test_site", static_cast<int64_t>(bytes.size()));
    ASSERT_EQ(GetParam().json ? d.startJson() : d.start(), 0);
    ASSERT_EQ(waitForEnd(), QUARN_STATE_COMPLETE);
    EXPECT_TRUE(readFile(mapped(d.localFileName)) == bytes) << "content differs";
    EXPECT_FALSE(fs::exists(mapped(d.localFileName).string() + ".part"));
    EXPECT_TRUE(logged("200 \"GET /test_site/sample.bin HTTP/1.1\""));
    EXPECT_TRUE(logged(d.logged())) << nginx_.accessLog();
}

INSTANTIATE_TEST_SUITE_P(
    Engine, TlsDownloads,
    ::testing::Values(TrustCase{"QuarnCaFile", false, {{"QUARN_CA_FILE", Store::CaFile}}},
                      TrustCase{"QuarnCaFileJson", true, {{"QUARN_CA_FILE", Store::CaFile}}},
                      TrustCase{"SslCertFile", true, {{"SSL_CERT_FILE", Store::CaFile}}},
                      TrustCase{"SslCertDir", false, {{"SSL_CERT_DIR", Store::CaDir}}},
                      // The engine's own variable decides when both are set.
                      TrustCase{
                          "QuarnCaFileBeforeSslCertFile",
                          false,
                          {{"QUARN_CA_FILE", Store::CaFile}, {"SSL_CERT_FILE", Store::Missing}}}),
    [](const auto& p) { return std::string(p.param.name); });

struct Refusal {
    const char* name;
    CertificatePair TestCertificates::*served;
    const char* site;
    std::vector<Trust> trust;
    const char* answered = nullptr; // what nginx must have answered first, if anything
    friend void PrintTo(const Refusal& r, std::ostream* out) { *out << r.name; }
};

class TlsRefusals : public TlsTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(TlsRefusals, EndInState6WritingNothing) {
    const Refusal& r = GetParam();
    serveTls(certificates().*r.served);
    serve("test_site", "sample.bin", 256 * 1024);
    serve("open_site", "sample.bin", 256 * 1024);
    setTrust(r.trust);
    const Download d = httpsRequest(r.site, 256 * 1024);
    ASSERT_EQ(d.start(), 0);
    EXPECT_EQ(waitForEnd(), QUARN_STATE_SERVER_ERROR);
    const fs::path part = mapped(d.localFileName).string() + ".part";
    EXPECT_FALSE(fs::exists(mapped(d.localFileName)));
    EXPECT_TRUE(!fs::exists(part) || fs::file_size(part) == 0);
    if (r.answered != nullptr) {
        EXPECT_TRUE(logged(r.answered)) << nginx_.accessLog();
    }
    // Nothing, credentials least of all, went out in clear text.
    EXPECT_EQ(nginx_.accessLog().find("scheme=http\n"), std::string::npos) << nginx_.accessLog();
}

const std::vector<Trust> kCaFile = {{"QUARN_CA_FILE", Store::CaFile}};

INSTANTIATE_TEST_SUITE_P(
    Engine, TlsRefusals,
    ::testing::Values(
        // No variable: the system store, which knows nothing of our CA.
        Refusal{"Untrusted", &TestCertificates::valid, "test_site", {}},
        Refusal{"Expired", &TestCertificates::expired, "test_site", kCaFile},
        Refusal{"WrongHost", &TestCertificates::wrongHost, "test_site", kCaFile},
        Refusal{"SelfSigned", &TestCertificates::selfSigned, "test_site", kCaFile},
        // A CA file that is not there never falls back to the system store.
        Refusal{"MissingCaFile",
                &TestCertificates::valid,
                "test_site",
                {{"QUARN_CA_FILE", Store::Missing}}},
        Refusal{"RedirectToPlainHttp", &TestCertificates::valid, "downgrade_site", kCaFile,
                "302 \"GET /downgrade_site/sample.bin HTTP/1.1\""}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(TlsTest, StopThenRestartResumesWithRange) {
    serveTls(certificates().valid);
    const std::string bytes = serve("slow_site", "sample.bin", 3 * kMiB);
    setTrust(kCaFile);
    const Download d = httpsRequest("slow_site", 3 * kMiB);
    ASSERT_EQ(d.start(), 0);
    ASSERT_TRUE(waitFor([] { return poll().fileBytes >= kMiB / 2; }, 10s));
    stopDownload();
    const Status stopped = poll();
    ASSERT_EQ(stopped.state, QUARN_STATE_STOPPED);
    const fs::path part = mapped(d.localFileName).string() + ".part";
    EXPECT_TRUE(readFile(part) == bytes.substr(0, static_cast<std::size_t>(stopped.fileBytes)));

    ASSERT_EQ(d.start(), 0);
    ASSERT_EQ(waitForEnd(), QUARN_STATE_COMPLETE);
    EXPECT_TRUE(readFile(mapped(d.localFileName)) == bytes) << "content differs";
    // A resume may ask again for a little before the kept end, to compare it.
    const std::string resumed = "206 \"GET /slow_site/sample.bin HTTP/1.1\" range=\"bytes=";
    ASSERT_TRUE(logged(resumed)) << nginx_.accessLog();
    const std::string log = nginx_.accessLog();
    const int64_t from = std::stoll(log.substr(log.find(resumed) + resumed.size()));
    EXPECT_GT(from, 0);
    EXPECT_LE(from, stopped.fileBytes);
}

} // namespace
} // namespace quarn::test
