#include "libquarn/share_server.h"

#include "libquarn/handles.h"
#include "libquarn/share_registry.h"
#include "libquarn/text.h"

#include <microhttpd.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quarn::engine {
namespace {

// Connections beyond the peer limit that are still accepted, only to be
// told 503; past that the library refuses them outright.
constexpr unsigned kOverflowConnections = 32;

// A body of up to this size goes out in one sendfile call. A larger one is
// read into the library's buffer instead: for those the library corks the
// socket for the whole body, which halves loopback throughput (measured
// 1.1 GB/s against 2.0 GB/s and more read this way).
constexpr uint64_t kSendfileLimit = 2ULL * 1024 * 1024;
constexpr std::size_t kReadBlock = std::size_t{1024} * 1024;

struct FileBody {
    UniqueFd file;
    int64_t offset;
};

ssize_t readBody(void* cls, uint64_t position, char* buffer, std::size_t max) {
    const auto* body = static_cast<const FileBody*>(cls);
    for (;;) {
        const ssize_t n =
            ::pread(body->file.get(), buffer, max, body->offset + static_cast<int64_t>(position));
        if (n < 0 && errno == EINTR) continue;
        // A file cut short meanwhile ends the connection rather than the length it promised.
        return n > 0 ? n : MHD_CONTENT_READER_END_WITH_ERROR;
    }
}

void freeBody(void* cls) {
    delete static_cast<FileBody*>(cls);
}

// The response for bytes [first, first + length) of `file`, which it owns
// from now on.
MHD_Response* fileResponse(UniqueFd file, int64_t first, uint64_t length) {
    if (length <= kSendfileLimit) {
        MHD_Response* response = MHD_create_response_from_fd_at_offset64(length, file.get(), first);
        if (response != nullptr) static_cast<void>(file.release()); // the library closes it
        return response;
    }
    auto body = std::make_unique<FileBody>(FileBody{std::move(file), first});
    MHD_Response* response =
        MHD_create_response_from_callback(length, kReadBlock, &readBody, body.get(), &freeBody);
    if (response != nullptr) static_cast<void>(body.release()); // freeBody takes it
    return response;
}

struct ResponseRelease {
    void operator()(MHD_Response* response) const noexcept { MHD_destroy_response(response); }
};
using Response = std::unique_ptr<MHD_Response, ResponseRelease>;

struct DaemonStop {
    void operator()(MHD_Daemon* daemon) const noexcept { MHD_stop_daemon(daemon); }
};
using Daemon = std::unique_ptr<MHD_Daemon, DaemonStop>;

unsigned idleTimeoutSeconds() {
    // Tests shorten it; the library counts whole seconds.
    if (const auto ms = positiveEnv("QUARN_SHARE_IDLE_TIMEOUT_MS"))
        return static_cast<unsigned>(std::min<long long>((*ms + 999) / 1000, 24LL * 3600));
    return kShareIdleTimeoutSec;
}

// One path segment, strictly: a stray '%' or an encoded NUL spoils it.
std::optional<std::string> decodeSegment(std::string_view segment) {
    std::string out;
    out.reserve(segment.size());
    for (std::size_t i = 0; i < segment.size(); ++i) {
        if (segment[i] != '%') {
            out += segment[i];
            continue;
        }
        if (i + 2 >= segment.size()) return std::nullopt;
        const int high = hexDigitValue(segment[i + 1]), low = hexDigitValue(segment[i + 2]);
        if (high < 0 || low < 0 || (high == 0 && low == 0)) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

// "/{site}/{hash}" as the raw request target (the library is told not to
// unescape it, so an encoded slash stays inside its segment).
bool splitTarget(std::string_view url, std::string& site, std::string& hash) {
    if (url.size() < 2 || url.front() != '/') return false;
    url.remove_prefix(1);
    const std::size_t slash = url.find('/');
    if (slash == std::string_view::npos || url.find('/', slash + 1) != std::string_view::npos)
        return false;
    auto decodedSite = decodeSegment(url.substr(0, slash));
    auto decodedHash = decodeSegment(url.substr(slash + 1));
    if (!decodedSite || decodedSite->empty() || !decodedHash || !isHexDigest(*decodedHash))
        return false;
    site = std::move(*decodedSite);
    hash = asciiLower(*decodedHash);
    return true;
}

// IMF-fixdate, independent of the process locale.
std::string httpDate(time_t when) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm t {};
    gmtime_r(&when, &t);
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[t.tm_wday % 7],
                  t.tm_mday, kMonths[t.tm_mon % 12], t.tm_year + 1900, t.tm_hour, t.tm_min,
                  t.tm_sec);
    return text;
}

enum class RangeAnswer { Whole, Part, Unsatisfiable };

// A single byte range; anything we do not understand, and several ranges,
// are answered with the whole file, as a server that ignores Range would.
RangeAnswer parseRange(std::string_view header, long long size, long long& first, long long& last) {
    header = trimSpace(header);
    constexpr std::string_view kUnit = "bytes=";
    if (!startsWithNoCase(header, kUnit)) return RangeAnswer::Whole;
    const std::string_view wanted = trimSpace(header.substr(kUnit.size()));
    const std::size_t dash = wanted.find('-');
    if (wanted.find(',') != std::string_view::npos || dash == std::string_view::npos)
        return RangeAnswer::Whole;
    const std::string_view from = trimSpace(wanted.substr(0, dash)),
                           to = trimSpace(wanted.substr(dash + 1));
    if (from.empty()) {
        const auto suffix = parseDecimal(to);
        if (!suffix) return RangeAnswer::Whole;
        if (*suffix == 0) return RangeAnswer::Unsatisfiable;
        first = std::max(0LL, size - *suffix);
        last = size - 1;
        return RangeAnswer::Part;
    }
    const auto start = parseDecimal(from);
    if (!start) return RangeAnswer::Whole;
    long long end = size - 1;
    if (!to.empty()) {
        const auto value = parseDecimal(to);
        if (!value || *value < *start) return RangeAnswer::Whole;
        end = std::min(*value, size - 1);
    }
    if (*start >= size) return RangeAnswer::Unsatisfiable;
    first = *start;
    last = end;
    return RangeAnswer::Part;
}

bool sameFile(const struct stat& now, const SharedFile& registered) {
    return S_ISREG(now.st_mode) && now.st_dev == registered.device &&
           now.st_ino == registered.inode && now.st_size == registered.size &&
           now.st_mtim.tv_sec == registered.modified.tv_sec &&
           now.st_mtim.tv_nsec == registered.modified.tv_nsec;
}

// Errors that mean the registered file is gone (or no longer ours to give),
// as opposed to a passing shortage such as descriptors.
bool fileIsGone(int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP || error == EACCES ||
           error == EPERM;
}

const char kSocketOverLimit = 0; // address marks a connection beyond the peer limit

using Header = std::pair<const char*, std::string>;

MHD_Result queue(MHD_Connection* connection, unsigned status, Response response,
                 const std::vector<Header>& headers) {
    if (!response) return MHD_NO;
    for (const Header& h : headers)
        if (MHD_add_response_header(response.get(), h.first, h.second.c_str()) != MHD_YES)
            return MHD_NO;
    return MHD_queue_response(connection, status, response.get());
}

MHD_Result queueText(MHD_Connection* connection, unsigned status, std::string_view text,
                     const std::vector<Header>& headers = {}) {
    Response response(MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()),
                                                      MHD_RESPMEM_PERSISTENT));
    if (response)
        MHD_add_response_header(response.get(), MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain");
    return queue(connection, status, std::move(response), headers);
}

} // namespace

