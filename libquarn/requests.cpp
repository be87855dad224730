#include "libquarn/requests.h"

#include "libquarn/paths.h"
#include "libquarn/text.h"

#include <initializer_list>
#include <json/json.h>
#include <memory>
#include <vector>

namespace quarn::engine {
namespace {

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

bool isHex(char c) {
    return hexDigitValue(c) >= 0;
}

void appendEscaped(std::string& out, unsigned char c) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 15];
}

// user_params arrive as a ready query string ("a=1&b=2"); keep its structure
// and escape only what cannot appear in a URL, so "%41" stays as given.
std::string encodeQuery(std::string_view query) {
    if (!query.empty() && query.front() == '?') query.remove_prefix(1);
    static constexpr std::string_view kKeep = "!$&'()*+,;=:@/?";
    std::string out;
    for (std::size_t i = 0; i < query.size(); ++i) {
        const auto c = static_cast<unsigned char>(query[i]);
        if (isUnreserved(c) || kKeep.find(static_cast<char>(c)) != std::string_view::npos) {
            out += static_cast<char>(c);
        } else if (c == '%' && i + 2 < query.size() && isHex(query[i + 1]) && isHex(query[i + 2])) {
            out += '%';
        } else {
            appendEscaped(out, c);
        }
    }
    return out;
}

// Header values go on the wire verbatim: no control characters, so a value
// can never smuggle in a second header.
bool isHeaderSafe(std::string_view value) {
    for (char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

bool hasNul(std::string_view value) {
    return value.find('\0') != std::string_view::npos;
}

bool validHostName(std::string_view host) {
    if (host.empty() || host.size() > 253) return false;
    if (host.front() == '[') {
        if (host.size() < 4 || host.back() != ']') return false;
        for (char c : host.substr(1, host.size() - 2))
            if (!isHex(c) && c != ':' && c != '.') return false;
        return true;
    }
    for (char ch : host) {
        const auto c = static_cast<unsigned char>(ch);
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
        if (!ok) return false;
    }
    return host.front() != '.' && host.front() != '-';
}

// The value of a "\uXXXX" escape at text[at], or -1.
long escapedUnit(std::u16string_view text, std::size_t at) {
    if (at + 6 > text.size() || text[at] != u'\\' || text[at + 1] != u'u') return -1;
    long unit = 0;
    for (std::size_t i = at + 2; i < at + 6; ++i) {
        const int digit = text[i] < 0x80 ? hexDigitValue(static_cast<char>(text[i])) : -1;
        if (digit < 0) return -1;
        unit = unit * 16 + digit;
    }
    return unit;
}

// A lone surrogate written as an escape is as invalid as a raw one; the JSON
// reader would turn it into a stray code point instead of refusing it.
bool escapesArePaired(std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != u'\\') continue;
        const long unit = escapedUnit(text, i);
        if (unit < 0) {
            ++i; // an escape of one character, such as \\ or \"
            continue;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            const long low = escapedUnit(text, i + 6);
            if (low < 0xDC00 || low > 0xDFFF) return false;
            i += 6;
        }
        i += 5;
    }
    return true;
}

std::optional<Json::Value> parseObject(std::u16string_view json) {
    const std::optional<std::string> utf8 = utf16ToUtf8(json);
    if (!utf8 || !escapesArePaired(json)) return std::nullopt;
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder.settings_["rejectDupKeys"] = false; // last one wins, like the console's writer
    builder.settings_["stackLimit"] = 64;       // a request is flat; deep nesting is hostile
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    const char* begin = utf8->data();
    try {
        if (!reader->parse(begin, begin + utf8->size(), &root, &errors) || !root.isObject())
            return std::nullopt;
    } catch (const Json::Exception&) {
        return std::nullopt; // beyond the depth limit the reader throws
    }
    return root;
}

// Absent members read as `fallback`; present ones must be strings.
std::optional<std::string> stringMember(const Json::Value& object, const char* name,
                                        std::optional<std::string> fallback = std::nullopt) {
    const Json::Value* member = object.find(name, name + std::char_traits<char>::length(name));
    if (member == nullptr) return fallback;
    if (!member->isString()) return std::nullopt;
    return member->asString();
}

// Reads each named string member into its target; false on the first that
// is missing (without a fallback) or not a string.
bool readStringMembers(const Json::Value& object,
                       std::initializer_list<std::pair<const char*, std::string*>> members,
                       const std::optional<std::string>& fallback = std::nullopt) {
    for (const auto& [name, target] : members) {
        std::optional<std::string> value = stringMember(object, name, fallback);
        if (!value) return false;
        *target = std::move(*value);
    }
    return true;
}

// The console sends sizes as decimal strings; a JSON integer is as good.
std::optional<long long> sizeMember(const Json::Value& object, const char* name) {
    const Json::Value* member = object.find(name, name + std::char_traits<char>::length(name));
    if (member == nullptr) return std::nullopt;
    if (member->isString()) return parseDecimal(member->asString());
    if (member->isIntegral() && member->isInt64()) return member->asInt64();
    return std::nullopt;
}

} // namespace

std::string encodePathSegment(std::string_view segment) {
    std::string out;
    out.reserve(segment.size());
    for (char ch : segment) {
        const auto c = static_cast<unsigned char>(ch);
        if (isUnreserved(c))
            out += ch;
        else
            appendEscaped(out, c);
    }
    return out;
}

