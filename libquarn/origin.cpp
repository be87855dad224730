#include "libquarn/origin.h"

#include "libquarn/connection.h"

#include <stdexcept>

namespace quarn::engine {

OriginFacts::OriginFacts(std::string mappedValidator)
    : validator_(std::move(mappedValidator)), fromMap_(!validator_.empty()) {}

bool OriginFacts::observe(const ResponseHead& head) {
    const std::string validator = pinnedValidator(head);
    const std::optional<Sha256> digest = parseReprDigest(head.reprDigest);
    if (!pinned_) {
        pinned_ = true;
        if (validator_.empty()) validator_ = validator;
        reprDigest_ = digest;
        return validator.empty() || validator == validator_;
    }
    if (!validator.empty() && !validator_.empty() && validator != validator_) return false;
    // Only the first answer's digest is checked: the whole file is hashed
    // from the start or not at all. A later one that differs shows a change.
    return !(digest && reprDigest_ && *digest != *reprDigest_);
}

void OriginFacts::repin(const ResponseHead& head) {
    validator_ = pinnedValidator(head);
    fromMap_ = false;
    pinned_ = true;
    reprDigest_ = parseReprDigest(head.reprDigest);
}

DocumentFetch::DocumentFetch(const PreparedDownload& job, const std::string& url,
                             const std::string& origin, std::chrono::milliseconds timeout)
    : easy_(newEasy()) {
    CURL* easy = easy_.get();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &DocumentFetch::bodyCallback);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_slist* list = curl_slist_append(nullptr, "Accept-Encoding: identity");
    if (list == nullptr) throw std::bad_alloc();
    headers_.reset(list);
    if (originOf(url) == origin) {
        if (!job.index.empty()) list = curl_slist_append(list, ("index: " + job.index).c_str());
        if (list != nullptr) list = curl_slist_append(list, ("hash: " + job.hash).c_str());
        if (list == nullptr) throw std::bad_alloc();
        if (!job.userName.empty()) {
            curl_easy_setopt(easy, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
            curl_easy_setopt(easy, CURLOPT_USERNAME, job.userName.c_str());
            curl_easy_setopt(easy, CURLOPT_PASSWORD, job.userPwd.c_str());
        }
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers_.get());
}

DocumentFetch::~DocumentFetch() {
    if (multi_ != nullptr) curl_multi_remove_handle(multi_, easy_.get());
}

bool DocumentFetch::start(CURLM* multi) {
    if (curl_multi_add_handle(multi, easy_.get()) != CURLM_OK) return false;
    multi_ = multi;
    return true;
}

std::size_t DocumentFetch::bodyCallback(char* data, std::size_t size, std::size_t count,
                                        void* self) {
    auto& fetch = *static_cast<DocumentFetch*>(self);
    const std::size_t length = size * count;
    if (fetch.body_.size() + length > kMetalinkMaxBytes) {
        fetch.tooLong_ = true; // stop reading past the bound
        return 0;
    }
    fetch.body_.append(data, length);
    return length;
}

MetalinkResult DocumentFetch::finish(CURLM* multi, long result, std::string_view name) {
    curl_multi_remove_handle(multi, easy_.get());
    multi_ = nullptr;
    long status = 0;
    curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &status);
    if (tooLong_ || result != CURLE_OK || status != 200) return {};
    // Whatever the answer calls itself, only a Metalink 4 root makes it a document.
    return parseMetalink(body_, name);
}

std::string documentLocation(const ResponseHead& head, const std::string& url,
                             const std::string& fallback) {
    const std::string link = metalinkLink(head);
    if (link.empty()) return fallback;
    const CurlUrl parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
        curl_url_set(parsed.get(), CURLUPART_URL, link.c_str(), 0) != CURLUE_OK)
        return fallback;
    char* resolved = nullptr;
    if (curl_url_get(parsed.get(), CURLUPART_URL, &resolved, 0) != CURLUE_OK) return fallback;
    const CurlString owned(resolved);
    return owned.get();
}

} // namespace quarn::engine
