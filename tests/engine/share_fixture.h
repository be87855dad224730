// What the share server's suites share: files registered through the
// engine's entry points, fetched with the real curl, and raw answers read
// back from a socket.
//
// The engine starts its server once per process, at the first successful
// registration, and reads QUARN_SHARE_* then: every test here relies on
// running in a process of its own (as ctest runs them) for its listen
// address, timeouts and rate.
#pragma once

#include "tests/engine/engine_test_env.h"
#include "tests/support/process.h"
#include "tests/support/sockets.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quarn::test {

inline constexpr const char* kSite = "test_site";
inline constexpr const char* kShareHash = "d4301f3edae670bde22305e444e4c2a1";

// A QUARN_SHARE_* setting, made before the process's first registration
// starts the server (no download running) and never put back.
void shareSetting(const char* name, const std::string& value);

// The port this process's share server takes, chosen before the first
// registration.
uint16_t sharePort();

// A distinct 32-digit hash per n.
std::string hashFor(int n);

int openDescriptors();

// A regular file of 4096 bytes by its stat, on sysfs, reached without a
// link; empty if this machine has none of the usual ones.
fs::path pseudoFile();

struct Reply {
    int status = 0;
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
    std::string header(const std::string& name) const;
};

// The answers in `bytes` as a peer reads them off one connection, in order;
// `heads` says which were answers to HEAD (no body). An answer cut short
// ends the list with `complete` false.
struct Answers {
    std::vector<Reply> replies;
    bool complete = true;
};
Answers readAnswers(const std::string& bytes, const std::vector<bool>& heads = {});

class ShareServerTest : public EngineTest {
protected:
    void SetUp() override;

    std::string base(uint16_t port = 0) const;
    static std::string target(const std::string& site, const std::string& hash);

    // Writes the file below the drive root and registers it.
    void share(const std::string& hash, const std::string& windowsPath, const std::string& bytes);

    // curl exactly as a peer would use it; the target is sent as written.
    Reply fetch(const std::string& path, const std::vector<std::string>& extra = {},
                uint16_t port = 0);
};

} // namespace quarn::test
