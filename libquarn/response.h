// What a server's response head says, and whether its body may be trusted as
// the bytes we asked for. Pure functions of the header lines, so every rule
// is tested without a network.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::engine {

struct ResponseHead {
    long status = 0;
    int64_t contentLength = -1;  // -1: not declared
    bool lengthConflict = false; // several Content-Length values that differ
    bool haveRange = false;      // Content-Range present and well-formed
    int64_t rangeFirst = -1, rangeLast = -1, rangeTotal = -1; // total -1: "*"
    std::string contentEncoding;                              // lower case, as sent
    std::string transferEncoding;                             // lower case, as sent
    std::string location;
    std::string etag;               // as sent: quotes included, "W/" when weak
    std::string lastModified;       // as sent
    std::vector<std::string> links; // every Link field value
    std::string reprDigest;         // Repr-Digest, several fields joined by commas
    std::string retryAfter;
    bool complete = false; // the blank line after the fields has arrived

    // One raw header line as libcurl delivers it, status line included. A new
    // status line (an interim 1xx, or the next hop) starts over.
    void addLine(std::string_view line);
};

// What was asked: bytes [from, to) of a file of `fileSize` bytes; `ranged`
// when the request carried a Range header.
struct Expectation {
    int64_t from = 0;
    int64_t to = 0;
    int64_t fileSize = 0;
    bool ranged = false;
};

enum class Verdict {
    Accept,   // the body is bytes [bodyStart, bodyStart + length) of the file
    Redirect, // a 3xx with a Location: follow it, keep nothing
    Unranged, // a whole-file 200 where only a piece was wanted
    Reject,   // not the file, or not in a form we can check
};

struct Judgement {
    Verdict verdict = Verdict::Reject;
    int64_t bodyStart = 0;
    // Bytes the response promises; -1 when it declares no length, so that
    // nothing of it counts until it has ended exactly at the file's end.
    int64_t length = -1;
};

Judgement judge(const ResponseHead& head, const Expectation& want);

// The validator a download pins (RFC 9110): the strong ETag, else
// Last-Modified; empty when the response has neither.
std::string pinnedValidator(const ResponseHead& head);

// The target of a Link with rel "describedby" and type
// "application/metalink4+xml" (RFC 6249), as written; empty when none.
std::string metalinkLink(const ResponseHead& head);

// Retry-After as seconds from `now` (delta-seconds or an HTTP date);
// nullopt when absent or unreadable.
std::optional<std::chrono::seconds> retryAfter(const ResponseHead& head, std::time_t now);

// "bytes FIRST-LAST/TOTAL" (TOTAL may be "*").
bool parseContentRange(std::string_view value, int64_t& first, int64_t& last, int64_t& total);

} // namespace quarn::engine
