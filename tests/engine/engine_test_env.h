// Shared set-up of the engine suite: a private drive root, a private nginx,
// sample files, and small helpers to start and follow downloads through the
// real libquarn.so.1.
#pragma once

#include "tests/support/nginx_fixture.h"
#include <quarn/quarn.h>
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

namespace quarn::test {

namespace fs = std::filesystem;

inline constexpr const char* kHash = "e3f20ec8060f3f1f5b98718b2df6f37b";
inline constexpr const char* kUser = "111";
inline constexpr const char* kPassword = "734";
inline constexpr int64_t kMiB = 1024 * 1024;

std::u16string u16(const std::string& utf8); // UTF-8 -> UTF-16 for test data
std::string jsonEscape(const std::string& text);

// Deterministic pseudo-random content, so a misplaced byte cannot hide.
std::string sampleBytes(std::size_t size, uint32_t seed);
void writeFile(const fs::path& path, const std::string& bytes);
std::string readFile(const fs::path& path);

struct Download {
    std::string site = "test_site";
    std::string server;
    std::string serverFileName = "sample.bin";
    std::string index = "881005";
    std::string localFileName = "d:\\download\\sample.bin";
    std::string hash = kHash;
    int64_t fileSize = 0;
    std::string userName = kUser;
    std::string userPwd = kPassword;
    std::string userParams;

    int32_t start() const;     // startDownload
    int32_t startJson() const; // startDownloadJson, "err" of the reply
    std::string json() const;  // the request as the console writes it
};

struct Status {
    int32_t state = -1, speed = 0, remain = 0;
    int64_t received = 0, fileBytes = 0;
};
Status poll();

// Waits for an end state (3-6); returns -1 if none came within the deadline.
int32_t waitForEnd(std::chrono::milliseconds deadline = std::chrono::seconds(20));

// Every test gets its own drive root, server root and nginx. The sites:
//   /test_site/  Basic auth 111/734
//   /slow_site/  1 MiB/s
//   /norange_site/  1 MiB/s, Range ignored (answers 200)
//   /redirect_site/  302 to localhost (another host name) under /test_site/
//   /moved_site/  302 to /test_site/sample.bin on the same host
//   /open_site/  no limits; /redirect_open_site/ 302 to it on localhost
//   /capped_site/  4 MiB/s per connection
//   /whole_site/  Range ignored, no limit
//   /steal_site/  1 MiB/s for a request from byte 0, no limit otherwise
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    fs::path driveRoot() const { return tmp_ / "drives"; }
    fs::path mapped(const std::string& windowsPath) const; // where the engine puts it
    // Writes `size` sample bytes as www/SITE/NAME and returns them.
    std::string serve(const std::string& site, const std::string& name, std::size_t size);
    Download request(const std::string& site, const std::string& name, int64_t size) const;

    fs::path tmp_;
    NginxServer nginx_;
};

} // namespace quarn::test
