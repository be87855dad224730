#include "transfer.h"

#include "tls.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace quarn::engine {
namespace {

constexpr long kBufferSize = 512 * 1024; // large reads mean large writes
constexpr auto kPollInterval = std::chrono::milliseconds(100);
constexpr auto kSampleEvery = std::chrono::milliseconds(100);
constexpr auto kSpeedWindow = std::chrono::seconds(2);
constexpr int kMaxRedirects = 5;
constexpr int kMaxRestarts = 1;
// Write-back starts this far behind the write position, so the flush at the
// end finds little left to do.
constexpr int64_t kWriteBackChunk = 8 * 1024 * 1024;

// Nothing received for this long ends the download as a server failure.
// QUARN_STALL_TIMEOUT_MS shortens it so a test need not wait half a minute.
std::chrono::steady_clock::duration stallTimeout() {
    if (const char* ms = std::getenv("QUARN_STALL_TIMEOUT_MS"); ms != nullptr) {
        char* end = nullptr;
        const long long value = std::strtoll(ms, &end, 10);
        if (end != ms && *end == '\0' && value > 0) return std::chrono::milliseconds(value);
    }
    return std::chrono::seconds(30);
}

std::string lowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
    return text;
}

// "scheme://host:port" with the default port filled in; empty if unparsable.
std::string originOf(const std::string& url) {
    const CurlUrl parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return {};
    const auto part = [&](CURLUPart which, unsigned flags) {
        char* text = nullptr;
        if (curl_url_get(parsed.get(), which, &text, flags) != CURLUE_OK) return std::string();
        const CurlString owned(text);
        return lowerAscii(owned.get());
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

} // namespace

struct Transfer::Connection {
    CurlEasy easy;
    // Credentials, index and hash go to the user's server only, never to a
    // host a redirect names.
    CurlSlist trustedHeaders;
    CurlSlist plainHeaders;
    std::string url;
    std::string range;
    bool active = false;
    int redirects = 0;
    int restarts = 0;

    // The request: bytes [from, to) for `piece`.
    int piece = -1;
    int64_t from = 0;
    int64_t to = 0;
    bool verifyAll = false; // compare every trusted byte of the piece, not just the overlap

    // The response.
    ResponseHead head;
    Judgement judgement;
    bool judged = false;
    bool accepted = false;
    bool redirecting = false;
    bool restart = false;  // the overlap did not match: ask for the piece from its start
    bool unproven = false; // wrote bytes of a response that declared no length
    int64_t cursor = 0;    // file offset of the next body byte
    int64_t flushMark = 0;
    Outcome failure = Outcome::Running;
    Clock::time_point lastProgress;
};

StatusSnapshot Transfer::initialStatus(int64_t onDisk, int64_t fileSize) {
    StatusSnapshot s;
    s.state = 0;
    s.speedKiB = 0;
    s.remainSec = -1;
    s.received = 0;
    s.fileBytes = onDisk;
    s.fileSize = fileSize;
    return s;
}

Transfer::Transfer(PreparedDownload job, DownloadFiles files, PieceMap pieces, StatusBoard& board)
    : job_(std::move(job)), files_(std::move(files)), pieces_(std::move(pieces)), board_(board),
      origin_(originOf(job_.url)), multi_(curl_multi_init()), stallTimeout_(stallTimeout()) {
    if (!multi_ || origin_.empty()) throw std::runtime_error("curl unavailable");

    auto c = std::make_unique<Connection>();
    c->easy.reset(curl_easy_init());
    if (!c->easy) throw std::runtime_error("curl unavailable");
    CURL* easy = c->easy.get();
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // Redirects are followed here, one hop at a time, so that what is sent
    // can depend on where a hop leads.
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kBufferSize);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "libquarn/1.0.0");
    applyTlsSettings(easy);
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
    c->url = job_.url;
    c->piece = 0;
    connections_.push_back(std::move(c));
}

Transfer::~Transfer() {
    if (thread_.joinable()) {
        requestStop();
        thread_.join();
    }
    for (auto& c : connections_)
        if (c->active) curl_multi_remove_handle(multi_.get(), c->easy.get());
}

