#include "libquarn/connection.h"

#include "libquarn/scheduler.h"
#include "libquarn/text.h"
#include "libquarn/tls.h"

#include <cerrno>
#include <stdexcept>

namespace quarn::engine {
namespace {

constexpr long kBufferSize = 512L * 1024; // large reads mean large writes
constexpr int kMaxRedirects = 5;
constexpr auto kSampleEvery = std::chrono::milliseconds(100);
// Encoded bodies cannot be checked against the file: ask for none.
constexpr const char* kIdentity = "Accept-Encoding: identity";
// RFC 9530: the origin may tell the whole file's SHA-256 with any answer.
constexpr const char* kWantDigest = "Want-Repr-Digest: sha-256=10";

curl_slist* append(curl_slist* list, const std::string& line) {
    curl_slist* longer = curl_slist_append(list, line.c_str());
    if (longer == nullptr) throw std::bad_alloc();
    return longer;
}

bool isHttpError(long status) {
    return status >= 400 || status < 100;
}

} // namespace

CurlEasy newEasy() {
    CurlEasy easy(curl_easy_init());
    if (!easy) throw std::runtime_error("curl unavailable");
    curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy.get(), CURLOPT_PROTOCOLS_STR, "http,https");
    // Redirects are followed by hand, one hop at a time, so that what is
    // sent can depend on where a hop leads.
    curl_easy_setopt(easy.get(), CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy.get(), CURLOPT_USERAGENT, "libquarn/1.0.0");
    applyTlsSettings(easy.get());
    return easy;
}

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

FailureCause causeOf(CURL* easy, long result) {
    long osError = 0;
    curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osError);
    switch (static_cast<CURLcode>(result)) {
    case CURLE_OK: return {};
    case CURLE_COULDNT_RESOLVE_HOST: return {Failure::HostNotFound, 0};
    case CURLE_COULDNT_CONNECT:
        return {osError == ECONNREFUSED ? Failure::ConnectionRefused : Failure::ConnectFailed, 0};
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE: return {Failure::Tls, 0};
    case CURLE_OPERATION_TIMEDOUT: return {Failure::Stalled, 0};
    default: return {Failure::ConnectFailed, 0};
    }
}

Connection::Connection(int connectionId, const PreparedDownload& job, ConnectionSink& sink)
    : id(connectionId), job_(job), sink_(sink), easy_(newEasy()) {
    CURL* easy = easy_.get();
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kBufferSize);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Connection::bodyCallback);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Connection::headerCallback);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
}

bool Connection::configureHop(const std::string& url) {
    url_ = url;
    trusted_ = !trustedOrigin_.empty() && originOf(url) == trustedOrigin_;
    curl_slist* list = append(nullptr, kIdentity);
    headers_.reset(list);
    if (trusted_) {
        list = append(list, kWantDigest);
        if (!job_.index.empty()) list = append(list, "index: " + job_.index);
        list = append(list, "hash: " + job_.hash);
        if (!ifRange_.empty() && !range_.empty()) append(list, "If-Range: " + ifRange_);
    }
    CURL* easy = easy_.get();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers_.get());
    if (trusted_ && !job_.userName.empty()) {
        curl_easy_setopt(easy, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(easy, CURLOPT_USERNAME, job_.userName.c_str());
        curl_easy_setopt(easy, CURLOPT_PASSWORD, job_.userPwd.c_str());
    } else {
        curl_easy_setopt(easy, CURLOPT_USERNAME, nullptr);
        curl_easy_setopt(easy, CURLOPT_PASSWORD, nullptr);
    }
    return true;
}

bool Connection::start(CURLM* multi, const std::string& url, int64_t first, int64_t end,
                       int64_t size, const std::string& trustedOrigin, const std::string& ifRange) {
    from = first;
    to = asked = end;
    cursor = first;
    fileSize = size;
    flushMark = first;
    head = ResponseHead();
    judgement = Judgement();
    unproven = paused = false;
    ending = Ending::None;
    cause = {};
    redirects_ = 0;
    bodyBytes_ = 0;
    samples_.clear();
    trustedOrigin_ = trustedOrigin;
    ifRange_ = ifRange;
    if (from > 0 || to < size)
        range_ = std::to_string(from) + "-" + (to < size ? std::to_string(to - 1) : "");
    else
        range_.clear();
    curl_easy_setopt(easy_.get(), CURLOPT_RANGE, range_.empty() ? nullptr : range_.c_str());
    configureHop(url);
    phase = Phase::AwaitingHead;
    lastProgress = Clock::now();
    if (curl_multi_add_handle(multi, easy_.get()) != CURLM_OK) {
        phase = Phase::Idle;
        return false;
    }
    inMulti_ = true;
    return true;
}

