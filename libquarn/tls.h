// Certificate trust for the engine's HTTPS connections.
#pragma once

#include <curl/curl.h>

namespace quarn::engine {

// Applies the engine's TLS settings to a fresh easy handle: verification on,
// and the trust store the environment names (system store by default).
void applyTlsSettings(CURL* easy);

} // namespace quarn::engine
