// What a download trusts about the origin's file. The origin (the server
// the user named) is the trust root, never a peer: the validator pinned
// from its first answer, the whole-file digest it announced (RFC 9530),
// and its Metalink 4 document with the piece hashes, found through a Link
// (RFC 6249) or beside the file.
#pragma once

#include "libquarn/digest.h"
#include "libquarn/handles.h"
#include "libquarn/metalink.h"
#include "libquarn/requests.h"
#include "libquarn/response.h"

#include <chrono>
#include <optional>
#include <string>

namespace quarn::engine {

class OriginFacts {
public:
    // `mappedValidator`: what an earlier run pinned, from its map.
    explicit OriginFacts(std::string mappedValidator);

    // An accepted answer of the origin. The first pins its validator and
    // digest (an earlier run's validator stays pinned); false when an answer
    // shows another file than the pinned one.
    bool observe(const ResponseHead& head);
    // After a file change: the answer that showed it is the file from now on.
    void repin(const ResponseHead& head);

    bool pinned() const noexcept { return pinned_; }
    const std::string& validator() const noexcept { return validator_; }
    bool validatorFromMap() const noexcept { return fromMap_; }
    const std::optional<Sha256>& reprDigest() const noexcept { return reprDigest_; }

private:
    std::string validator_;
    bool fromMap_ = false;
    bool pinned_ = false;
    std::optional<Sha256> reprDigest_;
};

// The fetch of the origin's document: one GET, its body bounded by
// kMetalinkMaxBytes, no redirects followed (a document is where it is said
// to be). Credentials, index and hash only when it is on the origin.
class DocumentFetch {
public:
    DocumentFetch(const PreparedDownload& job, const std::string& url, const std::string& origin,
                  std::chrono::milliseconds timeout);
    DocumentFetch(const DocumentFetch&) = delete;
    DocumentFetch& operator=(const DocumentFetch&) = delete;
    ~DocumentFetch();

    bool start(CURLM* multi);
    CURL* easy() const noexcept { return easy_.get(); }
    // Once curl reported its end: what came back, for the file `name`.
    MetalinkResult finish(CURLM* multi, long result, std::string_view name);

private:
    static std::size_t bodyCallback(char* data, std::size_t size, std::size_t count, void* self);

    CurlEasy easy_;
    CurlSlist headers_;
    CURLM* multi_ = nullptr;
    std::string body_;
    bool tooLong_ = false;
};

// Where the document is: the Link the origin's answer named, resolved
// against `url`, else `fallback` (the file's URL with ".meta4").
std::string documentLocation(const ResponseHead& head, const std::string& url,
                             const std::string& fallback);

} // namespace quarn::engine
