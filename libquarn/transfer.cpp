#include "libquarn/transfer.h"

#include "libquarn/text.h"
#include "libquarn/tls.h"
#include "libquarn/writeback.h"

#include <quarn/quarn.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace quarn::engine {
namespace {

constexpr long kBufferSize = 512L * 1024; // large reads mean large writes
constexpr auto kPollInterval = std::chrono::milliseconds(100);
constexpr auto kSampleEvery = std::chrono::milliseconds(100);
constexpr auto kSpeedWindow = std::chrono::seconds(2);
constexpr auto kMapEvery = std::chrono::milliseconds(200);
constexpr int kMaxRedirects = 5;
constexpr int kMaxRestarts = 1;
// Write-back starts this far behind the write position, so the flush at the
// end finds little left to do.
constexpr int64_t kWriteBackChunk = int64_t{8} * 1024 * 1024;
// A piece is only split when both halves keep at least this much.
constexpr int64_t kMinSteal = int64_t{1024} * 1024;
constexpr long kProbeTimeoutMs = 5000;
constexpr auto kProbeGrace = std::chrono::milliseconds(500);

// Nothing received for this long ends the download as a server failure.
// QUARN_STALL_TIMEOUT_MS shortens it so a test need not wait half a minute.
std::chrono::steady_clock::duration stallTimeout() {
    if (const auto ms = positiveEnv("QUARN_STALL_TIMEOUT_MS"))
        return std::chrono::milliseconds(*ms);
    return std::chrono::seconds(30);
}

// "scheme://host:port" with the default port filled in; empty if unparsable.
std::string originOf(const std::string& url) {
    const CurlUrl parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
        return {};
    const auto part = [&](CURLUPart which, unsigned flags) {
        char* text = nullptr;
        if (curl_url_get(parsed.get(), which, &text, flags) != CURLUE_OK) return std::string();
        const CurlString owned(text);
        return asciiLower(owned.get());
    };
    const std::string scheme = part(CURLUPART_SCHEME, 0), host = part(CURLUPART_HOST, 0),
                      port = part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if (scheme.empty() || host.empty()) return {};
    return scheme + "://" + host + ":" + port;
}

curl_slist* append(curl_slist* list, const std::string& line) {
    curl_slist* longer = curl_slist_append(list, line.c_str());
    if (longer == nullptr) throw std::bad_alloc();
    return longer;
}

CurlEasy newEasy() {
    CurlEasy easy(curl_easy_init());
    if (!easy) throw std::runtime_error("curl unavailable");
    curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy.get(), CURLOPT_PROTOCOLS_STR, "http,https");
    // Redirects are followed here, one hop at a time, so that what is sent
    // can depend on where a hop leads.
    curl_easy_setopt(easy.get(), CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy.get(), CURLOPT_USERAGENT, "libquarn/1.0.0");
    applyTlsSettings(easy.get());
    return easy;
}

} // namespace

// Where the file can be fetched from: the user's server, or a peer's share
// server. Each is dropped for this download once it fails.
struct Transfer::Source {
    enum class State { Probing, Ready, Dropped };
    enum class Ranges { Unknown, Yes };

    std::string url;
    bool server = false;
    State state = State::Ready;
    Ranges ranges = Ranges::Unknown; // one connection until the first answer shows
    int active = 0;
    CurlEasy probe; // HEAD, to learn that a peer has the file at its full length
    CurlSlist probeHeaders;
};

struct Transfer::Connection {
    int id = 0;
    CurlEasy easy;
    // Credentials, index and hash go to the user's server only, never to a
    // peer or a host a redirect names.
    CurlSlist trustedHeaders;
    CurlSlist plainHeaders;
    Source* source = nullptr;
    std::string url;
    std::string range;
    bool active = false;
    int redirects = 0;
    int restarts = 0;

    // The request: bytes [from, to), starting in the piece that starts at
    // `piece` (an offset: a split moves pieces' indices, never their starts).
    int64_t piece = -1;
    int64_t from = 0;
    int64_t to = 0;
    bool verifyAll = false; // compare every trusted byte of the piece, not just the overlap