void Transfer::launch() { thread_ = std::thread(&Transfer::run, this); }

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
    const Expectation want{c.from, c.to, pieces_.fileSize(), c.from > 0 || c.to < pieces_.fileSize()};
    Judgement j = judge(c.head, want);
    switch (j.verdict) {
    case Verdict::Redirect:
        c.redirecting = true;
        return true;
    case Verdict::Unranged:
        // The whole file instead of a range: take it from the start, comparing
        // what the .part already holds rather than throwing it away.
        c.from = 0;
        c.to = pieces_.fileSize();
        c.verifyAll = true;
        break;
    case Verdict::Accept:
        break;
    case Verdict::Reject:
        c.failure = Outcome::ServerError;
        return false;
    }
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
    const Clock::time_point now = Clock::now();
    c.lastProgress = now;
    sampleSpeed(now);
    publish(2);
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
        const int64_t trustedEnd = p.start + p.done;
        if (c.cursor < trustedEnd) {
            const auto n = static_cast<std::size_t>(std::min<int64_t>(
                static_cast<int64_t>(length), trustedEnd - c.cursor));
            const int64_t mismatch = firstMismatch(c.cursor, data, n);
            if (mismatch < 0) {
                c.cursor += static_cast<int64_t>(n);
                data += n;
                length -= n;
                continue;
            }
            if (c.from > p.start && !c.verifyAll) {
                // The overlap differs: the server's file changed, or the tail
                // of the .part is damaged. Nothing before it can be trusted.
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
            if (!cutPiece(p, mismatch)) {
                c.failure = Outcome::WriteError;
                return false;
            }
            const auto same = static_cast<std::size_t>(mismatch - c.cursor);
            c.cursor = mismatch;
            data += same;
            length -= same;
            continue;
        }
        const auto n = static_cast<std::size_t>(
            std::min<int64_t>(static_cast<int64_t>(length), p.end - c.cursor));
        if (!writeAt(c.cursor, data, n)) {
            c.failure = Outcome::WriteError;
            return false;
        }
        const auto written = static_cast<int64_t>(n);
        if (c.judgement.length >= 0 && c.cursor == trustedEnd) p.done += written;
        else c.unproven = true;
        p.written = std::max(p.written, c.cursor + written - p.start);
        received_ += written;
        c.cursor += written;
        data += n;
        length -= n;
        kickWriteBack(c);
    }
    return true;
}

int64_t Transfer::firstMismatch(int64_t at, const char* data, std::size_t length) {
    if (compareBuffer_.empty()) compareBuffer_.resize(kBufferSize);
    std::size_t offset = 0;
    while (offset < length) {
        const std::size_t want = std::min(length - offset, compareBuffer_.size());
        ssize_t got = ::pread(files_.part.get(), compareBuffer_.data(), want,
                              at + static_cast<int64_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return at + static_cast<int64_t>(offset); // shorter than it claimed
        const auto n = static_cast<std::size_t>(got);
        const auto diff = std::mismatch(data + offset, data + offset + n, compareBuffer_.data());
        if (diff.first != data + offset + n)
            return at + static_cast<int64_t>(diff.first - data);
        offset += n;
    }
    return -1;
}

bool Transfer::cutPiece(Piece& piece, int64_t at) {
    piece.done = at - piece.start;
    piece.written = piece.done;
    // The file's length is what a resume trusts: it must not claim the old bytes.
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
    // Asynchronous: starts the disk on these pages without waiting for it.
    ::sync_file_range(files_.part.get(), c.flushMark, c.cursor - c.flushMark, SYNC_FILE_RANGE_WRITE);
    c.flushMark = c.cursor;
}

bool Transfer::configureHop(Connection& c, const std::string& url) {
    const bool trusted = originOf(url) == origin_;
    CURL* easy = c.easy.get();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, trusted ? c.trustedHeaders.get() : c.plainHeaders.get());
    if (trusted && !job_.userName.empty()) {
        curl_easy_setopt(easy, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(easy, CURLOPT_USERNAME, job_.userName.c_str());
        curl_easy_setopt(easy, CURLOPT_PASSWORD, job_.userPwd.c_str());
    } else {
        curl_easy_setopt(easy, CURLOPT_USERNAME, nullptr);
        curl_easy_setopt(easy, CURLOPT_PASSWORD, nullptr);
    }
    c.url = url;
    return true;
}

bool Transfer::startRequest(Connection& c) {
    const Piece& p = pieces_.pieces()[static_cast<std::size_t>(c.piece)];
    c.from = c.verifyAll ? p.start : std::max(p.start, p.start + p.done - kOverlap);
    c.to = p.end;
    c.head = ResponseHead();
    c.judgement = Judgement();
    c.judged = c.accepted = c.redirecting = c.restart = c.unproven = false;
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
// its response brought.
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
        if (!(http || https) || (http && origin_.rfind("https://", 0) == 0)) return Outcome::ServerError;
        c.url = target;
        return startRequest(c) ? Outcome::Running : Outcome::ServerError;
    }
    if (c.restart) {
        if (++c.restarts > kMaxRestarts) return Outcome::ServerError;
        c.verifyAll = true;
        return startRequest(c) ? Outcome::Running : Outcome::ServerError;
    }
    if (result == CURLE_OK && c.accepted && c.cursor == c.to) {
        if (c.judgement.length < 0) {
            // It ended exactly where it should: now its bytes count.
            for (Piece& p : pieces_.pieces())
                if (p.end > c.from && p.start < c.to) p.done = std::max(p.done, p.written);
        }
        c.unproven = false;
        return pieces_.finished() ? Outcome::Complete : Outcome::Running;
    }
    undoUnproven(c);
    if (c.failure != Outcome::Running) return c.failure;
    return stop_.load(std::memory_order_acquire) ? Outcome::Stopped : Outcome::ServerError;
}

