#include "libquarn/share_server.h"

#include "libquarn/handles.h"
#include "libquarn/requests.h"
#include "libquarn/share_answer.h"
#include "libquarn/share_http.h"
#include "libquarn/share_policy.h"
#include "libquarn/share_registry.h"
#include "libquarn/text.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quarn::engine {
namespace {

using namespace std::chrono_literals;
using http::Field;

// Pieces one connection sends (or reads) before the next one gets its turn.
constexpr int kPiecesPerTurn = 4;
// The most we read and drop from a peer while closing on it.
constexpr std::size_t kLingerDiscard = std::size_t{64} * 1024;
// After running out of descriptors, accepting waits this long.
constexpr auto kAcceptPause = 100ms;
// Descriptors left to the rest of the process when the limit is raised.
constexpr rlim_t kSpareDescriptors = 512;
constexpr int kAcceptsPerTurn = 64;
constexpr int kEventsPerWait = 256;

constexpr std::uint64_t kListenerId = 0;
constexpr std::uint64_t kWakeId = 1;
constexpr std::uint64_t kFirstConnectionId = 2;

constexpr std::string_view kLinkSuffix =
    ".meta4>; rel=describedby; type=\"application/metalink4+xml\"";

// The bodies of answers that are not a file, by status.
struct Refusal {
    int status;
    const char* body;
};
constexpr Refusal kRefusals[] = {
    {400, "bad request\n"},
    {404, "not found\n"},
    {405, "method not allowed\n"},
    {414, "request target too long\n"},
    {416, ""},
    {431, "request header fields too large\n"},
    {503, "try again\n"},
    {505, "HTTP version not supported\n"},
};

std::string_view refusalBody(int status) {
    for (const Refusal& r : kRefusals)
        if (r.status == status) return r.body;
    return "";
}

// Errors that mean the registered file is gone (or no longer ours to give),
// as opposed to a passing shortage such as descriptors.
bool fileIsGone(int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP || error == EACCES ||
           error == EPERM;
}

enum class Phase {
    Head,   // reading a request head
    Answer, // sending an answer
    Linger, // our side closed, dropping what the peer still sends
};

struct Connection {
    std::uint64_t id = 0;
    UniqueFd socket;
    std::string addressKey;
    Phase phase = Phase::Head;

    std::string in; // received and not yet answered
    http::HeadScanner scanner;
    std::optional<ShareClock::time_point> headSince; // a head is due, since then
    ShareClock::time_point lastActivity;
    ShareClock::time_point lingerSince;
    std::size_t lingerDropped = 0;

    Outgoing out;
    bool closeAfter = false;
    bool counted = true;        // by admission, until it says otherwise
    bool keepAliveSaid = false; // an HTTP/1.0 peer asked to keep the connection

    // Edge-triggered: what the socket can do until it says EAGAIN.
    bool readable = false, writable = false;
    bool queued = false;           // in the run queue
    bool waitingForBudget = false; // in the upload rate's queue
};

enum class Progress { Wait, Again, Closed };

} // namespace

struct ShareServer::Impl {
    Impl(ShareRegistry& r, ShareTimeouts t, std::optional<std::int64_t> rate)
        : registry(r), timeouts(t) {
        if (rate) budget.emplace(*rate, ShareClock::now());
    }

    void run() noexcept;
    void acceptAll(ShareClock::time_point now);
    void runTurns(ShareClock::time_point now);
    void releaseBudgetWaiters(ShareClock::time_point now);
    void sweep(ShareClock::time_point now);