    // The response.
    ResponseHead head;
    Judgement judgement;
    bool judged = false;
    bool accepted = false;
    bool redirecting = false;
    bool restart = false;    // the overlap did not match: ask again from the piece's start
    bool handedOver = false; // another connection took the rest of the piece
    bool unproven = false;   // wrote bytes of a response that declared no length
    int64_t cursor = 0;      // file offset of the next body byte
    int64_t flushMark = 0;
    Outcome failure = Outcome::Running;
    Clock::time_point lastProgress;
};

StatusSnapshot Transfer::initialStatus(int64_t onDisk, int64_t fileSize) {
    StatusSnapshot s;
    s.state = QUARN_STATE_PREPARING;
    s.speedKiB = 0;
    s.remainSec = -1;
    s.received = 0;
    s.fileBytes = onDisk;
    s.fileSize = fileSize;
    return s;
}

Transfer::Transfer(PreparedDownload job, DownloadFiles files, PieceMap pieces,
                   TransferOptions options, StatusBoard& board)
    : job_(std::move(job)), files_(std::move(files)), pieces_(std::move(pieces)),
      options_(std::move(options)), board_(board), origin_(originOf(job_.url)),
      multi_(curl_multi_init()), stallTimeout_(stallTimeout()) {
    if (!multi_ || origin_.empty()) throw std::runtime_error("curl unavailable");
    const int64_t size = pieces_.fileSize();
    const bool segmented =
        options_.mapped ||
        (size > kSegmentThreshold && (options_.connections > 1 || !options_.peers.empty()));
    if (segmented && !options_.mapped) {
        pieces_ =
            PieceMap::split(size, pieces_.pieces().front().done, std::max(1, options_.connections));
        options_.mapped = true;
        // Mapped, the .part's length no longer says what is trusted.
        options_.untrusted = false;
    }

    auto server = std::make_unique<Source>();
    server->url = job_.url;
    server->server = true;
    sources_.push_back(std::move(server));
    if (segmented) {
        for (const std::string& peer : options_.peers) {
            auto s = std::make_unique<Source>();
            s->url = peer + "/" + encodePathSegment(job_.site) + "/" + encodePathSegment(job_.hash);
            s->state = Source::State::Probing;
            s->probe = newEasy();
            curl_easy_setopt(s->probe.get(), CURLOPT_URL, s->url.c_str());
            curl_easy_setopt(s->probe.get(), CURLOPT_NOBODY, 1L);
            curl_easy_setopt(s->probe.get(), CURLOPT_TIMEOUT_MS, kProbeTimeoutMs);
            s->probeHeaders.reset(append(nullptr, "Accept-Encoding: identity"));
            curl_easy_setopt(s->probe.get(), CURLOPT_HTTPHEADER, s->probeHeaders.get());
            sources_.push_back(std::move(s));
        }
    }
    const int count = segmented ? std::clamp(options_.connections, 1, 16) : 1;
    for (int i = 0; i < count; ++i) addConnection();
}

Transfer::Connection& Transfer::addConnection() {
    auto c = std::make_unique<Connection>();
    c->id = static_cast<int>(connections_.size());
    c->easy = newEasy();
    CURL* easy = c->easy.get();
    curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kBufferSize);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, c.get());
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, c.get());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
    // Encoded bodies cannot be checked against the file: ask for none.
    const std::string identity = "Accept-Encoding: identity";
    c->plainHeaders.reset(append(nullptr, identity));
    curl_slist* trusted = append(nullptr, identity);
    c->trustedHeaders.reset(trusted);
    if (!job_.index.empty()) trusted = append(trusted, "index: " + job_.index);
    append(trusted, "hash: " + job_.hash);
    connections_.push_back(std::move(c));
    return *connections_.back();
}

Transfer::~Transfer() {
    if (thread_.joinable()) {
        requestStop();
        thread_.join();
    }
    // Handles leave the multi before either is cleaned up.
    for (auto& c : connections_)
        if (c->active) curl_multi_remove_handle(multi_.get(), c->easy.get());
    for (auto& s : sources_)
        if (s->state == Source::State::Probing)
            curl_multi_remove_handle(multi_.get(), s->probe.get());
}

