// Mapping of the console's local file names onto this machine, and the walk
// that reaches them without leaving the drive root.
#pragma once

#include "libquarn/handles.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::engine {

// Where "X:\..." paths live: $QUARN_DRIVE_ROOT, else
// ${XDG_DATA_HOME:-~/.local/share}/quarn/drives. Read on every call because
// the environment may change between calls (tests point it elsewhere).
std::string driveRoot();

// A mapped local file name, split for a walk from a trusted base.
struct LocalName {
    std::string base;              // the drive root, or "/" for a POSIX path
    std::vector<std::string> dirs; // directories below base, outermost first
    std::string file;              // the file name itself
    // A drive path: no link below base is followed, so nothing can lead
    // outside the root. A POSIX path is the caller's own and is used as it is.
    bool confined = false;

    std::string full() const;
};

// "X:\dir\file" (either slash) -> driveRoot()/x/dir/file; "/abs/file" as it
// is, with duplicate slashes folded. nullopt for anything else: relative or
// UNC names, a missing file name, a component that is "." or "..", or one
// ending in a dot or a space (Windows would quietly drop them and so name
// another file), or an unusable drive root.
std::optional<LocalName> splitLocalPath(std::string_view windowsOrPosix);
std::optional<std::string> mapLocalPath(std::string_view windowsOrPosix);

// The directory that holds a local file, opened by walking from its base one
// component at a time (O_NOFOLLOW below a confined base). With `create`,
// missing directories are made, and remembered so that undo() can take them
// away again when the operation that needed them is refused: unless keep()
// is called, they go with the walk.
class DirectoryWalk {
public:
    enum class Result { Opened, Missing, Refused };

    DirectoryWalk() = default;
    ~DirectoryWalk() { undo(); }
    DirectoryWalk(const DirectoryWalk&) = delete;
    DirectoryWalk& operator=(const DirectoryWalk&) = delete;

    Result open(const LocalName& name, bool create);
    int fd() const noexcept { return dir_.get(); }
    void undo() noexcept; // removes the directories this walk made, deepest first
    void keep() noexcept { made_.clear(); }

private:
    struct Made {
        UniqueFd parent;
        std::string name;
    };
    UniqueFd dir_;
    std::vector<Made> made_;
};

} // namespace quarn::engine
