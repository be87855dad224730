// The pieces a download's file is made of, how much of each is already in
// the .part file and trusted, and the map that keeps this beside the .part
// when the pieces are fetched out of order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quarn::engine {

struct Piece {
    int64_t start = 0;
    int64_t end = 0;     // exclusive
    int64_t done = 0;    // bytes from start that are on disk and trusted
    int64_t written = 0; // bytes from start on disk, trusted or not yet
    int owner = -1;      // the connection working on it, or -1
    // Trusted bytes from an earlier run count only once a response has
    // confirmed the last of them (the resume overlap).
    bool verified = true;

    int64_t size() const noexcept { return end - start; }
    bool finished() const noexcept { return done == size() && verified; }
};

class PieceMap {
public:
    // One piece over the whole file whose first `prefix` bytes are kept.
    static PieceMap prefix(int64_t fileSize, int64_t prefix);
    // `count` pieces of about equal size, each trusting what lies within
    // the first `prefix` bytes.
    static PieceMap split(int64_t fileSize, int64_t prefix, int count);

    // The map file's text, and back. parse() refuses anything inconsistent:
    // another size, gaps or overlaps, a bad checksum, or a claim beyond the
    // `onDisk` bytes the .part really has.
    std::string serialise() const;
    static std::optional<PieceMap> parse(const std::string& text, int64_t fileSize, int64_t onDisk);

    std::vector<Piece>& pieces() noexcept { return pieces_; }
    const std::vector<Piece>& pieces() const noexcept { return pieces_; }
    int64_t fileSize() const noexcept { return fileSize_; }
    int64_t doneBytes() const noexcept;
    int64_t onDisk() const noexcept; // trusted or not: what current_file_size reports
    bool finished() const noexcept;
    // The piece holding file offset `at`, or -1.
    int find(int64_t at) const noexcept;
    // Splits piece `index` at `at`: the new piece [at, end) follows it, with
    // whatever of the old one's trusted bytes lie beyond `at`.
    void splitAt(std::size_t index, int64_t at);
    // Forgets every trusted byte: the file is to be fetched anew.
    void forget() noexcept;

private:
    int64_t fileSize_ = 0;
    std::vector<Piece> pieces_;
};

} // namespace quarn::engine