    Progress step(Connection& c, ShareClock::time_point now);
    bool readHead(Connection& c, ShareClock::time_point now); // false: the peer is gone
    void handleHead(Connection& c, std::size_t length);
    void answer(Connection& c, const http::Parsed& parsed);
    void answerFile(Connection& c, const http::Target& target, const SharedFile& entry,
                    const http::Request& request);
    void answerMetalink(Connection& c, const http::Target& target, const SharedFile& entry,
                        const http::Request& request);
    bool stillRegistered(Connection& c, const http::Target& target, const SharedFile& entry,
                         bool withBody, UniqueFd& file);
    void refuse(Connection& c, int status, std::vector<Field> fields = {});
    // The answer's head (Date and Connection added) and `body` after it,
    // unless it answers a HEAD. `length`: of a body sent apart (a file's).
    void respond(Connection& c, int status, std::vector<Field> fields, std::string_view body,
                 bool withBody, std::optional<long long> length = std::nullopt);
    Progress send(Connection& c, ShareClock::time_point now);
    bool finishAnswer(Connection& c, ShareClock::time_point now); // false: close it now
    bool startLinger(Connection& c, ShareClock::time_point now);
    bool drainLinger(Connection& c); // false: done with it
    void close(std::uint64_t id);
    void schedule(Connection& c);
    ShareClock::time_point deadline(const Connection& c) const;
    void noteDeadline(const Connection& c) { nextSweep = std::min(nextSweep, deadline(c)); }
    const std::string& date();

    ShareRegistry& registry;
    const ShareTimeouts timeouts;
    std::optional<RateBudget> budget;
    UniqueFd epoll, listener, wakeup;
    std::thread thread;
    const pid_t owner = ::getpid();
    std::mutex stopMutex;
    bool stopped = false;

    // The server thread's alone from here on.
    std::unordered_map<std::uint64_t, std::unique_ptr<Connection>> connections;
    std::uint64_t nextId = kFirstConnectionId;
    ShareAdmission admission;
    std::deque<std::uint64_t> runnable;
    std::deque<std::uint64_t> waitingForBudget;
    ShareClock::time_point nextSweep = ShareClock::time_point::max();
    std::optional<ShareClock::time_point> acceptResumes;
    BlockPool blocks;
    ShareMappings mappings;
    std::time_t dateSecond = -1;
    std::string dateText;
    std::array<char, http::kMaxHead + 1> scratch{};
};

void ShareServer::Impl::run() noexcept {
    std::array<epoll_event, kEventsPerWait> events{};
    for (;;) {
        int timeout = -1;
        const ShareClock::time_point before = ShareClock::now();
        ShareClock::time_point wake = nextSweep;
        if (!waitingForBudget.empty())
            wake = std::min(wake, budget->readyAt(budget->quantum(), before));
        if (acceptResumes) wake = std::min(wake, *acceptResumes);
        if (!runnable.empty()) {
            timeout = 0;
        } else if (wake != ShareClock::time_point::max()) {
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wake - before).count();
            timeout = static_cast<int>(std::clamp<long long>(ms, 0, INT_MAX));
        }
        const int n = ::epoll_wait(epoll.get(), events.data(), kEventsPerWait, timeout);
        const ShareClock::time_point now = ShareClock::now();
        for (int i = 0; i < n; ++i) {
            const std::uint64_t id = events[i].data.u64;
            if (id == kWakeId) return;
            if (id == kListenerId) {
                try {
                    acceptAll(now);
                } catch (...) {
                    // Out of memory: the connection being taken goes with its
                    // descriptor; the listener wakes us again for the others.
                }
                continue;
            }
            const auto it = connections.find(id);
            if (it == connections.end()) continue;
            Connection& c = *it->second;
            const std::uint32_t e = events[i].events;
            if (e & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) c.readable = true;
            if (e & (EPOLLOUT | EPOLLHUP | EPOLLERR)) c.writable = true;
            schedule(c);
        }
        if (acceptResumes && now >= *acceptResumes) {
            acceptResumes.reset();
            epoll_event listen{};
            listen.events = EPOLLIN;
            listen.data.u64 = kListenerId;
            ::epoll_ctl(epoll.get(), EPOLL_CTL_MOD, listener.get(), &listen);
        }
        releaseBudgetWaiters(now);
        runTurns(now);
        if (now >= nextSweep) sweep(now);
    }
}