void Transfer::launch() {
    thread_ = std::thread(&Transfer::run, this);
}

void Transfer::requestStop() noexcept {
    stop_.store(true, std::memory_order_release);
    curl_multi_wakeup(multi_.get());
}

void Transfer::join() {
    if (thread_.joinable()) thread_.join();
}

std::size_t Transfer::onBody(char* data, std::size_t size, std::size_t count, void* conn) {
    auto& c = *static_cast<Connection*>(conn);
    Transfer* self = nullptr;
    curl_easy_getinfo(c.easy.get(), CURLINFO_PRIVATE, &self);
    return self->body(c, data, size * count);
}

std::size_t Transfer::onHeader(char* data, std::size_t size, std::size_t count, void* conn) {
    auto& c = *static_cast<Connection*>(conn);
    Transfer* self = nullptr;
    curl_easy_getinfo(c.easy.get(), CURLINFO_PRIVATE, &self);
    // Returning short makes curl abort the request before any body byte.
    return self->header(c, std::string_view(data, size * count)) ? size * count : 0;
}

bool Transfer::header(Connection& c, std::string_view line) {
    if (c.judged) return true; // trailers
    c.head.addLine(line);
    if (!c.head.complete || (c.head.status >= 100 && c.head.status < 200)) return true;
    return acceptHead(c);
}

// Decides, before any body byte, whether this response is the file we asked
// for; anything else must never reach the .part file.
bool Transfer::acceptHead(Connection& c) {
    c.judged = true;
    const int64_t size = pieces_.fileSize();
    const Judgement j = judge(c.head, Expectation{c.from, c.to, size, c.from > 0 || c.to < size});
    switch (j.verdict) {
    case Verdict::Redirect: c.redirecting = true; return true;
    case Verdict::Unranged: {
        // The whole file instead of a range. Alone, this connection takes it
        // from the start, comparing what the .part holds rather than
        // throwing it away; beside others, this source is of no use.
        const bool alone = std::none_of(connections_.begin(), connections_.end(),
                                        [&](const auto& o) { return o->active && o.get() != &c; });
        if (!alone) {
            c.failure = Outcome::ServerError;
            return false;
        }
        singleStream_ = true;
        for (Piece& p : pieces_.pieces()) p.owner = c.id;
        c.from = 0;
        c.to = size;
        c.verifyAll = true;
        break;
    }
    case Verdict::Accept: break;
    case Verdict::Reject: c.failure = Outcome::ServerError; return false;
    }
    if (options_.untrusted) {
        // Bytes of unknown origin go only now that something better is here.
        if (::ftruncate(files_.part.get(), 0) != 0) {
            c.failure = Outcome::WriteError;
            return false;
        }
        options_.untrusted = false;
    }
    if (j.verdict == Verdict::Accept && c.source->ranges == Source::Ranges::Unknown &&
        c.head.status == 206)
        c.source->ranges = Source::Ranges::Yes;
    c.judgement = j;
    c.accepted = true;
    c.cursor = j.bodyStart;
    c.flushMark = c.cursor;
    return true;
}

std::size_t Transfer::body(Connection& c, const char* data, std::size_t length) {
    // Returning short makes curl abort with CURLE_WRITE_ERROR; c.failure says why.
    if (stop_.load(std::memory_order_acquire)) {
        c.failure = Outcome::Stopped;
        return 0;
    }
    if (c.redirecting) return length; // the page of a redirect is not ours
    if (!c.accepted) {
        c.failure = Outcome::ServerError;
        return 0;
    }
    if (!consume(c, data, length)) return 0;
    // The status goes out once per turn of the loop, not per block.
    c.lastProgress = Clock::now();
    receiving_ = true;
    return length;
}

