// The share server's HTTP/1.1 text: where a request head ends, what it asks
// for, and the heads of the answers. Pure: no sockets, no files, no clock.
//
// Framing is strict, because a front proxy may read the same bytes: a GET
// or HEAD that announces a body (any Transfer-Encoding, a Content-Length
// other than a single 0) is refused, so the bytes that follow a head are
// always the next request's, for us and for anyone in front of us alike.
#pragma once

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarn::engine::http {

inline constexpr std::size_t kMaxHead = std::size_t{16} * 1024; // request line and fields
inline constexpr std::size_t kMaxTarget = 2048;                 // longer request targets: 414

// What has arrived so far of a request head.
struct HeadScan {
    enum class Kind { Incomplete, Complete, TooLarge };
    Kind kind = Kind::Incomplete;
    std::size_t length = 0; // Complete: bytes of the head, its empty line included
    int status = 0;         // TooLarge: 414 (the request line) or 431 (the fields)
};

// Finds the empty line that ends a head in bytes that arrive in pieces.
// Each call is given everything buffered so far of this head and looks only
// at what is new, so a head dripping in a byte at a time is read once.
class HeadScanner {
public:
    HeadScan scan(std::string_view buffered);
    void reset() { *this = HeadScanner(); } // for the next head

private:
    std::size_t scanned_ = 0;
    std::size_t lineStart_ = 0;
    bool inRequestLine_ = true; // empty lines before it are skipped
};

enum class Method { Get, Head, Other };

struct Request {
    Method method = Method::Other;
    std::string target; // as sent
    bool keepAlive = false;
    bool http10 = false;
    std::optional<std::string> range, ifRange;
};

// A whole head (as scanHead measured it). `status` is 0 for a request we
// can answer, else the status to refuse it with before closing: 400
// (malformed, or a body announced on GET or HEAD), 414, 505.
struct Parsed {
    int status = 0;
    Request request;
};
Parsed parseRequest(std::string_view head);

// "/{site}/{hash}" or "/{site}/{hash}.meta4", each segment percent-decoded
// on its own (an encoded slash stays inside its segment); a query is
// ignored. The hash comes back in lower case.
struct Target {
    std::string site, hash;
    bool metalink = false;
};
std::optional<Target> splitTarget(std::string_view target);

// What to send of a file of `size` bytes for the request's Range and
// If-Range: a single byte range, anything else as a server that ignores
// Range would (the whole file). If-Range matches the strong tag `etag` or
// the date `modified` exactly; a weak tag never does.
struct RangeAnswer {
    enum class Kind { Whole, Part, Unsatisfiable };
    Kind kind = Kind::Whole;
    long long first = 0, last = -1; // inclusive, for Whole and Part
};
RangeAnswer answerRange(const Request& request, long long size, std::string_view etag,
                        std::string_view modified);

// IMF-fixdate, independent of the process locale.
std::string httpDate(std::time_t when);

using Field = std::pair<std::string_view, std::string>;

// A status line, `fields`, Content-Length and the empty line.
std::string responseHead(int status, const std::vector<Field>& fields, long long contentLength);

} // namespace quarn::engine::http
