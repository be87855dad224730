#include "tests/support/tls_certs.h"

#include "tests/support/files.h"
#include "tests/support/process.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

namespace quarn::test {
namespace fs = std::filesystem;

namespace {

constexpr const char* kHostNames = "subjectAltName=IP:127.0.0.1,DNS:localhost";

// Runs openssl with its output in `log`; throws with that output on failure.
void openssl(const fs::path& log, std::initializer_list<std::string> args) {
    std::vector<std::string> words{"openssl"};
    words.insert(words.end(), args);
    Child run(words, {}, log.string());
    if (run.SpawnError() == ENOENT)
        throw std::runtime_error("openssl is not installed: run scripts/install-deps.sh");
    if (run.SpawnError() != 0)
        throw std::runtime_error(std::string("cannot run openssl: ") +
                                 std::strerror(run.SpawnError()));
    if (run.Wait() == 0) return;
    std::string command;
    for (const std::string& w : words) command += w + ' ';
    throw std::runtime_error("failed: " + command + "\n" + readFile(log));
}

} // namespace

TestCertificates::TestCertificates() {
    dir_ = makeTempDir("quarn-certs");
    const fs::path log = dir_ / "openssl.log";
    const auto file = [&](const std::string& name) { return (dir_ / name).string(); };
    // No destructor runs after a throwing constructor: clean up here.
    struct Guard {
        fs::path& dir;
        bool done = false;
        ~Guard() {
            std::error_code ignored;
            if (!done) fs::remove_all(dir, ignored);
        }
    } guard{dir_};

    caFile_ = file("ca.pem");
    openssl(log, {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                  "-nodes", "-days", "2", "-subj", "/CN=Quarn Test CA", "-keyout", file("ca.key"),
                  "-out", caFile_.string(), "-addext", "basicConstraints=critical,CA:TRUE",
                  "-addext", "keyUsage=critical,keyCertSign,cRLSign"});

    int serial = 1;
    const auto issue = [&](CertificatePair& pair, const std::string& name, const std::string& names,
                           const char* days) {
        pair = {file(name + ".pem"), file(name + ".key")};
        std::ofstream(file(name + ".ext")) << "basicConstraints=critical,CA:FALSE\n"
                                           << "keyUsage=critical,digitalSignature\n"
                                           << "extendedKeyUsage=serverAuth\n"
                                           << names << "\n";
        openssl(log, {"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                      "-nodes", "-subj", "/CN=" + name, "-keyout", pair.key.string(), "-out",
                      file(name + ".csr")});
        // A negative day count puts the end of validity before its start.
        openssl(log, {"x509", "-req", "-in", file(name + ".csr"), "-CA", caFile_.string(), "-CAkey",
                      file("ca.key"), "-set_serial", std::to_string(++serial), "-days", days,
                      "-extfile", file(name + ".ext"), "-out", pair.certificate.string()});
    };
    issue(valid, "valid", kHostNames, "2");
    issue(expired, "expired", kHostNames, "-1");
    issue(wrongHost, "wrong-host", "subjectAltName=DNS:wrong.example", "2");

    selfSigned = {file("self-signed.pem"), file("self-signed.key")};
    openssl(log, {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                  "-nodes", "-days", "2", "-subj", "/CN=localhost", "-addext", kHostNames,
                  "-keyout", selfSigned.key.string(), "-out", selfSigned.certificate.string()});

    // The SSL_CERT_DIR form: certificates found by subject hash.
    caDir_ = dir_ / "ca-dir";
    fs::create_directories(caDir_);
    fs::copy_file(caFile_, caDir_ / "ca.pem");
    openssl(log, {"rehash", caDir_.string()});
    guard.done = true;
}

TestCertificates::~TestCertificates() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

} // namespace quarn::test
