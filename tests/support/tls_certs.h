// Throw-away TLS material for tests and benchmarks, made with the `openssl`
// command in a temporary directory: a private CA and server certificates
// good and bad. Nothing here is ever trusted system-wide.
#pragma once

#include <filesystem>

namespace quarn::test {

struct CertificatePair {
    std::filesystem::path certificate; // PEM
    std::filesystem::path key;         // PEM, unencrypted
};

class TestCertificates {
public:
    // Throws std::runtime_error with openssl's own output when a step fails,
    // including when openssl is not installed.
    TestCertificates();
    ~TestCertificates();
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    const std::filesystem::path& caFile() const { return caFile_; } // the CA, PEM
    const std::filesystem::path& caDir() const { return caDir_; }   // the CA by hash name

    // All but selfSigned are issued by the CA; all but wrongHost name
    // 127.0.0.1 and localhost.
    CertificatePair valid, expired, wrongHost, selfSigned;

private:
    std::filesystem::path dir_, caFile_, caDir_;
};

} // namespace quarn::test
