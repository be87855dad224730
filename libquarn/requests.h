// What a start or a registration asks for, as the console sends it, and the
// checks that turn it into something the transfer can use. Pure functions:
// no I/O beyond reading the environment for the drive root.
#pragma once

#include "libquarn/paths.h"

#include <optional>
#include <string>
#include <string_view>

namespace quarn::engine {

// The ten values of a start, UTF-8.
struct DownloadRequest {
    std::string site, server, serverFileName, index, localFileName, hash;
    long long fileSize = 0;
    std::string userName, userPwd, userParams;
};

// A request that passed every parameter check.
struct PreparedDownload {
    std::string url;         // scheme://host[:port]/site/segments[?params]
    std::string documentUrl; // the same with ".meta4" after the last segment
    std::string server;      // scheme://host[:port], as normalised
    std::string serverFileName;
    LocalName local;  // where the file goes
    std::string site; // as given, for peers' share servers
    std::string index, hash, userName, userPwd;
    long long fileSize = 0;
};

struct ShareRequest {
    std::string site, hash, localFileName;
    long long fileSize = 0;
};

// Ten UTF-16 arguments; nullopt when any is NULL or not valid UTF-16.
std::optional<DownloadRequest> downloadRequestFromUtf16(
    const char16_t* site, const char16_t* server, const char16_t* serverFileName,
    const char16_t* index, const char16_t* localFileName, const char16_t* hash, long long fileSize,
    const char16_t* userName, const char16_t* userPwd, const char16_t* userParams);

// The JSON form: one object, string members, "filesize" as a decimal string
// or an integer. index and the user_* members may be absent (empty).
std::optional<DownloadRequest> parseDownloadRequestJson(std::u16string_view json);

// Every parameter check of a start, including the URL and the path mapping;
// nullopt is a parameter error.
std::optional<PreparedDownload> prepareDownload(const DownloadRequest& request);

// Registration JSON: "site", "hash", "localfilename" strings, "filesize"
// string or integer; other members ignored.
std::optional<ShareRequest> parseShareJson(std::u16string_view json);

// host[:port] with an optional http:// or https:// in front. Returns the
// normalised "scheme://authority" or nullopt.
std::optional<std::string> normaliseEndpoint(std::string_view server);

// Percent-encodes everything but RFC 3986 unreserved characters.
std::string encodePathSegment(std::string_view segment);

} // namespace quarn::engine