// Takes the next body bytes at c.cursor: bytes the .part already trusts are
// compared, the rest written.
bool Transfer::consume(Connection& c, const char* data, std::size_t length) {
    while (length > 0) {
        if (c.cursor >= c.to) {
            c.failure = Outcome::ServerError; // more than was asked for
            return false;
        }
        Piece& p = pieces_.pieces()[static_cast<std::size_t>(pieces_.find(c.cursor))];
        if (p.owner != c.id) {
            c.handedOver = true; // the rest of the range is another connection's now
            return false;
        }
        const int64_t trustedEnd = p.start + p.done;
        if (c.cursor < trustedEnd) {
            const auto n = static_cast<std::size_t>(
                std::min<int64_t>(static_cast<int64_t>(length), trustedEnd - c.cursor));
            const int64_t at = firstMismatch(c.cursor, data, n);
            const int64_t same = (at < 0 ? c.cursor + static_cast<int64_t>(n) : at) - c.cursor;
            c.cursor += same;
            data += same;
            length -= static_cast<std::size_t>(same);
            if (at >= 0 && !mismatch(c, p, at)) return false;
            if (c.cursor == p.start + p.done && !p.verified) {
                p.verified = true;
                mapDirty_ = true;
            }
            continue;
        }
        const auto n = static_cast<std::size_t>(
            std::min<int64_t>(static_cast<int64_t>(length), p.end - c.cursor));
        if (!writeAt(c.cursor, data, n)) {
            c.failure = Outcome::WriteError;
            return false;
        }
        const auto written = static_cast<int64_t>(n);
        if (c.judgement.length >= 0 && c.cursor == trustedEnd) {
            p.done += written;
            mapDirty_ = true;
        } else {
            c.unproven = true;
        }
        p.written = std::max(p.written, c.cursor + written - p.start);
        received_ += written;
        c.cursor += written;
        data += n;
        length -= n;
        kickWriteBack(c);
    }
    return true;
}

// The response differs from a trusted byte at `at`. Returns whether the
// bytes from there on may be written.
bool Transfer::mismatch(Connection& c, Piece& p, int64_t at) {
    if (!c.source->server) {
        c.failure = Outcome::ServerError; // a peer with another file
        return false;
    }
    if (c.from > p.start && !c.verifyAll) {
        // The overlap differs: the server's file changed, or the tail of the
        // .part is damaged. Nothing before it can be trusted.
        if (options_.mapped) {
            // Pieces fetched out of order cannot be checked one by one
            // against a changed file: start over, overwriting as we go.
            for (auto& other : connections_)
                if (other.get() != &c && other->active) detach(*other);
            pieces_.forget();
            p.owner = c.id;
            saveMap(true);
        }
        c.restart = true;
        return false;
    }
    // A response that promises no length cannot overrule trusted bytes.
    if (c.judgement.length < 0) {
        c.failure = Outcome::ServerError;
        return false;
    }
    // Everything before the mismatch was compared with this response,
    // which from here on replaces what the .part held.
    if (!cutPiece(p, at)) {
        c.failure = Outcome::WriteError;
        return false;
    }
    return true;
}

int64_t Transfer::firstMismatch(int64_t at, const char* data, std::size_t length) {
    if (compareBuffer_.empty()) compareBuffer_.resize(kBufferSize);
    std::size_t offset = 0;
    while (offset < length) {
        const std::size_t want = std::min(length - offset, compareBuffer_.size());
        const ssize_t got = ::pread(files_.part.get(), compareBuffer_.data(), want,
                                    at + static_cast<int64_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return at + static_cast<int64_t>(offset); // shorter than it claimed
        const auto n = static_cast<std::size_t>(got);
        const auto diff = std::mismatch(data + offset, data + offset + n, compareBuffer_.data());
        if (diff.first != data + offset + n) return at + static_cast<int64_t>(diff.first - data);
        offset += n;
    }
    return -1;
}

bool Transfer::cutPiece(Piece& piece, int64_t at) {
    piece.done = at - piece.start;
    piece.written = piece.done;
    // What a resume trusts must not claim the old bytes any more: the map
    // says so at once, or, for a plain .part, its length.
    if (options_.mapped) return saveMap(true);
    return ::ftruncate(files_.part.get(), at) == 0;
}

bool Transfer::writeAt(int64_t at, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::pwrite(files_.part.get(), data, length, at);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
        at += n;
    }
    return true;
}

void Transfer::kickWriteBack(Connection& c) {
    if (c.cursor - c.flushMark < kWriteBackChunk) return;
    if (!writeBack_) writeBack_ = std::make_unique<WriteBack>(files_.part.get());
    writeBack_->start(c.flushMark, c.cursor - c.flushMark);
    c.flushMark = c.cursor;
}

