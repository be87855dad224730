// What of a download's file is on disk and how far each byte is trusted;
// the grid of pieces a Metalink document hashes; and the map text that keeps
// what is on disk beside the .part between runs, bound to its download.
#pragma once

#include "libquarn/ranges.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::engine {

// Pieces of `length` bytes from the start of the file, the last one shorter.
class PieceGrid {
public:
    PieceGrid(int64_t fileSize, int64_t length);
    int64_t length() const noexcept { return length_; }
    std::size_t count() const noexcept { return count_; }
    int64_t start(std::size_t i) const noexcept { return static_cast<int64_t>(i) * length_; }
    int64_t end(std::size_t i) const noexcept;
    std::size_t index(int64_t at) const noexcept { return static_cast<std::size_t>(at / length_); }

private:
    int64_t size_;
    int64_t length_;
    std::size_t count_;
};

// The download's bytes by how far they are trusted; the three never overlap.
struct FileBytes {
    explicit FileBytes(int64_t fileSize) : size(fileSize) {}

    int64_t size;
    RangeSet good;    // durable, and verified or confirmed against the origin
    RangeSet claimed; // on disk from an earlier run, not yet confirmed in this one
    RangeSet written; // written in this run, waiting for their verdict

    int64_t onDisk() const noexcept { return good.bytes() + claimed.bytes() + written.bytes(); }
    bool complete() const noexcept { return good.bytes() == size; }
    bool held(int64_t from, int64_t to) const; // every byte good, claimed or written
    // The first byte at or after `at` that is none of the three, or -1.
    int64_t nextMissing(int64_t at) const;
    // The end of the held run from `at`, `at` itself when `at` is missing.
    int64_t heldEnd(int64_t at) const;
    // Where the held run that ends at `end` begins; `end` when byte end-1 is missing.
    int64_t heldFrom(int64_t end) const;
    // The first held byte at or after `at`, or `size`.
    int64_t nextHeld(int64_t at) const;
    RangeSet recorded() const; // what the map may claim: good and claimed
    void forget() noexcept;
};

// What a map belongs to. A map that names another download is not believed.
struct MapIdentity {
    std::string server; // scheme://host:port
    std::string site;
    std::string file;
    int64_t size = 0;
    std::string validator; // the origin's strong ETag or Last-Modified; empty: none known
    std::string document;  // hex SHA-256 that names the origin's document; empty: none

    bool sameDownload(const MapIdentity& other) const; // server, site, file and size
};

std::string serialiseMap(const MapIdentity& identity, const RangeSet& have);

struct ParsedMap {
    enum class Fit {
        Fits,    // this download's map
        Foreign, // a well-formed map of another download
        Corrupt, // not a map we wrote, or torn
    };
    Fit fit = Fit::Corrupt;
    MapIdentity identity;
    RangeSet have; // clamped to the `onDisk` bytes the .part really holds
};

// Bounded: a text longer than kMaxMapBytes is Corrupt.
inline constexpr std::size_t kMaxMapBytes = std::size_t{64} * 1024 * 1024;
ParsedMap parseMap(std::string_view text, const MapIdentity& expected, int64_t onDisk);

} // namespace quarn::engine
