#include "pieces.h"

#include <algorithm>

namespace quarn::engine {

PieceMap PieceMap::prefix(int64_t fileSize, int64_t prefix) {
    PieceMap map;
    map.fileSize_ = fileSize;
    const int64_t kept = std::clamp<int64_t>(prefix, 0, fileSize);
    map.pieces_.push_back(Piece{0, fileSize, kept, kept, -1});
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
    const auto it = std::upper_bound(pieces_.begin(), pieces_.end(), at,
                                     [](int64_t offset, const Piece& p) { return offset < p.start; });
    if (it == pieces_.begin()) return -1;
    const auto index = static_cast<int>(it - pieces_.begin()) - 1;
    return at < pieces_[static_cast<std::size_t>(index)].end ? index : -1;
}

} // namespace quarn::engine
