// quarn share: registers one file with the engine and keeps the process,
// and so the engine's share server, alive until Ctrl-C or SIGTERM.
#include "cli/commands.h"

#include <quarn/quarn.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarn::cli {
namespace {

constexpr const char* kDefaultListen = "127.0.0.1:48081"; // as quarn.h documents

struct Endpoint {
    std::string host; // as peers would write it
    bool wildcard = false;
    uint16_t port = 0;
    sockaddr_storage address{};
    socklen_t length = 0;
};

// The forms the engine accepts: IPv4 literal, localhost, [IPv6 literal].
std::optional<Endpoint> parseListen(const std::string& text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    const std::optional<long long> port = parsePositive(text.substr(colon + 1));
    if (!port || *port > 65535) return std::nullopt;
    Endpoint e;
    e.host = text.substr(0, colon);
    e.port = static_cast<uint16_t>(*port);
    if (e.host.size() > 2 && e.host.front() == '[' && e.host.back() == ']') {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(e.port);
        if (inet_pton(AF_INET6, e.host.substr(1, e.host.size() - 2).c_str(), &a.sin6_addr) != 1)
            return std::nullopt;
        e.wildcard = IN6_IS_ADDR_UNSPECIFIED(&a.sin6_addr);
        std::memcpy(&e.address, &a, sizeof a);
        e.length = sizeof a;
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(e.port);
        if (inet_pton(AF_INET, e.host == "localhost" ? "127.0.0.1" : e.host.c_str(), &a.sin_addr) !=
            1)
            return std::nullopt;
        e.wildcard = a.sin_addr.s_addr == htonl(INADDR_ANY);
        std::memcpy(&e.address, &a, sizeof a);
        e.length = sizeof a;
    }
    return e;
}

// The engine cannot tell us it found the port taken, so ask first.
int bindError(const Endpoint& e) {
    const int fd = ::socket(e.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const int error =
        ::bind(fd, reinterpret_cast<const sockaddr*>(&e.address), e.length) == 0 ? 0 : errno;
    ::close(fd);
    return error;
}

std::string peerHost(const Endpoint& e) {
    if (!e.wildcard) return e.host;
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') return name;
    return e.host;
}

} // namespace

int runShare(const std::vector<std::string>& args) {
    const Options o(args, {"--site", "--hash", "--listen"}, {});
    if (o.positional().empty()) throw UsageError{"FILE is required"};
    if (o.positional().size() > 1) throw UsageError{"one FILE only, not " + o.positional()[1]};
    const std::string site = o.required("--site");
    const std::string hash = o.required("--hash");
    if (!isHexDigest(hash)) throw UsageError{"--hash must be 32 hexadecimal digits"};
    const std::optional<std::string> listenOption = o.value("--listen");
    std::string listen = kDefaultListen;
    if (listenOption) {
        listen = *listenOption;
    } else if (const char* env = std::getenv("QUARN_SHARE_LISTEN");
               env != nullptr && env[0] != '\0') {
        listen = env;
    }
    if (!listenOption && (listen == "off" || listen == "OFF" || listen == "Off")) {
        std::fprintf(stderr, "quarn share: sharing is off (QUARN_SHARE_LISTEN=%s)\n",
                     listen.c_str());
        return kStartFailed;
    }
    const std::optional<Endpoint> endpoint = parseListen(listen);
    if (!endpoint)
        throw UsageError{
            (listenOption ? "--listen" : "QUARN_SHARE_LISTEN") +
            std::string(" must be HOST:PORT with a port above 0, e.g. 127.0.0.1:48081 or "
                        "0.0.0.0:48081 for the LAN")};
    const std::u16string wSite = utf16Argument("--site", site),
                         wHash = utf16Argument("--hash", hash);

    std::error_code ec;
    const std::filesystem::path path =
        std::filesystem::absolute(o.positional().front(), ec).lexically_normal();
    struct stat info {};
    if (ec || ::stat(path.c_str(), &info) != 0) {
        std::fprintf(stderr, "quarn share: cannot read %s: %s\n", o.positional().front().c_str(),
                     std::strerror(ec ? ec.value() : errno));
        return kStartFailed;
    }
    if (!S_ISREG(info.st_mode) || info.st_size <= 0) {
        std::fprintf(stderr, "quarn share: %s is not a regular file with data\n", path.c_str());
        return kStartFailed;
    }
    const std::u16string wPath = utf16Argument("FILE", path.string());
    if (const int error = bindError(*endpoint); error != 0) {
        std::fprintf(stderr, "quarn share: cannot listen on %s: %s\n", listen.c_str(),
                     std::strerror(error));
        return kStartFailed;
    }

    // Before the first engine call: the engine reads it when its server starts.
    if (listenOption) ::setenv("QUARN_SHARE_LISTEN", listen.c_str(), 1);
    const sigset_t stopSignals = blockStopSignals();
    if (setShareFile2(wSite.c_str(), wHash.c_str(), wPath.c_str(), info.st_size) == 0) {
        std::fprintf(stderr, "quarn share: the engine did not register %s\n", path.c_str());
        return kStartFailed;
    }
    const std::string authority = peerHost(*endpoint) + ":" + std::to_string(endpoint->port);
    std::printf("sharing %s (%lld bytes)\n", path.c_str(), static_cast<long long>(info.st_size));
    std::printf("url: http://%s/%s/%s\n", authority.c_str(), percentEncode(site).c_str(),
                hash.c_str());
    std::printf(
        "peers fetch it with: quarn get --server %s --site '%s' --hash %s --size %lld --out PATH\n",
        authority.c_str(), site.c_str(), hash.c_str(), static_cast<long long>(info.st_size));
    std::printf("Ctrl-C stops sharing\n");
    std::fflush(stdout);

    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }
    std::printf("stopped sharing\n");
    return kComplete;
}

} // namespace quarn::cli