void Transfer::configureHop(Connection& c, const std::string& url) {
    const bool trusted = c.source->server && originOf(url) == origin_;
    CURL* easy = c.easy.get();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER,
                     trusted ? c.trustedHeaders.get() : c.plainHeaders.get());
    if (trusted && !job_.userName.empty()) {
        curl_easy_setopt(easy, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(easy, CURLOPT_USERNAME, job_.userName.c_str());
        curl_easy_setopt(easy, CURLOPT_PASSWORD, job_.userPwd.c_str());
    } else {
        curl_easy_setopt(easy, CURLOPT_USERNAME, nullptr);
        curl_easy_setopt(easy, CURLOPT_PASSWORD, nullptr);
    }
    c.url = url;
}

Piece& Transfer::pieceOf(const Connection& c) {
    return pieces_.pieces()[static_cast<std::size_t>(pieces_.find(c.piece))];
}

bool Transfer::startRequest(Connection& c) {
    const Piece& p = pieceOf(c);
    c.from = c.verifyAll ? p.start : std::max(p.start, p.start + p.done - kOverlap);
    c.to = p.end;
    c.head = ResponseHead();
    c.judgement = Judgement();
    c.judged = c.accepted = c.redirecting = c.restart = c.handedOver = c.unproven = false;
    c.cursor = c.from;
    c.failure = Outcome::Running;
    configureHop(c, c.url);
    const int64_t size = pieces_.fileSize();
    if (c.from > 0 || c.to < size) {
        c.range = std::to_string(c.from) + "-" + (c.to < size ? std::to_string(c.to - 1) : "");
        curl_easy_setopt(c.easy.get(), CURLOPT_RANGE, c.range.c_str());
    } else {
        curl_easy_setopt(c.easy.get(), CURLOPT_RANGE, nullptr);
    }
    c.lastProgress = Clock::now();
    if (curl_multi_add_handle(multi_.get(), c.easy.get()) != CURLM_OK) return false;
    c.active = true;
    return true;
}

// A request has ended: follow a redirect, start a piece over, or settle what
// its response brought. ServerError means this connection's source failed.
Transfer::Outcome Transfer::requestEnded(Connection& c, CURLcode result) {
    curl_multi_remove_handle(multi_.get(), c.easy.get());
    c.active = false;
    if (result == CURLE_OK && c.redirecting) {
        char* next = nullptr;
        curl_easy_getinfo(c.easy.get(), CURLINFO_REDIRECT_URL, &next);
        if (next == nullptr || ++c.redirects > kMaxRedirects) return Outcome::ServerError;
        const std::string target = next;
        const std::string origin = originOf(target);
        // No way from TLS back to plain text: what the user sent encrypted
        // stays encrypted.
        const bool http = origin.rfind("http://", 0) == 0, https = origin.rfind("https://", 0) == 0;
        if (!(http || https) || (http && c.url.rfind("https://", 0) == 0))
            return Outcome::ServerError;
        c.url = target;
        c.active = startRequest(c);
        return c.active ? Outcome::Running : Outcome::ServerError;
    }
    if (c.restart) {
        if (++c.restarts > kMaxRestarts) return Outcome::ServerError;
        c.verifyAll = !options_.mapped; // a mapped file was forgotten: nothing to compare
        c.active = startRequest(c);
        return c.active ? Outcome::Running : Outcome::ServerError;
    }
    const bool reachedEnd = result == CURLE_OK && c.accepted && c.cursor == c.to;
    if (reachedEnd || c.handedOver) {
        if (c.unproven && reachedEnd) {
            // It ended exactly where it should: now its bytes count.
            for (Piece& p : pieces_.pieces())
                if (p.end > c.from && p.start < c.to) p.done = std::max(p.done, p.written);
            c.unproven = false;
            mapDirty_ = true;
        }
        undoUnproven(c);
        detach(c);
        return Outcome::Running;
    }
    undoUnproven(c);
    const Outcome why = c.failure != Outcome::Running           ? c.failure
                        : stop_.load(std::memory_order_acquire) ? Outcome::Stopped
                                                                : Outcome::ServerError;
    detach(c);
    return why;
}

