#include "libquarn/response.h"

#include "libquarn/text.h"

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

} // namespace

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