struct ShareServer::Impl {
    explicit Impl(ShareRegistry& r) : registry(r) {}

    MHD_Result answer(MHD_Connection* connection, const char* url, const char* method);
    static bool overLimit(MHD_Connection* connection);
    MHD_Result serveFile(MHD_Connection* connection, const std::string& site,
                         const std::string& hash);

    ShareRegistry& registry;
    std::atomic<unsigned> connections{0};
    std::mutex mutex; // the daemon's lifetime
    Daemon daemon;
    pid_t owner = ::getpid();
};

namespace {

bool isGetOrHead(const char* method) {
    return std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 ||
           std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
}

MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char*, const char*, size_t* uploadSize, void** requestContext) {
    static char seen;
    auto* impl = static_cast<ShareServer::Impl*>(cls);
    try {
        if (*requestContext == nullptr) {
            *requestContext = &seen;
            // A GET or HEAD is answered once the whole request is in, so the
            // connection can serve the next one; anything else at once, and
            // the library then closes the connection without reading a body.
            if (isGetOrHead(method) && !impl->overLimit(connection)) return MHD_YES;
            return impl->answer(connection, url, method);
        }
        if (*uploadSize != 0) { // a body nobody asked for: read and dropped
            *uploadSize = 0;
            return MHD_YES;
        }
        return impl->answer(connection, url, method);
    } catch (...) {
        return MHD_NO; // closes the connection
    }
}

void onConnection(void* cls, MHD_Connection*, void** socketContext,
                  MHD_ConnectionNotificationCode event) {
    auto& connections = static_cast<ShareServer::Impl*>(cls)->connections;
    if (event == MHD_CONNECTION_NOTIFY_STARTED) {
        if (connections.fetch_add(1, std::memory_order_relaxed) >= kSharePeerLimit)
            *socketContext = const_cast<char*>(&kSocketOverLimit);
    } else {
        connections.fetch_sub(1, std::memory_order_relaxed);
    }
}

