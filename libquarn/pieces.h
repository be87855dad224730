// The pieces a download's file is made of, and how much of each is already
// in the .part file and trusted.
#pragma once

#include <cstdint>
#include <vector>

namespace quarn::engine {

struct Piece {
    int64_t start = 0;
    int64_t end = 0;     // exclusive
    int64_t done = 0;    // bytes from start that are on disk and trusted
    int64_t written = 0; // bytes from start on disk, trusted or not yet
    int owner = -1;      // the connection working on it, or -1

    int64_t size() const noexcept { return end - start; }
    bool finished() const noexcept { return done == size(); }
};

class PieceMap {
public:
    // One piece over the whole file whose first `prefix` bytes are kept.
    static PieceMap prefix(int64_t fileSize, int64_t prefix);

    std::vector<Piece>& pieces() noexcept { return pieces_; }
    const std::vector<Piece>& pieces() const noexcept { return pieces_; }
    int64_t fileSize() const noexcept { return fileSize_; }
    int64_t doneBytes() const noexcept;
    int64_t onDisk() const noexcept; // trusted or not: what current_file_size reports
    bool finished() const noexcept;
    // The piece holding file offset `at`, or -1.
    int find(int64_t at) const noexcept;

private:
    int64_t fileSize_ = 0;
    std::vector<Piece> pieces_;
};

} // namespace quarn::engine
