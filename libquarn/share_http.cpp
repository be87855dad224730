#include "libquarn/share_http.h"

#include "libquarn/text.h"

#include <algorithm>
#include <cstdio>

namespace quarn::engine::http {
namespace {

// Room for the method and the version around the longest target we take.
constexpr std::size_t kRequestLineSlack = 32;

bool isTokenChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7f) return false;
    return std::string_view("\"(),/:;<=>?@[\\]{}").find(c) == std::string_view::npos;
}

bool isToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

// Field values: visible ASCII, spaces, tabs and obs-text; no other control.
bool isFieldValue(std::string_view text) {
    return std::none_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && c != '\t') || u == 0x7f;
    });
}

std::string_view trimOws(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool equalsNoCase(std::string_view text, std::string_view lower) {
    return text.size() == lower.size() && startsWithNoCase(text, lower);
}

// Whether the comma-separated list `value` holds `lowerToken`.
bool listHas(std::string_view value, std::string_view lowerToken) {
    while (!value.empty()) {
        const std::size_t comma = value.find(',');
        if (equalsNoCase(trimOws(value.substr(0, comma)), lowerToken)) return true;
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
    }
    return false;
}

// The head's lines without their line ends; nullopt when a CR stands
// anywhere but before a LF, or a NUL anywhere.
std::optional<std::vector<std::string_view>> splitLines(std::string_view head) {
    std::vector<std::string_view> lines;
    while (!head.empty()) {
        const std::size_t lf = head.find('\n');
        std::string_view line = head.substr(0, lf);
        head.remove_prefix(lf == std::string_view::npos ? head.size() : lf + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.find('\r') != std::string_view::npos || line.find('\0') != std::string_view::npos)
            return std::nullopt;
        lines.push_back(line);
    }
    while (!lines.empty() && lines.front().empty()) lines.erase(lines.begin());
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

// "HTTP/1.1" and "HTTP/1.0" are ours; another well-formed version is 505.
int versionStatus(std::string_view version, bool& http10) {
    constexpr std::string_view kPrefix = "HTTP/";
    if (version.size() != kPrefix.size() + 3 || version.substr(0, kPrefix.size()) != kPrefix ||
        version[kPrefix.size() + 1] != '.')
        return 400;
    const char major = version[kPrefix.size()], minor = version[kPrefix.size() + 2];
    if (major < '0' || major > '9' || minor < '0' || minor > '9') return 400;
    if (major != '1') return 505;
    http10 = minor == '0';
    return 0;
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

RangeAnswer wholeFile(long long size) {
    return {RangeAnswer::Kind::Whole, 0, size - 1};
}

// A single byte range of `header`; anything else (another unit, several
// ranges, nonsense) is the whole file.
RangeAnswer parseRange(std::string_view header, long long size) {
    header = trimSpace(header);
    constexpr std::string_view kUnit = "bytes=";
    if (!startsWithNoCase(header, kUnit)) return wholeFile(size);
    const std::string_view wanted = trimSpace(header.substr(kUnit.size()));
    const std::size_t dash = wanted.find('-');
    if (wanted.find(',') != std::string_view::npos || dash == std::string_view::npos)
        return wholeFile(size);
    const std::string_view from = trimSpace(wanted.substr(0, dash)),
                           to = trimSpace(wanted.substr(dash + 1));
    if (from.empty()) {
        const auto suffix = parseDecimal(to);
        if (!suffix) return wholeFile(size);
        if (*suffix == 0) return {RangeAnswer::Kind::Unsatisfiable};
        return {RangeAnswer::Kind::Part, std::max(0LL, size - *suffix), size - 1};
    }
    const auto start = parseDecimal(from);
    if (!start) return wholeFile(size);
    long long end = size - 1;
    if (!to.empty()) {
        const auto value = parseDecimal(to);
        if (!value || *value < *start) return wholeFile(size);
        end = std::min(*value, size - 1);
    }
    if (*start >= size) return {RangeAnswer::Kind::Unsatisfiable};
    return {RangeAnswer::Kind::Part, *start, end};
}

const char* reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 414: return "URI Too Long";
    case 416: return "Range Not Satisfiable";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
    }
}

Parsed refused(int status) {
    Parsed out;
    out.status = status;
    return out;
}

} // namespace

HeadScan HeadScanner::scan(std::string_view buffered) {
    for (; scanned_ < buffered.size(); ++scanned_) {
        if (buffered[scanned_] != '\n') continue;
        std::string_view line = buffered.substr(lineStart_, scanned_ - lineStart_);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lineStart_ = scanned_ + 1;
        if (!line.empty()) {
            inRequestLine_ = false;
        } else if (!inRequestLine_) {
            ++scanned_;
            return {HeadScan::Kind::Complete, scanned_, 0};
        }
        if (lineStart_ > kMaxHead) break;
    }
    if (inRequestLine_ && buffered.size() - lineStart_ > kMaxTarget + kRequestLineSlack)
        return {HeadScan::Kind::TooLarge, 0, 414};
    if (buffered.size() > kMaxHead) return {HeadScan::Kind::TooLarge, 0, 431};
    return {};
}