void ShareServer::Impl::acceptAll(ShareClock::time_point now) {
    for (int i = 0; i < kAcceptsPerTurn; ++i) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        UniqueFd socket(::accept4(listener.get(), reinterpret_cast<sockaddr*>(&address), &length,
                                  SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!socket) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Level-triggered, the listener would wake us at once again:
                // it sleeps until descriptors may have come free.
                epoll_event none{};
                none.data.u64 = kListenerId;
                ::epoll_ctl(epoll.get(), EPOLL_CTL_MOD, listener.get(), &none);
                acceptResumes = now + kAcceptPause;
            }
            return;
        }
        auto c = std::make_unique<Connection>();
        c->id = nextId++;
        c->socket = std::move(socket);
        c->addressKey = shareAddressKey(address);
        c->headSince = now;
        c->lastActivity = now;
        const ShareAdmission::Verdict verdict = admission.admit(c->addressKey);
        if (verdict == ShareAdmission::Verdict::Drop) continue;
        Connection& added = *connections.emplace(c->id, std::move(c)).first->second;
        const int one = 1;
        ::setsockopt(added.socket.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        event.data.u64 = added.id;
        if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, added.socket.get(), &event) != 0) {
            close(added.id);
            continue;
        }
        if (verdict == ShareAdmission::Verdict::Refuse) {
            // Told at once, without reading its request.
            added.phase = Phase::Answer;
            added.headSince.reset();
            added.closeAfter = true;
            respond(added, 503, {{"Retry-After", "1"}}, "too many connections\n", true);
        }
        noteDeadline(added);
    }
}

void ShareServer::Impl::schedule(Connection& c) {
    if (c.queued || c.waitingForBudget) return;
    c.queued = true;
    runnable.push_back(c.id);
}

void ShareServer::Impl::runTurns(ShareClock::time_point now) {
    // One turn each for those queued now; whoever wants more goes to the back.
    for (std::size_t n = runnable.size(); n > 0; --n) {
        const std::uint64_t id = runnable.front();
        runnable.pop_front();
        const auto it = connections.find(id);
        if (it == connections.end()) continue;
        Connection& c = *it->second;
        c.queued = false;
        Progress progress = Progress::Closed;
        try {
            progress = step(c, now);
        } catch (...) {
            // Out of memory for this one's answer: it is closed, the others go on.
        }
        if (progress == Progress::Closed) {
            close(id);
            continue;
        }
        if (progress == Progress::Again) schedule(c);
        noteDeadline(c);
    }
}

void ShareServer::Impl::releaseBudgetWaiters(ShareClock::time_point now) {
    if (waitingForBudget.empty() || budget->readyAt(budget->quantum(), now) > now) return;
    // In the order they came, so each gets its share in turn.
    while (!waitingForBudget.empty()) {
        const std::uint64_t id = waitingForBudget.front();
        waitingForBudget.pop_front();
        const auto it = connections.find(id);
        if (it == connections.end()) continue;
        it->second->waitingForBudget = false;
        it->second->lastActivity = now;
        schedule(*it->second);
    }
}

ShareClock::time_point ShareServer::Impl::deadline(const Connection& c) const {
    switch (c.phase) {
    case Phase::Head: {
        ShareClock::time_point d = c.lastActivity + timeouts.idle;
        if (c.headSince) d = std::min(d, *c.headSince + timeouts.head);
        return d;
    }
    case Phase::Answer:
        return c.waitingForBudget ? ShareClock::time_point::max() : c.lastActivity + timeouts.idle;
    case Phase::Linger: return c.lingerSince + timeouts.linger;
    }
    return ShareClock::time_point::max();
}

void ShareServer::Impl::sweep(ShareClock::time_point now) {
    nextSweep = ShareClock::time_point::max();
    std::vector<std::uint64_t> expired;
    for (const auto& [id, c] : connections) {
        const ShareClock::time_point d = deadline(*c);
        if (d <= now)
            expired.push_back(id);
        else
            nextSweep = std::min(nextSweep, d);
    }
    for (const std::uint64_t id : expired) close(id);
    nextSweep = std::min(nextSweep, mappings.sweep(now));
}

void ShareServer::Impl::close(std::uint64_t id) {
    const auto it = connections.find(id);
    if (it == connections.end()) return;
    if (it->second->counted)
        admission.leave(it->second->addressKey, it->second->phase == Phase::Linger);
    it->second->out.clear(blocks);
    connections.erase(it); // the descriptor goes, and with it the epoll entry
}

