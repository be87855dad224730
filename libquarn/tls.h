// Certificate trust for the engine's HTTPS connections.
#pragma once

#include <curl/curl.h>

namespace quarn::engine {

// Applies the engine's TLS settings to a fresh easy handle: verification
// always on, against the trust store the environment names when the handle
// is set up:
//   QUARN_CA_FILE                  that PEM file alone;
//   else SSL_CERT_FILE/SSL_CERT_DIR   each replaces its half of the system
//                                  store (file, hashed directory);
//   else                           the system store (libcurl's defaults).
// Unset and empty variables name nothing.
void applyTlsSettings(CURL* easy);

} // namespace quarn::engine
