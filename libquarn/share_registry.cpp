#include "share_registry.h"

#include "paths.h"
#include "text.h"

#include <sys/stat.h>

namespace quarn::engine {
namespace {

std::string lowerHex(std::string hash) {
    for (char& c : hash)
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c | 0x20);
    return hash;
}

} // namespace

bool ShareRegistry::add(const ShareRequest& share) {
    if (share.site.empty() || share.site.find('\0') != std::string::npos ||
        !isHexDigest(share.hash) || share.fileSize <= 0)
        return false;
    std::optional<std::string> path = mapLocalPath(share.localFileName);
    if (!path) return false;
    // stat outside the lock: a slow disk must not hold up other registrations.
    struct stat info {};
    if (::stat(path->c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size != share.fileSize)
        return false;
    std::lock_guard lock(mutex_);
    entries_[{share.site, lowerHex(share.hash)}] = SharedFile{std::move(*path), share.fileSize};
    return true;
}

std::optional<SharedFile> ShareRegistry::find(const std::string& site, const std::string& hash) const {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find({site, lowerHex(hash)});
    if (it == entries_.end()) return std::nullopt;
    return it->second;
}

std::size_t ShareRegistry::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

} // namespace quarn::engine