Progress ShareServer::Impl::step(Connection& c, ShareClock::time_point now) {
    for (int reads = 0;;) {
        switch (c.phase) {
        case Phase::Head: {
            const http::HeadScan scan = c.scanner.scan(c.in);
            if (scan.kind == http::HeadScan::Kind::Complete) {
                handleHead(c, scan.length);
                continue;
            }
            if (scan.kind == http::HeadScan::Kind::TooLarge) {
                c.in.clear();
                refuse(c, scan.status);
                continue;
            }
            if (!c.readable) return Progress::Wait;
            if (reads++ == kPiecesPerTurn) return Progress::Again;
            if (!readHead(c, now)) return Progress::Closed;
            continue;
        }
        case Phase::Answer: {
            if (!c.writable) return Progress::Wait;
            const Progress progress = send(c, now);
            if (progress != Progress::Again || c.phase == Phase::Answer) return progress;
            continue; // answered: on to the next request, or to closing
        }
        case Phase::Linger: return drainLinger(c) ? Progress::Wait : Progress::Closed;
        }
    }
}

bool ShareServer::Impl::readHead(Connection& c, ShareClock::time_point now) {
    // One byte past the limit is enough to tell a head too large.
    const std::size_t room = http::kMaxHead + 1 - std::min(c.in.size(), http::kMaxHead);
    const ssize_t n = ::recv(c.socket.get(), scratch.data(), room, 0);
    if (n > 0) {
        if (!c.headSince) c.headSince = now; // a new request begins
        c.in.append(scratch.data(), static_cast<std::size_t>(n));
        c.lastActivity = now;
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        c.readable = false;
        return true;
    }
    return n < 0 && errno == EINTR; // the peer left, or its connection failed
}

void ShareServer::Impl::handleHead(Connection& c, std::size_t length) {
    const http::Parsed parsed = http::parseRequest(std::string_view(c.in).substr(0, length));
    c.in.erase(0, length);
    c.scanner.reset();
    c.headSince.reset();
    c.phase = Phase::Answer;
    answer(c, parsed);
    // Nothing after a head we refuse is read as a request.
    if (c.closeAfter) c.in.clear();
}

void ShareServer::Impl::answer(Connection& c, const http::Parsed& parsed) {
    if (parsed.status != 0) return refuse(c, parsed.status);
    const http::Request& request = parsed.request;
    // Another method may have sent a body we will not read: answered, closed.
    if (request.method == http::Method::Other) return refuse(c, 405, {{"Allow", "GET, HEAD"}});
    c.closeAfter = !request.keepAlive;
    c.keepAliveSaid = request.http10 && request.keepAlive;
    const bool withBody = request.method == http::Method::Get;
    const std::optional<http::Target> target = http::splitTarget(request.target);
    std::optional<SharedFile> entry;
    if (target) entry = registry.find(target->site, target->hash);
    if (!entry) return respond(c, 404, {}, refusalBody(404), withBody);
    if (target->metalink) return answerMetalink(c, *target, *entry, request);
    answerFile(c, *target, *entry, request);
}

