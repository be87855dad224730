#include "libquarn/share_registry.h"

#include "libquarn/paths.h"
#include "libquarn/share_server.h"
#include "libquarn/text.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace quarn::engine {
ShareRegistry::ShareRegistry() = default;

ShareRegistry::~ShareRegistry() {
    std::lock_guard lock(serverMutex_);
    server_.reset();
}

bool ShareRegistry::add(const ShareRequest& share) {
    if (share.site.empty() || share.site.find('\0') != std::string::npos ||
        !isHexDigest(share.hash) || share.fileSize <= 0)
        return false;
    const std::optional<LocalName> name = splitLocalPath(share.localFileName);
    if (!name) return false;
    // Reached as a download's file is, without following a link below the
    // drive root, and a link itself is never registered. All outside the
    // lock: a slow disk must not hold up other registrations.
    DirectoryWalk walk;
    struct stat info {};
    if (walk.open(*name, false) != DirectoryWalk::Result::Opened ||
        ::fstatat(walk.fd(), name->file.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode) || info.st_size != share.fileSize)
        return false;
    std::string path = name->full();
    {
        std::lock_guard lock(mutex_);
        entries_[{share.site, asciiLower(share.hash)}] =
            SharedFile{std::move(path), share.fileSize, info.st_dev,
                       info.st_ino,     info.st_mtim,   nextGeneration_++};
    }
    // Only the first registration pays for the start; the others go on at
    // once, whether or not the server is up yet.
    if (!serverTried_.exchange(true, std::memory_order_acq_rel)) startServer();
    return true;
}

void ShareRegistry::startServer() {
    std::lock_guard lock(serverMutex_);
    server_ = ShareServer::start(*this, shareListenSetting());
}

std::optional<SharedFile> ShareRegistry::find(const std::string& site,
                                              const std::string& hash) const {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find({site, asciiLower(hash)});
    if (it == entries_.end()) return std::nullopt;
    return it->second;
}

void ShareRegistry::forget(const std::string& site, const std::string& hash,
                           std::uint64_t generation) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find({site, asciiLower(hash)});
    if (it != entries_.end() && it->second.generation == generation) entries_.erase(it);
}

std::size_t ShareRegistry::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

} // namespace quarn::engine
