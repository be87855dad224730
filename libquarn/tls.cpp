#include "libquarn/tls.h"

#include <cstdlib>

namespace quarn::engine {
namespace {

const char* named(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

} // namespace

void applyTlsSettings(CURL* easy) {
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (const char* caFile = named("QUARN_CA_FILE")) {
        // Our own variable pins trust to one file, so a company CA does not
        // quietly widen into "that CA plus every public one".
        curl_easy_setopt(easy, CURLOPT_CAINFO, caFile);
        curl_easy_setopt(easy, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
        return;
    }
    // OpenSSL's convention, as its own tools read it: each variable stands in
    // for the default it names and leaves the other one alone.
    if (const char* file = named("SSL_CERT_FILE")) curl_easy_setopt(easy, CURLOPT_CAINFO, file);
    if (const char* dir = named("SSL_CERT_DIR")) curl_easy_setopt(easy, CURLOPT_CAPATH, dir);
}

} // namespace quarn::engine