// Opens the registered inode itself, reached without following a link as
// the last step: anything else put in its place since is not what was
// offered, and leaves the registry. False when it has been answered.
bool ShareServer::Impl::stillRegistered(Connection& c, const http::Target& target,
                                        const SharedFile& entry, bool withBody, UniqueFd& file) {
    file.reset(::open(entry.path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!file && !fileIsGone(errno)) {
        respond(c, 503, {{"Retry-After", "1"}}, refusalBody(503), withBody);
        return false;
    }
    struct stat now {};
    if (!file || ::fstat(file.get(), &now) != 0 || !entry.matches(now)) {
        registry.forget(target.site, target.hash, entry.generation);
        mappings.drop(target.site, target.hash, entry.generation);
        respond(c, 404, {}, refusalBody(404), withBody);
        return false;
    }
    return true;
}

void ShareServer::Impl::answerFile(Connection& c, const http::Target& target,
                                   const SharedFile& entry, const http::Request& request) {
    UniqueFd file;
    const bool withBody = request.method == http::Method::Get;
    if (!stillRegistered(c, target, entry, withBody, file)) return;
    const long long size = entry.size;
    const std::string etag = "\"" + target.hash + "\"";
    const std::string modified = http::httpDate(entry.modified.tv_sec);
    const http::RangeAnswer range = http::answerRange(request, size, etag, modified);
    if (range.kind == http::RangeAnswer::Kind::Unsatisfiable)
        return respond(
            c, 416,
            {{"Content-Range", "bytes */" + std::to_string(size)}, {"Accept-Ranges", "bytes"}}, "",
            false);
    const bool part = range.kind == http::RangeAnswer::Kind::Part;
    std::vector<Field> fields = {{"Accept-Ranges", "bytes"},
                                 {"Content-Type", "application/octet-stream"},
                                 {"ETag", etag},
                                 {"Last-Modified", modified}};
    if (part)
        fields.emplace_back("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                                 std::to_string(range.last) + "/" +
                                                 std::to_string(size));
    if (entry.description) {
        fields.emplace_back("Repr-Digest", entry.description->reprDigest);
        fields.emplace_back("Link", "</" + encodePathSegment(target.site) + "/" + target.hash +
                                        std::string(kLinkSuffix));
    }
    respond(c, part ? 206 : 200, std::move(fields), "", false, range.last - range.first + 1);
    if (!withBody) return;
    std::shared_ptr<const FileMapping> map =
        mappings.of(target.site, target.hash, entry, file.get(), ShareClock::now());
    nextSweep = std::min(nextSweep, ShareMappings::keptUntil(ShareClock::now()));
    c.out.attach(FileBody{std::move(file), entry, target.site, target.hash, range.first,
                          range.last + 1, std::move(map)});
}

void ShareServer::Impl::answerMetalink(Connection& c, const http::Target& target,
                                       const SharedFile& entry, const http::Request& request) {
    UniqueFd file;
    const bool withBody = request.method == http::Method::Get;
    if (!stillRegistered(c, target, entry, withBody, file)) return;
    if (!entry.description)
        return respond(c, 503, {{"Retry-After", "1"}}, refusalBody(503), withBody);
    respond(c, 200, {{"Content-Type", "application/metalink4+xml"}}, entry.description->metalink,
            withBody);
}

void ShareServer::Impl::refuse(Connection& c, int status, std::vector<Field> fields) {
    c.phase = Phase::Answer;
    c.closeAfter = true;
    respond(c, status, std::move(fields), refusalBody(status), true);
}

void ShareServer::Impl::respond(Connection& c, int status, std::vector<Field> fields,
                                std::string_view body, bool withBody,
                                std::optional<long long> length) {
    const bool typed = std::any_of(fields.begin(), fields.end(),
                                   [](const Field& f) { return f.first == "Content-Type"; });
    if (!length && !typed) fields.emplace_back("Content-Type", "text/plain");
    fields.emplace_back("Date", date());
    if (c.closeAfter)
        fields.emplace_back("Connection", "close");
    else if (c.keepAliveSaid)
        fields.emplace_back("Connection", "keep-alive");
    std::string head =
        http::responseHead(status, fields, length.value_or(static_cast<long long>(body.size())));
    if (withBody) head.append(body);
    c.out.start(std::move(head));
}

const std::string& ShareServer::Impl::date() {
    const std::time_t now = std::time(nullptr);
    if (now != dateSecond) {
        dateSecond = now;
        dateText = http::httpDate(now);
    }
    return dateText;
}

Progress ShareServer::Impl::send(Connection& c, ShareClock::time_point now) {
    const std::uint64_t before = c.out.sent();
    const Outgoing::Sent sent = c.out.send(c.socket.get(), budget ? &*budget : nullptr, now, blocks,
                                           budget ? 1 : kPiecesPerTurn);
    if (c.out.sent() != before) c.lastActivity = now;
    switch (sent) {
    case Outgoing::Sent::Done: return finishAnswer(c, now) ? Progress::Again : Progress::Closed;
    case Outgoing::Sent::Blocked: c.writable = false; return Progress::Wait;
    case Outgoing::Sent::Again: return Progress::Again;
    case Outgoing::Sent::Budget:
        c.waitingForBudget = true;
        waitingForBudget.push_back(c.id);
        return Progress::Wait;
    case Outgoing::Sent::Changed: {
        // Cut before its length, and out of the registry.
        const FileBody& body = *c.out.body();
        registry.forget(body.site, body.hash, body.registered.generation);
        mappings.drop(body.site, body.hash, body.registered.generation);
        return Progress::Closed;
    }
    case Outgoing::Sent::Failed: return Progress::Closed;
    }
    return Progress::Closed;
}

bool ShareServer::Impl::finishAnswer(Connection& c, ShareClock::time_point now) {
    c.out.clear(blocks);
    if (c.closeAfter) return startLinger(c, now);
    c.phase = Phase::Head;
    c.keepAliveSaid = false;
    c.lastActivity = now;
    // A request already here (pipelined) is due now; otherwise the next
    // one's time starts with its first byte.
    if (!c.in.empty()) c.headSince = now;
    return true;
}

bool ShareServer::Impl::startLinger(Connection& c, ShareClock::time_point now) {
    if (!admission.linger(c.addressKey)) {
        c.counted = false;
        return false;
    }
    ::shutdown(c.socket.get(), SHUT_WR);
    c.phase = Phase::Linger;
    c.lingerSince = now;
    c.in.clear();
    return true;
}

bool ShareServer::Impl::drainLinger(Connection& c) {
    while (c.readable) {
        const ssize_t n = ::recv(c.socket.get(), scratch.data(), scratch.size(), 0);
        if (n > 0) {
            c.lingerDropped += static_cast<std::size_t>(n);
            if (c.lingerDropped > kLingerDiscard) return false;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            c.readable = false;
            return true;
        }
        return false; // the peer closed too, or failed
    }
    return true;
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

namespace {

// Room for every connection the server takes, when the hard limit allows:
// the common soft limit of 1024 would not hold them.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    const rlim_t wanted = kShareConnectionLimit + kShareRefusalsPerAddress + kSpareDescriptors;
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted) return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

} // namespace

std::unique_ptr<ShareServer> ShareServer::start(ShareRegistry& registry,
                                                const std::optional<ListenAddress>& listen) {
    if (!listen) return nullptr;
    const int family = listen->address.ss_family;
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

    auto impl = std::make_unique<Impl>(registry, shareTimeoutsFromEnv(), shareRateFromEnv());
    impl->listener = std::move(socket);
    impl->epoll.reset(::epoll_create1(EPOLL_CLOEXEC));
    impl->wakeup.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    epoll_event listenEvent{}, wakeEvent{};
    listenEvent.events = EPOLLIN;
    listenEvent.data.u64 = kListenerId;
    wakeEvent.events = EPOLLIN;
    wakeEvent.data.u64 = kWakeId;
    if (!impl->epoll || !impl->wakeup ||
        ::epoll_ctl(impl->epoll.get(), EPOLL_CTL_ADD, impl->listener.get(), &listenEvent) != 0 ||
        ::epoll_ctl(impl->epoll.get(), EPOLL_CTL_ADD, impl->wakeup.get(), &wakeEvent) != 0) {
        std::fprintf(stderr, "quarn: the share server did not start on %s (%s); sharing is off\n",
                     listen->text.c_str(), std::strerror(errno));
        return nullptr;
    }
    raiseDescriptorLimit();

    std::unique_ptr<ShareServer> server(new ShareServer);
    server->port_ =
        ntohs(family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(bound).sin6_port
                                 : reinterpret_cast<const sockaddr_in&>(bound).sin_port);
    Impl* running = impl.get();
    impl->thread = std::thread([running] { running->run(); });
    ::pthread_setname_np(impl->thread.native_handle(), "quarn-share");
    server->impl_ = std::move(impl);
    return server;
}

ShareServer::~ShareServer() {
    // A forked child has the server's memory but not its thread: nothing
    // there to stop or join.
    if (impl_ && impl_->owner != ::getpid()) {
        static_cast<void>(impl_.release());
        return;
    }
    stop();
}

void ShareServer::stop() noexcept {
    if (!impl_ || impl_->owner != ::getpid()) return;
    std::lock_guard lock(impl_->stopMutex);
    if (impl_->stopped) return;
    impl_->stopped = true;
    const std::uint64_t one = 1;
    static_cast<void>(::write(impl_->wakeup.get(), &one, sizeof one));
    impl_->thread.join();
    impl_->connections.clear();
    impl_->listener.reset();
}

} // namespace quarn::engine
