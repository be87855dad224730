#include "libquarn/pieces.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <sstream>

namespace quarn::engine {
namespace {

constexpr std::string_view kMagic = "quarn-map 1";

uint64_t checksum(std::string_view text) {
    uint64_t hash = 1469598103934665603ULL; // FNV-1a
    for (char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    return hash;
}

std::string pieceLines(const std::vector<Piece>& pieces) {
    std::string lines;
    char line[80];
    for (const Piece& p : pieces) {
        std::snprintf(line, sizeof line, "%" PRId64 " %" PRId64 " %" PRId64 "\n", p.start, p.end,
                      p.done);
        lines += line;
    }
    return lines;
}

} // namespace

PieceMap PieceMap::prefix(int64_t fileSize, int64_t prefix) {
    return split(fileSize, prefix, 1);
}

PieceMap PieceMap::split(int64_t fileSize, int64_t prefix, int count) {
    PieceMap map;
    map.fileSize_ = fileSize;
    const int64_t n = std::max<int64_t>(1, std::min<int64_t>(count, fileSize));
    for (int64_t i = 0; i < n; ++i) {
        Piece p;
        p.start = fileSize * i / n;
        p.end = fileSize * (i + 1) / n;
        p.done = p.written = std::clamp<int64_t>(prefix - p.start, 0, p.size());
        p.verified = p.done == 0;
        map.pieces_.push_back(p);
    }
    return map;
}

std::string PieceMap::serialise() const {
    const std::string lines = pieceLines(pieces_);
    char header[128];
    std::snprintf(header, sizeof header, "%s %" PRId64 " %zu %016" PRIx64 "\n", kMagic.data(),
                  fileSize_, pieces_.size(), checksum(lines));
    return header + lines;
}

std::optional<PieceMap> PieceMap::parse(const std::string& text, int64_t fileSize, int64_t onDisk) {
    std::istringstream in(text);
    std::string magic, version;
    int64_t size = 0;
    std::size_t count = 0;
    std::string sum;
    if (!(in >> magic >> version >> size >> count >> sum) || magic + " " + version != kMagic ||
        size != fileSize || count == 0 || count > 1u << 20)
        return std::nullopt;
    PieceMap map;
    map.fileSize_ = fileSize;
    int64_t expectedStart = 0;
    for (std::size_t i = 0; i < count; ++i) {
        Piece p;
        if (!(in >> p.start >> p.end >> p.done) || p.start != expectedStart || p.end <= p.start ||
            p.end > fileSize || p.done < 0 || p.done > p.size())
            return std::nullopt;
        // Never trust more than the .part holds.
        p.done = std::clamp<int64_t>(std::min(p.done, onDisk - p.start), 0, p.size());
        p.written = p.done;
        p.verified = p.done == 0;
        expectedStart = p.end;
        map.pieces_.push_back(p);
    }
    if (expectedStart != fileSize) return std::nullopt;
    // The checksum covers the lines as written, before any clamping.
    const std::size_t body = text.find('\n');
    std::string lines;
    std::istringstream rest(text.substr(body + 1));
    std::string line;
    for (std::size_t i = 0; i < count && std::getline(rest, line); ++i) lines += line + "\n";
    char expected[32];
    std::snprintf(expected, sizeof expected, "%016" PRIx64, checksum(lines));
    if (sum != expected) return std::nullopt;
    return map;
}

int64_t PieceMap::doneBytes() const noexcept {
    int64_t sum = 0;
    for (const Piece& p : pieces_) sum += p.done;
    return sum;
}

int64_t PieceMap::onDisk() const noexcept {
    int64_t sum = 0;
    for (const Piece& p : pieces_) sum += std::max(p.done, p.written);
    return sum;
}

bool PieceMap::finished() const noexcept {
    return std::all_of(pieces_.begin(), pieces_.end(), [](const Piece& p) { return p.finished(); });
}

int PieceMap::find(int64_t at) const noexcept {
    const auto it =
        std::upper_bound(pieces_.begin(), pieces_.end(), at,
                         [](int64_t offset, const Piece& p) { return offset < p.start; });
    if (it == pieces_.begin()) return -1;
    const auto index = static_cast<int>(it - pieces_.begin()) - 1;
    return at < pieces_[static_cast<std::size_t>(index)].end ? index : -1;
}

void PieceMap::splitAt(std::size_t index, int64_t at) {
    Piece& old = pieces_[index];
    Piece tail;
    tail.start = at;
    tail.end = old.end;
    tail.done = std::clamp<int64_t>(old.start + old.done - at, 0, tail.size());
    tail.written = std::clamp<int64_t>(old.start + old.written - at, 0, tail.size());
    tail.verified = old.verified || tail.done == 0;
    old.end = at;
    old.done = std::min(old.done, old.size());
    old.written = std::min(old.written, old.size());
    pieces_.insert(pieces_.begin() + static_cast<std::ptrdiff_t>(index) + 1, tail);
}

void PieceMap::forget() noexcept {
    for (Piece& p : pieces_) {
        p.done = p.written = 0;
        p.verified = true;
    }
}

} // namespace quarn::engine
