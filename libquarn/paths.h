// Mapping of the console's local file names onto this machine.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quarn::engine {

// Where "X:\..." paths live: $QUARN_DRIVE_ROOT, else
// ${XDG_DATA_HOME:-~/.local/share}/quarn/drives. Read on every call because
// the environment may change between calls (tests point it elsewhere).
std::string driveRoot();

// "X:\dir\file" (either slash) -> driveRoot()/x/dir/file; "/abs/file" as it
// is, with duplicate slashes folded. nullopt for anything else: relative or
// UNC names, a missing file name, ".." anywhere (it could leave the root),
// or an unusable drive root.
std::optional<std::string> mapLocalPath(std::string_view windowsOrPosix);

// The parent directory of an absolute mapped path ("/" for "/file").
std::string parentDirectory(const std::string& path);

} // namespace quarn::engine
