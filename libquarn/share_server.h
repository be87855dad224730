// The share server: registered files served to peers over HTTP/1.1 from one
// thread of its own, every connection non-blocking on one epoll set. GET
// and HEAD of /{site}/{hash} and /{site}/{hash}.meta4 only; the URL is only
// ever a key into the registry, never a path. The protocol text lives in
// share_http.*, the limits and the upload rate in share_policy.*.
#pragma once

#include <quarn/quarn.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>

namespace quarn::engine {

class ShareRegistry;

inline constexpr const char* kDefaultShareListen = QUARN_SHARE_LISTEN_DEFAULT;

struct ListenAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
    std::string text; // as given, for messages
};

// "host:port" with an IPv4 literal, "localhost" or a bracketed IPv6 literal
// as host; port 0 lets the system choose. nullopt for anything else.
std::optional<ListenAddress> parseListenAddress(std::string_view text);

// QUARN_SHARE_LISTEN, read when the server starts: unset or empty is
// kDefaultShareListen; "off" (or a value that does not parse, which is also
// reported on stderr) is nullopt.
std::optional<ListenAddress> shareListenSetting();

class ShareServer {
public:
    // Listening and serving when this returns, or nullptr when sharing is
    // off or the address cannot be bound (a busy port is reported on stderr).
    static std::unique_ptr<ShareServer> start(ShareRegistry& registry,
                                              const std::optional<ListenAddress>& listen);
    ~ShareServer(); // stop()
    ShareServer(const ShareServer&) = delete;
    ShareServer& operator=(const ShareServer&) = delete;

    std::uint16_t port() const noexcept { return port_; }
    // Closes the listening socket and every connection and joins the
    // server's thread.
    void stop() noexcept;

    struct Impl;

private:
    ShareServer() = default;

    std::unique_ptr<Impl> impl_;
    std::uint16_t port_ = 0;
};

} // namespace quarn::engine