std::optional<std::string> normaliseEndpoint(std::string_view server) {
    std::string scheme = "http://";
    if (startsWithNoCase(server, "https://")) {
        scheme = "https://";
        server.remove_prefix(8);
    } else if (startsWithNoCase(server, "http://")) {
        server.remove_prefix(7);
    }
    std::string_view host = server;
    std::string_view port;
    const std::size_t colon = server.rfind(':');
    const std::size_t bracket = server.rfind(']');
    if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
        host = server.substr(0, colon);
        port = server.substr(colon + 1);
        const std::optional<long long> number = parseDecimal(port);
        if (!number || *number < 1 || *number > 65535) return std::nullopt;
    }
    if (!validHostName(host)) return std::nullopt;
    return scheme + std::string(server);
}

std::optional<DownloadRequest> downloadRequestFromUtf16(
    const char16_t* site, const char16_t* server, const char16_t* serverFileName,
    const char16_t* index, const char16_t* localFileName, const char16_t* hash, long long fileSize,
    const char16_t* userName, const char16_t* userPwd, const char16_t* userParams) {
    DownloadRequest request;
    const std::pair<const char16_t*, std::string*> fields[] = {
        {site, &request.site},
        {server, &request.server},
        {serverFileName, &request.serverFileName},
        {index, &request.index},
        {localFileName, &request.localFileName},
        {hash, &request.hash},
        {userName, &request.userName},
        {userPwd, &request.userPwd},
        {userParams, &request.userParams}};
    for (const auto& [text, target] : fields) {
        std::optional<std::string> utf8 = utf16ToUtf8(text);
        if (!utf8) return std::nullopt;
        *target = std::move(*utf8);
    }
    request.fileSize = fileSize;
    return request;
}

std::optional<DownloadRequest> parseDownloadRequestJson(std::u16string_view json) {
    const std::optional<Json::Value> root = parseObject(json);
    if (!root) return std::nullopt;
    DownloadRequest request;
    if (!readStringMembers(*root, {{"site", &request.site},
                                   {"server", &request.server},
                                   {"serverfilename", &request.serverFileName},
                                   {"localfilename", &request.localFileName},
                                   {"hash", &request.hash}}) ||
        !readStringMembers(*root,
                           {{"index", &request.index},
                            {"user_name", &request.userName},
                            {"user_pwd", &request.userPwd},
                            {"user_params", &request.userParams}},
                           std::string()))
        return std::nullopt;
    const std::optional<long long> size = sizeMember(*root, "filesize");
    if (!size) return std::nullopt;
    request.fileSize = *size;
    return request;
}

std::optional<PreparedDownload> prepareDownload(const DownloadRequest& request) {
    if (request.site.empty() || request.server.empty() || request.serverFileName.empty() ||
        request.localFileName.empty() || request.fileSize <= 0 || !isHexDigest(request.hash))
        return std::nullopt;
    for (const std::string* text : {&request.site, &request.serverFileName, &request.userName,
                                    &request.userPwd, &request.userParams})
        if (hasNul(*text)) return std::nullopt;
    if (!isHeaderSafe(request.index)) return std::nullopt;
    if (request.site == "." || request.site == "..") return std::nullopt;

    const std::optional<std::string> endpoint = normaliseEndpoint(request.server);
    if (!endpoint) return std::nullopt;

    // The server file name may name a directory path; each segment is encoded
    // on its own and dot segments are refused so the URL stays under the site.
    std::string path = "/" + encodePathSegment(request.site);
    std::size_t segments = 0;
    std::string_view rest = request.serverFileName;
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string_view segment = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (segment.empty()) continue;
        if (segment == "." || segment == "..") return std::nullopt;
        path += '/';
        path += encodePathSegment(segment);
        ++segments;
    }
    if (segments == 0) return std::nullopt;

    std::optional<LocalName> local = splitLocalPath(request.localFileName);
    if (!local) return std::nullopt;

    PreparedDownload prepared;
    prepared.url = *endpoint + path;
    // The origin's document about the file sits beside it.
    prepared.documentUrl = prepared.url + ".meta4";
    const std::string query = encodeQuery(request.userParams);
    if (!query.empty()) {
        prepared.url += "?" + query;
        prepared.documentUrl += "?" + query;
    }
    prepared.server = *endpoint;
    prepared.serverFileName = request.serverFileName;
    prepared.local = std::move(*local);
    prepared.site = request.site;
    prepared.index = request.index;
    prepared.hash = request.hash;
    prepared.userName = request.userName;
    prepared.userPwd = request.userPwd;
    prepared.fileSize = request.fileSize;
    return prepared;
}

std::optional<ShareRequest> parseShareJson(std::u16string_view json) {
    const std::optional<Json::Value> root = parseObject(json);
    if (!root) return std::nullopt;
    ShareRequest share;
    if (!readStringMembers(*root, {{"site", &share.site},
                                   {"hash", &share.hash},
                                   {"localfilename", &share.localFileName}}))
        return std::nullopt;
    const std::optional<long long> size = sizeMember(*root, "filesize");
    if (!size) return std::nullopt;
    share.fileSize = *size;
    return share;
}

} // namespace quarn::engine