// Takes back what a response without a declared length wrote: it never
// proved to be the file.
void Transfer::undoUnproven(Connection& c) {
    if (!c.unproven) return;
    c.unproven = false;
    for (Piece& p : pieces_.pieces()) p.written = p.done;
    if (::ftruncate(files_.part.get(), pieces_.pieces().front().done) != 0 &&
        c.failure == Outcome::Running)
        c.failure = Outcome::WriteError;
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
    for (auto& c : connections_)
        if (!startRequest(*c)) return Outcome::ServerError;
    bool receiving = false;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi_.get(), &running) != CURLM_OK) return Outcome::ServerError;
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_.get(), &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            for (auto& c : connections_) {
                if (c->easy.get() != message->easy_handle) continue;
                const Outcome outcome = requestEnded(*c, message->data.result);
                if (outcome != Outcome::Running) return outcome;
            }
        }
        if (stop_.load(std::memory_order_acquire)) return Outcome::Stopped;
        const Clock::time_point now = Clock::now();
        for (auto& c : connections_) {
            if (!c->active) continue;
            // Only body bytes count: a head trickled line by line is a stall too.
            if (now - c->lastProgress > stallTimeout_) return Outcome::ServerError;
            receiving = receiving || c->accepted;
        }
        if (receiving) {
            sampleSpeed(now);
            publish(2);
        }
        curl_multi_poll(multi_.get(), nullptr, 0, static_cast<int>(kPollInterval.count()), nullptr);
    }
}

void Transfer::run() {
    publish(1);
    Outcome outcome = loop();
    for (auto& c : connections_) {
        if (c->active) {
            curl_multi_remove_handle(multi_.get(), c->easy.get());
            c->active = false;
        }
        undoUnproven(*c);
        if (outcome != Outcome::Complete && c->failure == Outcome::WriteError)
            outcome = Outcome::WriteError;
    }
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
    if (::fdatasync(fd) != 0 || files_.part.close() != 0) return Outcome::WriteError;
    const int dir = files_.dir.get();
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
    if (outcome == Outcome::Complete) outcome = complete();
    else files_.part.close();
    int32_t state = 6;
    switch (outcome) {
    case Outcome::Complete: state = 3; break;
    case Outcome::Stopped: state = 4; break;
    case Outcome::WriteError: state = 5; break;
    default: break;
    }
    // Once ended there is nothing left to wait for.
    speedKiB_ = 0;
    remainSec_ = 0;
    publish(state);
    finished_.store(true, std::memory_order_release);
}

} // namespace quarn::engine