// Takes back what a response without a declared length wrote: it never
// proved to be the file.
void Transfer::undoUnproven(Connection& c) {
    if (!c.unproven) return;
    c.unproven = false;
    for (Piece& p : pieces_.pieces())
        if (p.owner == c.id) p.written = p.done;
    if (!options_.mapped && ::ftruncate(files_.part.get(), pieces_.pieces().front().done) != 0 &&
        c.failure == Outcome::Running)
        c.failure = Outcome::WriteError;
}

// Ends the connection's part in the download: its request leaves the multi
// and its pieces go back to the pool.
void Transfer::detach(Connection& c) {
    if (c.active) {
        curl_multi_remove_handle(multi_.get(), c.easy.get());
        c.active = false;
        undoUnproven(c);
    }
    for (Piece& p : pieces_.pieces())
        if (p.owner == c.id) p.owner = -1;
    if (c.source != nullptr) --c.source->active;
    c.source = nullptr;
    c.piece = -1;
}

void Transfer::dropSource(Source& s) {
    if (s.state == Source::State::Probing) curl_multi_remove_handle(multi_.get(), s.probe.get());
    s.state = Source::State::Dropped;
    for (auto& c : connections_)
        if (c->source == &s) detach(*c);
}

void Transfer::probeEnded(Source& s, CURLcode result) {
    curl_multi_remove_handle(multi_.get(), s.probe.get());
    long status = 0;
    curl_off_t length = -1;
    curl_easy_getinfo(s.probe.get(), CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(s.probe.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    s.state = result == CURLE_OK && status == 200 && length == pieces_.fileSize()
                  ? Source::State::Ready
                  : Source::State::Dropped;
    s.probe.reset();
}

// The source for a new connection: the one with the fewest, peers first on
// a tie; one with unknown range support gets a single connection until its
// first answer shows.
Transfer::Source* Transfer::pickSource() {
    // Peers are asked first; while they are still answering (briefly), the
    // server gets its first connection only.
    const bool probing = Clock::now() < probeGrace_ &&
                         std::any_of(sources_.begin(), sources_.end(), [](const auto& s) {
                             return s->state == Source::State::Probing;
                         });
    Source* best = nullptr;
    for (auto& s : sources_) {
        if (s->state != Source::State::Ready) continue;
        if (s->ranges == Source::Ranges::Unknown && s->active > 0) continue;
        if (probing && s->server && s->active > 0) continue;
        if (best == nullptr || s->active < best->active ||
            (s->active == best->active && best->server && !s->server))
            best = s.get();
    }
    return best;
}

// Work for connection `thief`: the first piece nobody fetches, or else the
// back half of the piece with the most still to come.
int Transfer::nextPiece(int thief) {
    std::vector<Piece>& pieces = pieces_.pieces();
    for (std::size_t i = 0; i < pieces.size(); ++i)
        if (pieces[i].owner < 0 && !pieces[i].finished()) return static_cast<int>(i);
    int victim = -1;
    int64_t victimAt = 0, most = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const Piece& p = pieces[i];
        if (p.owner < 0 || p.finished()) continue;
        const Connection& owner = *connections_[static_cast<std::size_t>(p.owner)];
        const int64_t at = std::max(p.start + p.done, owner.accepted ? owner.cursor : owner.from);
        if (p.end - at > most) {
            most = p.end - at;
            victim = static_cast<int>(i);
            victimAt = at;
        }
    }
    if (victim < 0 || most < 2 * kMinSteal) return -1;
    // Split on a 64 KiB boundary, so requests stay aligned.
    const int64_t split = ((victimAt + most / 2) / kOverlap) * kOverlap;
    if (split <= victimAt || split >= pieces[static_cast<std::size_t>(victim)].end) return -1;
    pieces_.splitAt(static_cast<std::size_t>(victim), split);
    pieces[static_cast<std::size_t>(victim) + 1].owner = thief;
    mapDirty_ = true;
    return victim + 1;
}

Transfer::Outcome Transfer::schedule() {
    if (!singleStream_) {
        for (auto& c : connections_) {
            if (c->active) continue;
            Source* s = pickSource();
            if (s == nullptr) break;
            const int piece = nextPiece(c->id);
            if (piece < 0) break;
            Piece& p = pieces_.pieces()[static_cast<std::size_t>(piece)];
            p.owner = c->id;
            c->source = s;
            ++s->active;
            c->piece = p.start;
            c->url = s->url;
            c->redirects = c->restarts = 0;
            c->verifyAll = false;
            if (!startRequest(*c)) {
                detach(*c);
                return Outcome::ServerError;
            }
        }
    }
    const bool busy = std::any_of(connections_.begin(), connections_.end(),
                                  [](const auto& c) { return c->active; });
    if (busy || pieces_.finished()) return Outcome::Running;
    // Nothing runs and nothing could be started: no source is left.
    const bool waiting = std::any_of(sources_.begin(), sources_.end(), [](const auto& s) {
        return s->state == Source::State::Probing;
    });
    return waiting ? Outcome::Running : Outcome::ServerError;
}

// Writes the map in place with one pwrite, so a process killed at any
// moment leaves either the old text or the new one, never half of each
// (parse ignores a longer old text's tail).
bool Transfer::saveMap(bool force) {
    if (!options_.mapped || !map_) return true;
    const Clock::time_point now = Clock::now();
    if (!force && (!mapDirty_ || now - mapSaved_ < kMapEvery)) return true;
    const std::string text = pieces_.serialise();
    if (::pwrite(map_.get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
        return false;
    if (text.size() < mapLength_ && ::ftruncate(map_.get(), static_cast<off_t>(text.size())) != 0)
        return false;
    mapLength_ = text.size();
    mapDirty_ = false;
    mapSaved_ = now;
    return true;
}

// Speed over the last ~2 s from samples at least 100 ms apart, so a burst or
// a pause shows up smoothly rather than as a spike.
void Transfer::sampleSpeed(Clock::time_point now) {
    if (!samples_.empty() && now - samples_.back().at < kSampleEvery) return;
    samples_.push_back({now, received_});
    while (samples_.size() > 1 && samples_[1].at <= now - kSpeedWindow) samples_.pop_front();
    const double seconds = std::chrono::duration<double>(now - samples_.front().at).count();
    if (seconds < 0.1) return;
    const double bytesPerSecond =
        static_cast<double>(received_ - samples_.front().received) / seconds;
    speedKiB_ = static_cast<int32_t>(std::min(bytesPerSecond / 1024.0, 2147483647.0));
    if (bytesPerSecond >= 1.0) {
        const double left = static_cast<double>(pieces_.fileSize() - pieces_.onDisk());
        remainSec_ = static_cast<int32_t>(std::min(std::ceil(left / bytesPerSecond), 2147483647.0));
    } else {
        remainSec_ = -1;
    }
}

void Transfer::publish(int32_t state) {
    StatusSnapshot s;
    s.state = state;
    s.speedKiB = speedKiB_;
    s.remainSec = remainSec_;
    s.received = received_;
    s.fileBytes = pieces_.onDisk();
    s.fileSize = pieces_.fileSize();
    board_.publish(s);
}

Transfer::Outcome Transfer::loop() {
    if (options_.mapped) {
        map_.reset(::openat(files_.dir.get(), files_.mapName.c_str(),
                            O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
        struct stat info {};
        if (!map_ || ::fstat(map_.get(), &info) != 0) return Outcome::WriteError;
        mapLength_ = static_cast<std::size_t>(info.st_size);
        if (!saveMap(true)) return Outcome::WriteError;
    }
    for (auto& s : sources_)
        if (s->state == Source::State::Probing &&
            curl_multi_add_handle(multi_.get(), s->probe.get()) != CURLM_OK)
            s->state = Source::State::Dropped;
    probeGrace_ = Clock::now() + kProbeGrace;
    for (;;) {
        if (const Outcome o = schedule(); o != Outcome::Running) return o;
        int running = 0;
        if (curl_multi_perform(multi_.get(), &running) != CURLM_OK) return Outcome::ServerError;
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_.get(), &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            // The message lives in its handle: it goes with the removal.
            CURL* const easy = message->easy_handle;
            const CURLcode result = message->data.result;
            for (auto& s : sources_)
                if (s->probe.get() == easy) probeEnded(*s, result);
            for (auto& c : connections_) {
                if (c->easy.get() != easy) continue;
                Source* source = c->source;
                const Outcome outcome = requestEnded(*c, result);
                if (outcome == Outcome::ServerError && source != nullptr)
                    dropSource(*source);
                else if (outcome != Outcome::Running)
                    return outcome;
            }
        }
        const Clock::time_point now = Clock::now();
        // Before the completion below, so the last bytes show as received
        // while the closing flush runs.
        if (receiving_) {
            sampleSpeed(now);
            publish(QUARN_STATE_RECEIVING);
        }
        if (pieces_.finished()) return Outcome::Complete;
        if (stop_.load(std::memory_order_acquire)) return Outcome::Stopped;
        for (auto& c : connections_) {
            // Only body bytes count: a head trickled line by line is a stall too.
            if (c->active && now - c->lastProgress > stallTimeout_ && c->source != nullptr)
                dropSource(*c->source);
        }
        if (!saveMap(false)) return Outcome::WriteError;
        curl_multi_poll(multi_.get(), nullptr, 0, static_cast<int>(kPollInterval.count()), nullptr);
    }
}

void Transfer::run() {
    publish(QUARN_STATE_CONNECTING);
    Outcome outcome = loop();
    for (auto& c : connections_) {
        if (c->failure == Outcome::WriteError && outcome != Outcome::Complete)
            outcome = Outcome::WriteError;
        detach(*c);
    }
    if (outcome != Outcome::Complete && !saveMap(true)) outcome = Outcome::WriteError;
    finish(outcome);
}

// "Complete" means on disk: the data is flushed before the rename and the
// directory after it, so a power cut cannot take back a reported success.
Transfer::Outcome Transfer::complete() {
    const int fd = files_.part.get();
    struct stat info {};
    if (::fstat(fd, &info) != 0) return Outcome::WriteError;
    // Left over from a longer file of the same name; only now, with every
    // byte of this one in place, is it safe to drop.
    if (info.st_size > pieces_.fileSize() && ::ftruncate(fd, pieces_.fileSize()) != 0)
        return Outcome::WriteError;
    writeBack_.reset(); // it borrows the descriptor
    if (::fdatasync(fd) != 0 || files_.part.close() != 0) return Outcome::WriteError;
    const int dir = files_.dir.get();
    map_.reset();
    // The map goes first: a .part without one is a prefix, and this one is whole.
    if (::unlinkat(dir, files_.mapName.c_str(), 0) != 0 && errno != ENOENT)
        return Outcome::WriteError;
    const char* part = files_.partName.c_str();
    const char* final = files_.finalName.c_str();
    if (::renameat2(dir, part, dir, final, RENAME_NOREPLACE) != 0) {
        // Without RENAME_NOREPLACE a link gives the same no-clobber promise.
        if ((errno != EINVAL && errno != ENOSYS) || ::linkat(dir, part, dir, final, 0) != 0 ||
            ::unlinkat(dir, part, 0) != 0)
            return Outcome::WriteError;
    }
    if (::fsync(dir) != 0) return Outcome::WriteError;
    return Outcome::Complete;
}

void Transfer::finish(Outcome outcome) {
    if (outcome == Outcome::Complete) {
        outcome = complete();
    } else {
        writeBack_.reset();
        files_.part.close();
    }
    int32_t state = QUARN_STATE_SERVER_ERROR;
    switch (outcome) {
    case Outcome::Complete: state = QUARN_STATE_COMPLETE; break;
    case Outcome::Stopped: state = QUARN_STATE_STOPPED; break;
    case Outcome::WriteError: state = QUARN_STATE_WRITE_ERROR; break;
    default: break;
    }
    // Once ended there is nothing left to wait for.
    speedKiB_ = 0;
    remainSec_ = 0;
    publish(state);
    finished_.store(true, std::memory_order_release);
}

} // namespace quarn::engine
