// Metalink 4 documents (RFC 5854): what the origin publishes about a file,
// its size, a whole-file SHA-256 and SHA-256 piece hashes. Read with libxml2,
// written by hand; the only reader and writer of the format, used by the
// engine, its share server and `quarn meta`.
#pragma once

#include "libquarn/digest.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::engine {

// Documents longer than this are not read (a fetch stops here too).
inline constexpr std::size_t kMetalinkMaxBytes = std::size_t{8} * 1024 * 1024;
inline constexpr int64_t kDefaultPieceLength = int64_t{1024} * 1024;

struct MetalinkFile {
    std::string name;
    int64_t size = -1;            // -1: the document gives none
    std::optional<Sha256> sha256; // of the whole file
    int64_t pieceLength = 0;      // 0: no piece hashes
    std::vector<Sha256> pieces;   // ceil(size / pieceLength) of them when given
};

struct MetalinkResult {
    enum class Kind {
        NotMetalink, // not a Metalink 4 document at all (HTML, other bytes, too long)
        Broken,      // a Metalink 4 document that cannot be read or contradicts itself
        Ok,
    };
    Kind kind = Kind::NotMetalink;
    MetalinkFile file;
    std::string why; // for Broken: what was wrong, for the logs and tests
};

// `name` picks the <file> entry when the document has several; a document
// with exactly one entry gives that one whatever its name. Broken covers
// malformed XML after a Metalink 4 root, no matching entry, a piece list
// whose count does not fit size and length, and bad hex; and a document
// type declaration, so no entity is ever expanded and no DTD fetched (bytes
// that do not parse before the root stay NotMetalink). Hash types other
// than sha-256 are ignored (an entry with none of ours has no hashes).
MetalinkResult parseMetalink(std::string_view document, std::string_view name);

// A complete document (XML declaration, urn:ietf:params:xml:ns:metalink
// root, one <file>) that parseMetalink reads back as `file`; what XML 1.0
// cannot carry in the name (bytes that are not UTF-8, control characters
// other than tab, LF and CR) is written as U+FFFD.
std::string writeMetalink(const MetalinkFile& file);

// Describes the open file `fd` of `size` bytes: the whole-file hash and one
// hash per `pieceLength` bytes, reading it once (an empty file has no piece
// hashes). nullopt on a read error or when the file is shorter than `size`.
std::optional<MetalinkFile> describeFile(int fd, int64_t size, std::string name,
                                         int64_t pieceLength = kDefaultPieceLength);

} // namespace quarn::engine
