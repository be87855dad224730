#include "libquarn/status_text.h"

#include <quarn/quarn.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <iterator>

namespace quarn::engine {
namespace {

struct CauseText {
    Failure kind;
    const char* text;
};

// In the enum's order, one row each (checked below).
constexpr CauseText kCauseTexts[] = {
    {Failure::None, "unknown"},
    {Failure::HttpStatus, "HTTP"},
    {Failure::ConnectionRefused, "connection refused"},
    {Failure::HostNotFound, "host not found"},
    {Failure::ConnectFailed, "connection failed"},
    {Failure::Tls, "TLS failed"},
    {Failure::Stalled, "stalled"},
    {Failure::LengthDiffers, "length differs"},
    {Failure::BadResponse, "not the bytes asked for"},
    {Failure::Redirect, "redirect refused"},
    {Failure::DocumentMismatch, "metalink document does not match"},
    {Failure::BrokenDocument, "metalink document unreadable"},
    {Failure::PieceMismatch, "piece differs from the metalink document"},
    {Failure::DigestMismatch, "digest differs"},
    {Failure::FileChanged, "file changed on the server"},
    {Failure::NoSource, "no source left"},
    {Failure::DiskFull, "disk full"},
    {Failure::IoError, "I/O error"},
};

constexpr bool inEnumOrder() {
    for (std::size_t i = 0; i < std::size(kCauseTexts); ++i)
        if (static_cast<std::size_t>(kCauseTexts[i].kind) != i) return false;
    return static_cast<std::size_t>(Failure::IoError) + 1 == std::size(kCauseTexts);
}
static_assert(inEnumOrder(), "one text per Failure, in the enum's order");

struct Reason {
    int32_t status;
    const char* phrase;
};

// RFC 9110 and the few later ones servers send; sorted by status.
constexpr Reason kReasons[] = {
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Content Too Large"},
    {414, "URI Too Long"},
    {415, "Unsupported Media Type"},
    {416, "Range Not Satisfiable"},
    {417, "Expectation Failed"},
    {421, "Misdirected Request"},
    {422, "Unprocessable Content"},
    {425, "Too Early"},
    {426, "Upgrade Required"},
    {428, "Precondition Required"},
    {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"},
    {451, "Unavailable For Legal Reasons"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
    {505, "HTTP Version Not Supported"},
    {507, "Insufficient Storage"},
    {508, "Loop Detected"},
    {511, "Network Authentication Required"},
};

constexpr bool sortedByStatus() {
    for (std::size_t i = 1; i < std::size(kReasons); ++i)
        if (kReasons[i - 1].status >= kReasons[i].status) return false;
    return true;
}
static_assert(sortedByStatus(), "reasons sorted by status, once each");

} // namespace

std::string_view reasonPhrase(int32_t status) noexcept {
    const auto* found =
        std::lower_bound(std::begin(kReasons), std::end(kReasons), status,
                         [](const Reason& r, int32_t wanted) { return r.status < wanted; });
    if (found == std::end(kReasons) || found->status != status) return {};
    return found->phrase;
}

namespace {

// printf's answer as the length it wrote into `capacity` bytes.
std::size_t written(int n, std::size_t capacity) noexcept {
    if (n < 0 || capacity == 0) return 0;
    return std::min(static_cast<std::size_t>(n), capacity - 1);
}

std::size_t formatFailure(const FailureCause& cause, char* out, std::size_t capacity) noexcept {
    const auto index = static_cast<std::size_t>(cause.kind);
    const char* text = kCauseTexts[index < std::size(kCauseTexts) ? index : 0].text;
    if (cause.kind != Failure::HttpStatus)
        return written(std::snprintf(out, capacity, "%s", text), capacity);
    const std::string_view phrase = reasonPhrase(cause.detail);
    // The table's phrases are literals, so data() ends in a zero.
    return written(std::snprintf(out, capacity, "%s %" PRId32 "%s%s", text, cause.detail,
                                 phrase.empty() ? "" : " ", phrase.empty() ? "" : phrase.data()),
                   capacity);
}

} // namespace

std::string failureText(const FailureCause& cause) {
    char text[96];
    return std::string(text, formatFailure(cause, text, sizeof text));
}

std::size_t formatStatusJson(const StatusSnapshot& s, char* out, std::size_t capacity) noexcept {
    if (capacity == 0) return 0;
    std::size_t n = written(
        std::snprintf(out, capacity,
                      "{\"state\":%" PRId32 ",\"speed\":%" PRId32 ",\"remain_time\":%" PRId32
                      ",\"receive_size\":%" PRId64 ",\"current_file_size\":%" PRId64
                      ",\"filesize\":%" PRId64,
                      s.state, s.speedKiB, s.remainSec, s.received, s.fileBytes, s.fileSize),
        capacity);
    // The cause comes last, so a reader that stops at what it knows has
    // read everything else.
    const bool failed = s.state == QUARN_STATE_WRITE_ERROR || s.state == QUARN_STATE_SERVER_ERROR;
    if (failed && s.cause.kind != Failure::None) {
        char cause[96];
        formatFailure(s.cause, cause, sizeof cause);
        n +=
            written(std::snprintf(out + n, capacity - n, ",\"cause\":\"%s\"", cause), capacity - n);
    }
    n += written(std::snprintf(out + n, capacity - n, "}"), capacity - n);
    return n;
}

std::string statusJson(const StatusSnapshot& status) {
    char text[kStatusJsonUnits];
    return std::string(text, formatStatusJson(status, text, sizeof text));
}

} // namespace quarn::engine
