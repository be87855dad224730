#include "libquarn/response.h"

#include "libquarn/text.h"

#include <curl/curl.h>

#include <algorithm>

namespace quarn::engine {
namespace {

bool isRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Transfer codings libcurl undoes for us without our asking: chunked only.
bool plainTransferCoding(std::string_view codings) {
    while (!codings.empty()) {
        const std::size_t comma = codings.find(',');
        const std::string_view token = trimSpace(codings.substr(0, comma));
        if (!token.empty() && token != "chunked" && token != "identity") return false;
        if (comma == std::string_view::npos) break;
        codings.remove_prefix(comma + 1);
    }
    return true;
}

// One parameter value of a Link: a token or a quoted string, lower case.
std::string linkParameter(std::string_view value) {
    value = trimSpace(value);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
    return asciiLower(value);
}

// Whether a space-separated relation list names `relation`.
bool hasRelation(std::string_view list, std::string_view relation) {
    while (!list.empty()) {
        const std::size_t space = list.find(' ');
        if (list.substr(0, space) == relation) return true;
        if (space == std::string_view::npos) break;
        list.remove_prefix(space + 1);
    }
    return false;
}

// One link-value "<target>; name=value; ..." of a Link field; the target
// when it describes the file in a Metalink 4 document.
std::string metalinkTarget(std::string_view linkValue) {
    linkValue = trimSpace(linkValue);
    if (linkValue.empty() || linkValue.front() != '<') return {};
    const std::size_t close = linkValue.find('>');
    if (close == std::string_view::npos) return {};
    const std::string_view target = linkValue.substr(1, close - 1);
    std::string_view params = linkValue.substr(close + 1);
    bool describedBy = false, metalink = false;
    while (!params.empty()) {
        const std::size_t semicolon = params.find(';');
        const std::string_view param = trimSpace(params.substr(0, semicolon));
        const std::size_t equals = param.find('=');
        if (equals != std::string_view::npos) {
            const std::string name = asciiLower(trimSpace(param.substr(0, equals)));
            const std::string value = linkParameter(param.substr(equals + 1));
            if (name == "rel") describedBy = hasRelation(value, "describedby");
            if (name == "type") metalink = value == "application/metalink4+xml";
        }
        if (semicolon == std::string_view::npos) break;
        params.remove_prefix(semicolon + 1);
    }
    return describedBy && metalink ? std::string(target) : std::string();
}

} // namespace

std::string pinnedValidator(const ResponseHead& head) {
    if (!head.etag.empty() && !startsWithNoCase(head.etag, "w/")) return head.etag;
    return head.lastModified;
}

std::string metalinkLink(const ResponseHead& head) {
    for (const std::string& field : head.links) {
        // Commas inside a <target> are part of it; elsewhere they separate link-values.
        std::string_view rest(field);
        while (!rest.empty()) {
            std::size_t end = rest.find('>');
            end = rest.find(',', end == std::string_view::npos ? 0 : end);
            if (std::string target = metalinkTarget(rest.substr(0, end)); !target.empty())
                return target;
            if (end == std::string_view::npos) break;
            rest.remove_prefix(end + 1);
        }
    }
    return {};
}

std::optional<std::chrono::seconds> retryAfter(const ResponseHead& head, std::time_t now) {
    const std::string_view value = trimSpace(head.retryAfter);
    if (value.empty()) return std::nullopt;
    if (const auto delta = parseDecimal(value)) return std::chrono::seconds(*delta);
    const std::string date(value);
    const std::time_t when = curl_getdate(date.c_str(), nullptr);
    if (when < 0) return std::nullopt;
    return std::chrono::seconds(std::max<std::time_t>(0, when - now));
}

bool parseContentRange(std::string_view value, int64_t& first, int64_t& last, int64_t& total) {
    value = trimSpace(value);
    if (!startsWithNoCase(value, "bytes ")) return false;
    value = trimSpace(value.substr(6));
    const std::size_t dash = value.find('-');
    const std::size_t slash = value.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || dash > slash)
        return false;
    const auto a = parseDecimal(trimSpace(value.substr(0, dash)));
    const auto b = parseDecimal(trimSpace(value.substr(dash + 1, slash - dash - 1)));
    const std::string_view totalText = trimSpace(value.substr(slash + 1));
    if (!a || !b || *b < *a) return false;
    if (totalText == "*") {
        total = -1;
    } else {
        const auto t = parseDecimal(totalText);
        if (!t || *t <= *b) return false;
        total = *t;
    }
    first = *a;
    last = *b;
    return true;
}

void ResponseHead::addLine(std::string_view line) {
    if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
        *this = ResponseHead();
        const std::size_t space = line.find(' ');
        if (space != std::string_view::npos) {
            const auto code = parseDecimal(line.substr(space + 1, 3));
            status = code ? static_cast<long>(*code) : 0;
        }
        return;
    }
    if (trimSpace(line).empty()) {
        complete = true;
        return;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    const std::string name = asciiLower(trimSpace(line.substr(0, colon)));
    const std::string_view value = trimSpace(line.substr(colon + 1));
    if (name == "content-length") {
        const auto length = parseDecimal(value);
        if (!length || (contentLength >= 0 && contentLength != *length))
            lengthConflict = true;
        else
            contentLength = *length;
    } else if (name == "content-range") {
        haveRange = parseContentRange(value, rangeFirst, rangeLast, rangeTotal);
    } else if (name == "content-encoding") {
        contentEncoding += (contentEncoding.empty() ? "" : ",") + asciiLower(value);
    } else if (name == "transfer-encoding") {
        transferEncoding += (transferEncoding.empty() ? "" : ",") + asciiLower(value);
    } else if (name == "location") {
        location = std::string(value);
    } else if (name == "etag") {
        etag = std::string(value);
    } else if (name == "last-modified") {
        lastModified = std::string(value);
    } else if (name == "link") {
        links.emplace_back(value);
    } else if (name == "repr-digest") {
        reprDigest += (reprDigest.empty() ? "" : ",") + std::string(value);
    } else if (name == "retry-after") {
        retryAfter = std::string(value);
    }
}

Judgement judge(const ResponseHead& head, const Expectation& want) {
    Judgement j;
    if (isRedirect(head.status) && !head.location.empty()) {
        j.verdict = Verdict::Redirect;
        return j;
    }
    // Anything but identity would put encoded bytes into the file.
    if ((!head.contentEncoding.empty() && head.contentEncoding != "identity") ||
        !plainTransferCoding(head.transferEncoding) || head.lengthConflict)
        return j;
    if (head.status == 206) {
        if (!want.ranged || !head.haveRange || head.rangeFirst != want.from ||
            head.rangeLast != want.to - 1 ||
            (head.rangeTotal >= 0 && head.rangeTotal != want.fileSize))
            return j;
        const int64_t span = head.rangeLast - head.rangeFirst + 1;
        if (head.contentLength >= 0 && head.contentLength != span) return j;
        j.verdict = Verdict::Accept;
        j.bodyStart = want.from;
        j.length = head.contentLength >= 0 ? span : -1;
        return j;
    }
    if (head.status == 200) {
        if (head.contentLength >= 0 && head.contentLength != want.fileSize) return j;
        j.verdict = want.ranged && (want.from > 0 || want.to < want.fileSize) ? Verdict::Unranged
                                                                              : Verdict::Accept;
        j.bodyStart = 0;
        j.length = head.contentLength;
        return j;
    }
    return j;
}

} // namespace quarn::engine