Parsed parseRequest(std::string_view head) {
    Parsed out;
    const auto lines = splitLines(head);
    if (!lines || lines->empty()) return refused(400);
    const std::string_view requestLine = lines->front();
    const std::size_t firstSpace = requestLine.find(' ');
    const std::size_t lastSpace = requestLine.rfind(' ');
    if (firstSpace == std::string_view::npos || firstSpace == lastSpace) return refused(400);
    const std::string_view method = requestLine.substr(0, firstSpace);
    const std::string_view target = requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    if (!isToken(method) || target.empty() || target.find(' ') != std::string_view::npos)
        return refused(400);
    Request& request = out.request;
    if (const int status = versionStatus(requestLine.substr(lastSpace + 1), request.http10))
        return refused(status);
    if (target.size() > kMaxTarget) return refused(414);
    request.method = method == "GET"    ? Method::Get
                     : method == "HEAD" ? Method::Head
                                        : Method::Other;
    request.target = std::string(target);

    int hosts = 0, lengths = 0;
    bool body = false, close = false, keepAlive = false;
    for (auto it = lines->begin() + 1; it != lines->end(); ++it) {
        const std::string_view line = *it;
        const std::size_t colon = line.find(':');
        // A name with space before its colon, or a folded line, is refused:
        // others would read such a head differently.
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return refused(400);
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trimOws(line.substr(colon + 1));
        if (!isFieldValue(value)) return refused(400);
        if (equalsNoCase(name, "content-length")) {
            // Several lengths, also as one list, are ambiguous framing.
            ++lengths;
            if (value.find(',') != std::string_view::npos || !parseDecimal(value))
                return refused(400);
            body = body || *parseDecimal(value) != 0;
        } else if (equalsNoCase(name, "transfer-encoding")) {
            body = true;
        } else if (equalsNoCase(name, "host")) {
            ++hosts;
        } else if (equalsNoCase(name, "connection")) {
            close = close || listHas(value, "close");
            keepAlive = keepAlive || listHas(value, "keep-alive");
        } else if (equalsNoCase(name, "range")) {
            if (request.range) return refused(400);
            request.range = std::string(value);
        } else if (equalsNoCase(name, "if-range")) {
            if (request.ifRange) return refused(400);
            request.ifRange = std::string(value);
        }
    }
    if (hosts > 1 || (hosts == 0 && !request.http10)) return refused(400);
    // Other methods are refused and the connection closed without reading
    // on, whatever their body; a GET or HEAD must have none.
    if (request.method != Method::Other && (body || lengths > 1)) return refused(400);
    request.keepAlive = request.http10 ? keepAlive && !close : !close;
    return out;
}

std::optional<Target> splitTarget(std::string_view target) {
    // The absolute form names the authority first; only the path counts.
    if (startsWithNoCase(target, "http://")) {
        const std::size_t slash = target.find('/', 7);
        if (slash == std::string_view::npos) return std::nullopt;
        target.remove_prefix(slash);
    }
    target = target.substr(0, target.find('?'));
    if (target.size() < 2 || target.front() != '/') return std::nullopt;
    target.remove_prefix(1);
    const std::size_t slash = target.find('/');
    if (slash == std::string_view::npos || target.find('/', slash + 1) != std::string_view::npos)
        return std::nullopt;
    auto site = decodeSegment(target.substr(0, slash));
    auto name = decodeSegment(target.substr(slash + 1));
    if (!site || site->empty() || !name) return std::nullopt;
    Target out;
    constexpr std::string_view kMetalink = ".meta4";
    if (name->size() > kMetalink.size() &&
        std::string_view(*name).substr(name->size() - kMetalink.size()) == kMetalink) {
        out.metalink = true;
        name->resize(name->size() - kMetalink.size());
    }
    if (!isHexDigest(*name)) return std::nullopt;
    out.site = std::move(*site);
    out.hash = asciiLower(*name);
    return out;
}

RangeAnswer answerRange(const Request& request, long long size, std::string_view etag,
                        std::string_view modified) {
    if (!request.range) return wholeFile(size);
    if (request.ifRange) {
        const std::string_view validator = trimSpace(*request.ifRange);
        if (validator != etag && validator != modified) return wholeFile(size);
    }
    return parseRange(*request.range, size);
}

std::string httpDate(std::time_t when) {
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

std::string responseHead(int status, const std::vector<Field>& fields, long long contentLength) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
    for (const Field& field : fields) {
        head.append(field.first);
        head += ": ";
        head += field.second;
        head += "\r\n";
    }
    head += "Content-Length: " + std::to_string(contentLength) + "\r\n\r\n";
    return head;
}

} // namespace quarn::engine::http
