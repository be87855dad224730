// Shared set-up of the engine suite: a private drive root, a private nginx,
// sample files, and small helpers to start and follow downloads through the
// real libquarn.so.1.
#pragma once

#include "dialog/samplerequest.h"
#include "libquarn/metalink.h"
#include "tests/support/environment.h"
#include "tests/support/files.h"
#include "tests/support/nginx_fixture.h"
#include "tests/support/text.h"
#include "tests/support/wait.h"

#include <quarn/quarn.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace quarn::test {

namespace fs = std::filesystem;

// The console's sample credentials and hash, unless a test says otherwise.
inline constexpr const char* kHash = sample::kHash;
inline constexpr const char* kUser = sample::kUserName;
inline constexpr const char* kPassword = sample::kUserPwd;
inline constexpr int64_t kMiB = 1024 * 1024;

// An entry the engine reads when it sets a transfer up: changed, and put
// back, only while no transfer runs (any download is stopped first).
class EngineEnv : public ScopedEnv {
public:
    EngineEnv(std::string name, const char* value)
        : ScopedEnv(std::move(name), value, [] { stopDownload(); }) {}
};

// Deterministic pseudo-random content, so a misplaced byte cannot hide.
std::string sampleBytes(std::size_t size, uint32_t seed);

// {"err":CODE}, as startDownloadJson answers.
std::u16string errReply(int32_t code);

struct Download {
    std::string site = sample::kSite;
    std::string server;
    std::string serverFileName = "sample.bin";
    std::string index = sample::kParamIndex;
    std::string localFileName = "d:\\download\\sample.bin";
    std::string hash = kHash;
    int64_t fileSize = 0;
    std::string userName = kUser;
    std::string userPwd = kPassword;
    std::string userParams;

    int32_t start() const;     // startDownload
    int32_t startJson() const; // startDownloadJson, "err" of the reply
    std::string json() const;  // the request as the console writes it
    // What nginx logs of the request's user, index and hash.
    std::string logged() const;
};

struct Status {
    int32_t state = -1, speed = 0, remain = 0;
    int64_t received = 0, fileBytes = 0;
};
Status poll();

// Waits for an end state (complete or a failure); -1 if none came within
// the deadline.
int32_t waitForEnd(std::chrono::milliseconds deadline = std::chrono::seconds(20));

// Starts `d` in a forked child and kills it (SIGKILL) once `until` holds or
// the deadline passes; whether `until` held. No engine thread may exist
// across fork(): any download of this process is stopped first.
bool killDownloadWhen(const Download& d, const std::function<bool()>& until,
                      std::chrono::milliseconds deadline);

// Every test gets its own server root and nginx, and an empty drive root.
// The drive root is the process's: QUARN_DRIVE_ROOT is set once, before
// anything starts, and emptied before each test. The sites:
//   /test_site/  Basic auth 111/734
//   /slow_site/  1 MiB/s
//   /norange_site/  1 MiB/s, Range ignored (answers 200)
//   /redirect_site/  302 to localhost (another host name) under /test_site/
//   /moved_site/  302 to /test_site/sample.bin on the same host
//   /open_site/  no limits; /redirect_open_site/ 302 to it on localhost
//   /capped_site/  4 MiB/s per connection
//   /whole_site/  Range ignored, no limit
//   /steal_site/  1 MiB/s for a request from byte 0, no limit otherwise
//   /limited_site/  4 MiB/s per connection, two connections per client (503 beyond)
//   /forbidden_site/  403 for everything
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    static fs::path driveRoot();
    fs::path mapped(const std::string& windowsPath) const; // where the engine puts it
    // Writes `size` sample bytes as www/SITE/NAME and returns them.
    std::string serve(const std::string& site, const std::string& name, std::size_t size);
    Download request(const std::string& site, const std::string& name, int64_t size) const;
    // Puts the Metalink document of `bytes` beside www/SITE/NAME, where the
    // engine looks for it.
    engine::MetalinkFile publishDocument(const std::string& site, const std::string& name,
                                         const std::string& bytes, int64_t pieceLength = kMiB);

    fs::path tmp_;
    NginxServer nginx_;
};

} // namespace quarn::test