// The request target reaches us as sent: splitTarget decodes each segment
// on its own.
size_t keepEscapes(void*, MHD_Connection*, char* text) {
    return std::strlen(text);
}

struct LiveServers {
    std::mutex mutex;
    std::vector<ShareServer*> servers;
};

// Never destroyed: a registry (and its server) may outlive static
// destruction, as the engine's does.
LiveServers& liveServers() {
    static auto* live = new LiveServers;
    return *live;
}

// The engine is never destroyed, so its server would otherwise still be
// sending while the process tears down.
struct StopServersAtExit {
    StopServersAtExit() = default;
    StopServersAtExit(const StopServersAtExit&) = delete;
    StopServersAtExit& operator=(const StopServersAtExit&) = delete;
    ~StopServersAtExit() {
        LiveServers& live = liveServers();
        std::lock_guard lock(live.mutex);
        for (ShareServer* server : live.servers) server->stop();
    }
};
const StopServersAtExit g_stopServersAtExit;

} // namespace

bool ShareServer::Impl::overLimit(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr && info->socket_context == &kSocketOverLimit;
}

MHD_Result ShareServer::Impl::answer(MHD_Connection* connection, const char* url,
                                     const char* method) {
    if (overLimit(connection))
        return queueText(
            connection, MHD_HTTP_SERVICE_UNAVAILABLE, "too many peers\n",
            {{MHD_HTTP_HEADER_CONNECTION, "close"}, {MHD_HTTP_HEADER_RETRY_AFTER, "1"}});
    const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    if (!head && std::strcmp(method, MHD_HTTP_METHOD_GET) != 0)
        return queueText(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n",
                         {{MHD_HTTP_HEADER_ALLOW, "GET, HEAD"}});
    if (std::strlen(url) > kShareMaxUrl)
        return queueText(connection, MHD_HTTP_URI_TOO_LONG, "request target too long\n");
    std::string site, hash;
    if (!splitTarget(url, site, hash))
        return queueText(connection, MHD_HTTP_NOT_FOUND, "not found\n");
    return serveFile(connection, site, hash);
}

// HEAD comes here too: the library leaves the body out of its answer.
MHD_Result ShareServer::Impl::serveFile(MHD_Connection* connection, const std::string& site,
                                        const std::string& hash) {
    const std::optional<SharedFile> entry = registry.find(site, hash);
    if (!entry) return queueText(connection, MHD_HTTP_NOT_FOUND, "not found\n");
    // The registered inode itself, reached without following a link as the
    // last step: anything else put in its place since is not what was offered.
    UniqueFd file(::open(entry->path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat now {};
    if (!file) {
        if (!fileIsGone(errno))
            return queueText(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "try again\n",
                             {{MHD_HTTP_HEADER_RETRY_AFTER, "1"}});
        registry.forget(site, hash, entry->generation);
        return queueText(connection, MHD_HTTP_NOT_FOUND, "not found\n");
    }
    if (::fstat(file.get(), &now) != 0 || !sameFile(now, *entry)) {
        registry.forget(site, hash, entry->generation);
        return queueText(connection, MHD_HTTP_NOT_FOUND, "not found\n");
    }

    const long long size = entry->size;
    const std::string etag = "\"" + hash + "\"";
    const std::string modified = httpDate(now.st_mtim.tv_sec);
    long long first = 0, last = size - 1;
    RangeAnswer range = RangeAnswer::Whole;
    if (const char* header =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_RANGE)) {
        // If-Range: the range only for the representation the peer has;
        // a weak tag never matches.
        const char* ifRange =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_IF_RANGE);
        const std::string_view validator =
            ifRange != nullptr ? trimSpace(ifRange) : std::string_view();
        if (ifRange == nullptr || validator == etag || validator == modified)
            range = parseRange(header, size, first, last);
    }
    if (range == RangeAnswer::Unsatisfiable)
        return queueText(connection, MHD_HTTP_RANGE_NOT_SATISFIABLE, "",
                         {{MHD_HTTP_HEADER_CONTENT_RANGE, "bytes */" + std::to_string(size)},
                          {MHD_HTTP_HEADER_ACCEPT_RANGES, "bytes"}});

    Response response(
        fileResponse(std::move(file), first, static_cast<uint64_t>(last - first + 1)));
    if (!response) return MHD_NO;
    std::vector<Header> headers = {{MHD_HTTP_HEADER_ACCEPT_RANGES, "bytes"},
                                   {MHD_HTTP_HEADER_CONTENT_TYPE, "application/octet-stream"},
                                   {MHD_HTTP_HEADER_ETAG, etag},
                                   {MHD_HTTP_HEADER_LAST_MODIFIED, modified}};
    if (range != RangeAnswer::Part)
        return queue(connection, MHD_HTTP_OK, std::move(response), headers);
    headers.emplace_back(MHD_HTTP_HEADER_CONTENT_RANGE, "bytes " + std::to_string(first) + "-" +
                                                            std::to_string(last) + "/" +
                                                            std::to_string(size));
    return queue(connection, MHD_HTTP_PARTIAL_CONTENT, std::move(response), headers);
}

