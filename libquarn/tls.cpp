#include "tls.h"

namespace quarn::engine {

void applyTlsSettings(CURL* easy) {
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
}

} // namespace quarn::engine
