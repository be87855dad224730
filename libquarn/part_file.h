// The files of one download on disk: the .part, the map beside it and the
// directory both live in. Everything that touches them is here: opening
// without following links, the lock that keeps a second download away,
// writes, comparisons, cuts, the map's text going out, and the durable
// completion. Names are always relative to the directory descriptor, so a
// link planted meanwhile leads nowhere.
#pragma once

#include "libquarn/handles.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quarn::engine {

class PartFile {
public:
    enum class Opened {
        Ready,  // open, regular, locked for this download
        Busy,   // another download (of this or another process) holds it
        Failed, // cannot be created or opened, or is not a regular file
    };

    // Opens or creates `{finalName}.part` in `dir` (borrowed; duplicated to
    // keep) and locks it (an open file description lock, held as long as
    // this object lives). A .part it created is removed again unless
    // keep() is called.
    static Opened open(int dir, const std::string& finalName, std::unique_ptr<PartFile>& out);
    ~PartFile();
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    // The start went through (or, with false, did not after all).
    void keep(bool kept = true) noexcept { undoCreate_ = created_ && !kept; }
    bool created() const noexcept { return created_; }
    int64_t initialSize() const noexcept { return initialSize_; }
    int fd() const noexcept { return part_.get(); }

    // The map's text as the last run left it (at most `limit` bytes; more
    // is taken as no map); empty when there is none.
    std::string readMap(std::size_t limit) const;
    bool hasMap() const;

    bool write(int64_t at, const char* data, std::size_t length);
    // The first offset in [at, at + length) where the .part differs from
    // `data` (or ends), or -1 when it holds exactly these bytes.
    int64_t firstMismatch(int64_t at, const char* data, std::size_t length);
    bool truncate(int64_t size);

    // Replaces the map's text in place with one pwrite, so a process killed
    // at any moment leaves the old text or the new one; `durable` waits
    // until it is on the disk.
    bool saveMap(const std::string& text, bool durable);

    // With every byte of a `size`-byte file in place: cuts a longer
    // leftover, flushes the data, drops the map, renames the .part to its
    // final name without replacing anything, and flushes the directory.
    // The lock is held throughout, so no other start finds a .part that is
    // about to become a finished file.
    bool complete(int64_t size);
    // A download that ends without completing: closes everything. A .part
    // this start created that still holds nothing goes, with its map.
    void close(bool holdsNothing);

private:
    PartFile() = default;

    UniqueFd dir_;
    UniqueFd part_;
    UniqueFd map_;
    std::size_t mapLength_ = 0;
    std::string partName_, finalName_, mapName_;
    bool created_ = false;
    bool undoCreate_ = false;
    int64_t initialSize_ = 0;
    std::vector<char> compareBuffer_;
};

} // namespace quarn::engine
