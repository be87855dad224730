#include "libquarn/paths.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarn::engine {
namespace {

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr)
        return pw->pw_dir;
    return {};
}

bool usableComponent(std::string_view part) {
    return part != "." && part != ".." && part.back() != '.' && part.back() != ' ';
}

// Splits on any of `separators`, folding empty components; false on a
// component no file of ours may have.
bool splitComponents(std::string_view path, std::string_view separators,
                     std::vector<std::string>& out) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find_first_of(separators, start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view part = path.substr(start, end - start);
        if (!part.empty()) {
            if (!usableComponent(part)) return false;
            out.emplace_back(part);
        }
        start = end + 1;
    }
    return true;
}

bool endsWithSeparator(std::string_view path, std::string_view separators) {
    return !path.empty() && separators.find(path.back()) != std::string_view::npos;
}

bool isDrivePath(std::string_view path) {
    return path.size() >= 3 &&
           ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
           path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

} // namespace

std::string driveRoot() {
    if (const char* root = std::getenv("QUARN_DRIVE_ROOT"); root != nullptr && root[0] != '\0')
        return root;
    std::string data;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
        data = xdg;
    } else {
        const std::string home = homeDirectory();
        if (home.empty()) return {};
        data = home + "/.local/share";
    }
    return data + "/quarn/drives";
}

std::string LocalName::full() const {
    std::string path = base == "/" ? std::string() : base;
    for (const std::string& dir : dirs) path += '/' + dir;
    return path + '/' + file;
}

std::optional<LocalName> splitLocalPath(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return std::nullopt;
    LocalName name;
    std::vector<std::string> parts;
    if (isDrivePath(path)) {
        constexpr std::string_view kSeparators = "\\/";
        if (endsWithSeparator(path, kSeparators)) return std::nullopt;
        if (!splitComponents(path.substr(3), kSeparators, parts)) return std::nullopt;
        name.base = driveRoot();
        if (name.base.empty() || name.base[0] != '/') return std::nullopt;
        while (name.base.size() > 1 && name.base.back() == '/') name.base.pop_back();
        name.confined = true;
        // Drive letters are case-insensitive.
        parts.insert(parts.begin(), std::string(1, static_cast<char>(path[0] | 0x20)));
    } else if (!path.empty() && path[0] == '/') {
        if (endsWithSeparator(path, "/")) return std::nullopt;
        if (!splitComponents(path, "/", parts)) return std::nullopt;
        name.base = "/";
    } else {
        return std::nullopt;
    }
    if (parts.empty() || (name.confined && parts.size() < 2)) return std::nullopt;
    name.file = std::move(parts.back());
    parts.pop_back();
    name.dirs = std::move(parts);
    return name;
}

std::optional<std::string> mapLocalPath(std::string_view path) {
    const std::optional<LocalName> name = splitLocalPath(path);
    if (!name) return std::nullopt;
    return name->full();
}

DirectoryWalk::Result DirectoryWalk::open(const LocalName& name, bool create) {
    undo();
    dir_.reset();
    // The base itself is trusted: the drive root may be a link the user set up.
    if (name.confined && create) {
        // Make the drive root on first use, as far as it is missing.
        std::string partial;
        std::size_t from = 1;
        while (from <= name.base.size()) {
            const std::size_t slash = name.base.find('/', from);
            partial = name.base.substr(0, slash);
            if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return Result::Refused;
            if (slash == std::string::npos) break;
            from = slash + 1;
        }
    }
    UniqueFd current(::open(name.base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!current) return errno == ENOENT ? Result::Missing : Result::Refused;
    const int follow = name.confined ? O_NOFOLLOW : 0;
    for (const std::string& dir : name.dirs) {
        UniqueFd next(
            ::openat(current.get(), dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | follow));
        if (!next && errno == ENOENT) {
            if (!create) return Result::Missing;
            // Made meanwhile by somebody else (EEXIST): theirs, never undone.
            if (::mkdirat(current.get(), dir.c_str(), 0755) == 0)
                made_.push_back({UniqueFd(::dup(current.get())), dir});
            else if (errno != EEXIST)
                return Result::Refused;
            next.reset(
                ::openat(current.get(), dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | follow));
        }
        // ELOOP/ENOTDIR: a link or a file where a directory should be.
        if (!next) return Result::Refused;
        current = std::move(next);
    }
    dir_ = std::move(current);
    return Result::Opened;
}

void DirectoryWalk::undo() noexcept {
    for (auto it = made_.rbegin(); it != made_.rend(); ++it)
        if (it->parent) ::unlinkat(it->parent.get(), it->name.c_str(), AT_REMOVEDIR);
    made_.clear();
}

} // namespace quarn::engine
