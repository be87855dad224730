// Why a download ended in QUARN_STATE_WRITE_ERROR or QUARN_STATE_SERVER_ERROR,
// as the transfer found it; the JSON status names it for a reader.
#pragma once

#include <cstdint>

namespace quarn::engine {

enum class Failure : int32_t {
    None = 0,
    HttpStatus,        // the server answered with an error status (see detail)
    ConnectionRefused, // nothing listened
    HostNotFound,      // the name did not resolve
    ConnectFailed,     // unreachable, timed out, reset
    Tls,               // the certificate did not verify, or the handshake failed
    Stalled,           // nothing arrived for the stall limit
    LengthDiffers,     // the server's file is not `filesize` bytes
    BadResponse,       // a response that is not the bytes asked for
    Redirect,          // too many redirects, or one from https to http
    DocumentMismatch,  // the origin's Metalink document does not describe this file
    BrokenDocument,    // the origin's Metalink document cannot be read
    PieceMismatch,     // the origin's bytes do not match its own document
    DigestMismatch,    // the origin's bytes do not match its Repr-Digest
    FileChanged,       // the origin's file changed and cannot be stitched
    NoSource,          // every source was dropped
    DiskFull,
    IoError,
};

// What the status board carries: the cause, and for HttpStatus the status.
struct FailureCause {
    Failure kind = Failure::None;
    int32_t detail = 0;
};

} // namespace quarn::engine
