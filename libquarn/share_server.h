// The share server: registered files served to peers over HTTP/1.1 by
// libmicrohttpd, on its own threads. GET and HEAD of /{site}/{hash} only; the
// URL is only ever a key into the registry, never a path.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>

namespace quarn::engine {

class ShareRegistry;

inline constexpr const char* kDefaultShareListen = "127.0.0.1:48081";
inline constexpr unsigned kSharePeerLimit = 64;      // concurrent peers; beyond: 503
inline constexpr unsigned kShareIdleTimeoutSec = 30; // a peer silent this long is dropped
inline constexpr std::size_t kShareMaxUrl = 2048;    // longer request targets: 414
inline constexpr std::size_t kShareConnectionMemory =
    std::size_t{16} * 1024; // request head + buffers

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
    ~ShareServer();
    ShareServer(const ShareServer&) = delete;
    ShareServer& operator=(const ShareServer&) = delete;

    std::uint16_t port() const noexcept { return port_; }
    // Closes the listening socket and every connection, joins the server's
    // threads. Also done for every running server when the process exits.
    void stop() noexcept;

    struct Impl;

private:
    ShareServer() = default;

    std::unique_ptr<Impl> impl_;
    std::uint16_t port_ = 0;
};

} // namespace quarn::engine
