// A private nginx for tests and benchmarks: a temporary prefix and config, a
// free loopback port (plain HTTP or TLS), optional Basic auth and rate limits
// per location, and an access log that records what the client actually
// asked for.
#pragma once

#include "tests/support/sockets.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quarn::test {

struct NginxLocation {
    std::string prefix;       // e.g. "/slow/"; must start with '/'
    std::string user;         // non-empty: auth_basic with this user...
    std::string password;     // ...and this password
    int64_t limitRate = 0;    // bytes per second per connection, 0 = unlimited
    bool ignoreRange = false; // answer Range requests with the whole file (200)
    std::string extra;        // further directives, verbatim
};

// TLS on port(): a certificate chain and its key, both PEM files.
struct NginxTls {
    std::filesystem::path certificate; // empty: plain HTTP
    std::filesystem::path key;
    // Also serve plain HTTP on plainPort(), which a location's `extra` can
    // name as $plain_port, e.g. to redirect a client from TLS to clear text.
    bool plainListener = false;
};

struct NginxOptions {
    std::filesystem::path root; // document root; empty: a fresh directory (see root())
    std::vector<NginxLocation> locations;
    int64_t limitRate = 0; // server-wide default, bytes per second
    uint16_t port = 0;     // 0: a free loopback port; else this one (e.g. a fixed endpoint)
    std::string httpExtra; // directives of the http block, verbatim (e.g. a limit_conn_zone)
    NginxTls tls;
    int workerConnections = 256; // nginx's own limit, the listeners' sockets included
};

class NginxServer {
public:
    NginxServer() = default;
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    // Throws std::runtime_error with nginx's own error output when it cannot
    // start, including when no nginx binary is installed.
    void start(const NginxOptions& options);
    uint16_t port() const { return port_; }
    uint16_t plainPort() const { return plainPort_; } // 0 without NginxTls::plainListener
    std::string endpoint() const;                     // "127.0.0.1:PORT"
    const std::filesystem::path& root() const { return root_; }

    void stop(); // graceful: SIGTERM, then reaps the master
    void kill(); // SIGKILL to every nginx process: connections drop mid-transfer
    bool running() const { return master_ > 0; }

    // One line per finished request:
    // STATUS "REQUEST LINE" range="..." user="..." index="..." hash="..." sent=N scheme=http|https
    std::string accessLog() const;

private:
    void cleanup();

    std::filesystem::path prefix_;
    std::filesystem::path root_;
    bool ownRoot_ = false;
    uint16_t port_ = 0;
    uint16_t plainPort_ = 0;
    pid_t master_ = -1;
};

// Where nginx lives (PATH, then /usr/sbin); throws with a clear message if
// it is not installed, so a suite needing it fails instead of skipping.
std::filesystem::path findNginx();

} // namespace quarn::test