std::optional<ListenAddress> parseListenAddress(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string_view host = text.substr(0, colon), digits = text.substr(colon + 1);
    const auto port = digits.size() <= 5 ? parseDecimal(digits) : std::nullopt;
    if (!port || *port > 65535) return std::nullopt;
    ListenAddress out;
    out.text = std::string(text);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<uint16_t>(*port));
        const std::string literal(host.substr(1, host.size() - 2));
        if (::inet_pton(AF_INET6, literal.c_str(), &address.sin6_addr) != 1) return std::nullopt;
        std::memcpy(&out.address, &address, sizeof address);
        out.length = sizeof address;
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(*port));
        const std::string literal = host == "localhost" ? "127.0.0.1" : std::string(host);
        if (::inet_pton(AF_INET, literal.c_str(), &address.sin_addr) != 1) return std::nullopt;
        std::memcpy(&out.address, &address, sizeof address);
        out.length = sizeof address;
    }
    return out;
}

std::optional<ListenAddress> shareListenSetting() {
    const char* value = std::getenv("QUARN_SHARE_LISTEN");
    const std::string_view text =
        value != nullptr && value[0] != '\0' ? value : kDefaultShareListen;
    if (text == "off" || text == "OFF" || text == "Off") return std::nullopt;
    auto parsed = parseListenAddress(text);
    if (!parsed)
        std::fprintf(stderr,
                     "quarn: QUARN_SHARE_LISTEN=%s is neither host:port nor off; sharing is off\n",
                     std::string(text).c_str());
    return parsed;
}

std::unique_ptr<ShareServer> ShareServer::start(ShareRegistry& registry,
                                                const std::optional<ListenAddress>& listen) {
    if (!listen) return nullptr;
    const int family = listen->address.ss_family;
    // Our own socket, so that a busy port is told apart from other failures.
    UniqueFd socket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int one = 1;
    if (!socket || ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&listen->address), listen->length) !=
            0 ||
        ::listen(socket.get(), SOMAXCONN) != 0) {
        std::fprintf(stderr, "quarn: cannot listen on %s for sharing (%s); sharing is off\n",
                     listen->text.c_str(), std::strerror(errno));
        return nullptr;
    }
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&bound), &boundLength) != 0)
        return nullptr;

    std::unique_ptr<ShareServer> server(new ShareServer);
    server->port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    server->impl_ = std::make_unique<Impl>(registry);
    Impl* impl = server->impl_.get();

    // A thread per peer (at most the connection limit, plus the listener):
    // sendfile reads uncached pages synchronously, so a peer waiting on the
    // disk holds up only its own thread; the library also sends 2 MiB per
    // call this way instead of 128 KiB.
    // The inter-thread channel wakes the listener as each peer leaves, so its
    // connection is closed and counted out at once rather than at the next accept.
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION |
                     MHD_USE_POLL | MHD_USE_ITC;
    if (family == AF_INET6) flags |= MHD_USE_IPv6;
    MHD_Daemon* daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &onRequest, impl, MHD_OPTION_LISTEN_SOCKET,
        static_cast<MHD_socket>(socket.get()), MHD_OPTION_CONNECTION_LIMIT,
        kSharePeerLimit + kOverflowConnections, MHD_OPTION_CONNECTION_TIMEOUT, idleTimeoutSeconds(),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kShareConnectionMemory, MHD_OPTION_NOTIFY_CONNECTION,
        &onConnection, impl, MHD_OPTION_UNESCAPE_CALLBACK, &keepEscapes, nullptr, MHD_OPTION_END);
    if (daemon == nullptr) {
        std::fprintf(stderr, "quarn: the share server did not start on %s; sharing is off\n",
                     listen->text.c_str());
        return nullptr;
    }
    socket.release(); // the daemon closes it when it stops
    impl->daemon.reset(daemon);

    LiveServers& live = liveServers();
    std::lock_guard lock(live.mutex);
    live.servers.push_back(server.get());
    return server;
}

ShareServer::~ShareServer() {
    {
        LiveServers& live = liveServers();
        std::lock_guard lock(live.mutex);
        live.servers.erase(std::remove(live.servers.begin(), live.servers.end(), this),
                           live.servers.end());
    }
    stop();
}

void ShareServer::stop() noexcept {
    if (!impl_) return;
    std::lock_guard lock(impl_->mutex);
    // A forked child has the daemon's memory but none of its threads.
    if (impl_->owner != ::getpid()) return;
    impl_->daemon.reset();
}

} // namespace quarn::engine