bool Connection::followRedirect(CURLM* multi) {
    char* next = nullptr;
    curl_easy_getinfo(easy_.get(), CURLINFO_REDIRECT_URL, &next);
    if (next == nullptr || ++redirects_ > kMaxRedirects) return false;
    const std::string target = next;
    const std::string origin = originOf(target);
    // No way from TLS back to plain text: what the user sent encrypted
    // stays encrypted.
    const bool http = origin.rfind("http://", 0) == 0, https = origin.rfind("https://", 0) == 0;
    if (!(http || https) || (http && url_.rfind("https://", 0) == 0)) return false;
    remove(multi);
    head = ResponseHead();
    configureHop(target);
    phase = Phase::AwaitingHead;
    lastProgress = Clock::now();
    if (curl_multi_add_handle(multi, easy_.get()) != CURLM_OK) return false;
    inMulti_ = true;
    return true;
}

void Connection::remove(CURLM* multi) noexcept {
    if (inMulti_) curl_multi_remove_handle(multi, easy_.get());
    inMulti_ = false;
    if (phase != Phase::Redirected) phase = Phase::Idle;
}

void Connection::resume() noexcept {
    if (!paused) return;
    paused = false;
    curl_easy_pause(easy_.get(), CURLPAUSE_CONT);
}

Expectation Connection::expectation() const {
    // What the request asked for: a cut since changes what is kept, not what comes.
    return Expectation{from, asked, fileSize, !range_.empty()};
}

HeadKind Connection::classifyHead() {
    if (head.status == 503 || head.status == 429) {
        cause = {Failure::HttpStatus, static_cast<int32_t>(head.status)};
        return HeadKind::Throttled;
    }
    const Judgement j = judge(head, expectation());
    switch (j.verdict) {
    case Verdict::Redirect: return HeadKind::Redirect;
    case Verdict::Accept: return HeadKind::Accept;
    case Verdict::Unranged: return HeadKind::Unranged;
    case Verdict::Reject: break;
    }
    if (cause.kind == Failure::None) {
        // Not an error status, yet not the bytes asked for.
        const bool lengthDiffers =
            (head.status == 200 && head.contentLength >= 0 && head.contentLength != fileSize) ||
            (head.status == 206 && head.rangeTotal >= 0 && head.rangeTotal != fileSize);
        cause = {lengthDiffers ? Failure::LengthDiffers : Failure::BadResponse, 0};
    }
    return HeadKind::Refused;
}

double Connection::rate(Clock::time_point now) const {
    if (samples_.empty() || now - receivingSince_ < schedule::kRateWindow) return -1;
    const Sample& first = samples_.front();
    const double seconds = std::chrono::duration<double>(now - first.at).count();
    if (seconds <= 0) return -1;
    return static_cast<double>(bodyBytes_ - first.bytes) / seconds;
}

void Connection::sample(Clock::time_point now) {
    if (phase != Phase::Receiving) return;
    if (samples_.empty()) receivingSince_ = now;
    if (!samples_.empty() && now - samples_.back().at < kSampleEvery) return;
    samples_.push_back({now, bodyBytes_});
    while (samples_.size() > 1 && samples_[1].at <= now - schedule::kRateWindow)
        samples_.pop_front();
}

std::size_t Connection::bodyCallback(char* data, std::size_t size, std::size_t count, void* self) {
    auto& c = *static_cast<Connection*>(self);
    const std::size_t length = size * count;
    if (c.phase == Phase::Redirected) return length; // the page of a redirect is not ours
    const std::size_t taken = c.sink_.onBody(c, data, length);
    if (taken == CURL_WRITEFUNC_PAUSE) {
        c.paused = true;
    } else if (taken == length) {
        c.bodyBytes_ += static_cast<int64_t>(length);
        c.lastProgress = Clock::now();
    }
    return taken;
}

std::size_t Connection::headerCallback(char* data, std::size_t size, std::size_t count,
                                       void* self) {
    auto& c = *static_cast<Connection*>(self);
    const std::size_t length = size * count;
    if (c.phase != Phase::AwaitingHead) return length; // trailers
    c.head.addLine(std::string_view(data, length));
    if (!c.head.complete || (c.head.status >= 100 && c.head.status < 200)) return length;
    if (isHttpError(c.head.status) && c.head.status != 503 && c.head.status != 429)
        c.cause = {Failure::HttpStatus, static_cast<int32_t>(c.head.status)};
    // Returning short makes curl abort the request before any body byte.
    return c.sink_.onHead(c) ? length : 0;
}

} // namespace quarn::engine
