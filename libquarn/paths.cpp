#include "paths.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace quarn::engine {
namespace {

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr)
        return pw->pw_dir;
    return {};
}

// Splits on any of `separators`, dropping empty and "." components; returns
// false on "..", which is never needed to name a file under a root.
bool splitComponents(std::string_view path, std::string_view separators,
                     std::vector<std::string_view>& out) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find_first_of(separators, start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view part = path.substr(start, end - start);
        if (part == "..") return false;
        if (!part.empty() && part != ".") out.push_back(part);
        start = end + 1;
    }
    return true;
}

bool endsWithSeparator(std::string_view path, std::string_view separators) {
    return !path.empty() && separators.find(path.back()) != std::string_view::npos;
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

std::optional<std::string> mapLocalPath(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return std::nullopt;
    std::vector<std::string_view> parts;
    std::string base;
    if (path.size() >= 3 && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
        path[1] == ':' && (path[2] == '\\' || path[2] == '/')) {
        constexpr std::string_view kSeparators = "\\/";
        if (endsWithSeparator(path, kSeparators)) return std::nullopt;
        if (!splitComponents(path.substr(3), kSeparators, parts)) return std::nullopt;
        base = driveRoot();
        if (base.empty() || base[0] != '/') return std::nullopt;
        while (base.size() > 1 && base.back() == '/') base.pop_back();
        if (base != "/") base += '/';
        base += static_cast<char>(path[0] | 0x20); // drive letters are case-insensitive
    } else if (!path.empty() && path[0] == '/') {
        if (endsWithSeparator(path, "/")) return std::nullopt;
        if (!splitComponents(path, "/", parts)) return std::nullopt;
    } else {
        return std::nullopt;
    }
    if (parts.empty()) return std::nullopt;
    std::string mapped = base;
    for (std::string_view part : parts) {
        mapped += '/';
        mapped += part;
    }
    return mapped;
}

std::string parentDirectory(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

} // namespace quarn::engine
