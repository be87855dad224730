#include "libquarn/share_registry.h"

#include "libquarn/handles.h"
#include "libquarn/paths.h"
#include "libquarn/share_describer.h"
#include "libquarn/share_server.h"
#include "libquarn/text.h"

#include <algorithm>
#include <fcntl.h>
#include <iterator>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace quarn::engine {
namespace {

// File systems whose files are made up by the kernel as they are read: a
// size that means nothing (sysfs says 4096, procfs 0) and contents that
// change from one read to the next.
constexpr long kPseudoFileSystems[] = {
    PROC_SUPER_MAGIC,    SYSFS_MAGIC,        DEBUGFS_MAGIC,
    TRACEFS_MAGIC,       SECURITYFS_MAGIC,   SELINUX_MAGIC,
    SMACK_MAGIC,         CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC,
    BPF_FS_MAGIC,        PSTOREFS_MAGIC,     EFIVARFS_MAGIC,
    DEVPTS_SUPER_MAGIC,  BINFMTFS_MAGIC,     NSFS_MAGIC,
    ANON_INODE_FS_MAGIC, SOCKFS_MAGIC,       PIPEFS_MAGIC,
    BDEVFS_MAGIC,        DEVMEM_MAGIC,       0x62656570 /* configfs */,
    0x65735543 /* fusectl */};

bool sameTime(const timespec& a, const timespec& b) noexcept {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

bool holdsRealFiles(long fsType) noexcept {
    return std::find(std::begin(kPseudoFileSystems), std::end(kPseudoFileSystems), fsType) ==
           std::end(kPseudoFileSystems);
}

bool SharedFile::matches(const struct stat& now) const noexcept {
    return S_ISREG(now.st_mode) && now.st_dev == device && now.st_ino == inode &&
           now.st_size == size && sameTime(now.st_mtim, modified) && sameTime(now.st_ctim, changed);
}

ShareRegistry::ShareRegistry() = default;

ShareRegistry::~ShareRegistry() {
    stop();
}

bool ShareRegistry::add(const ShareRequest& share) {
    if (share.site.empty() || share.site.find('\0') != std::string::npos ||
        !isHexDigest(share.hash) || share.fileSize <= 0)
        return false;
    const std::optional<LocalName> name = splitLocalPath(share.localFileName);
    if (!name) return false;
    // Reached as a download's file is, without following a link below the
    // drive root, and a link itself is never registered. Opened, so that a
    // file we could not read is refused now rather than answered 404 later.
    // All outside the lock: a slow disk must not hold up other registrations.
    DirectoryWalk walk;
    if (walk.open(*name, false) != DirectoryWalk::Result::Opened) return false;
    const UniqueFd file(::openat(walk.fd(), name->file.c_str(),
                                 O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat info {};
    struct statfs fs {};
    char probe = 0;
    if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size != share.fileSize || ::fstatfs(file.get(), &fs) != 0 ||
        !holdsRealFiles(static_cast<long>(fs.f_type)) || ::pread(file.get(), &probe, 1, 0) != 1)
        return false;
    std::string path = name->full();
    std::pair<std::string, std::string> key{share.site, asciiLower(share.hash)};
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        generation = nextGeneration_++;
        entries_[key] = SharedFile{std::move(path), share.fileSize, info.st_dev, info.st_ino,
                                   info.st_mtim,    info.st_ctim,   generation,  nullptr};
    }
    startServing();
    std::lock_guard lock(serviceMutex_);
    if (describer_) describer_->request(key.first, key.second, generation);
    return true;
}

void ShareRegistry::startServing() {
    std::lock_guard lock(serviceMutex_);
    if (serviceTried_) return;
    serviceTried_ = true;
    server_ = ShareServer::start(*this, shareListenSetting());
    // What the describer computes is only ever served.
    if (server_) describer_ = std::make_unique<ShareDescriber>(*this);
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

void ShareRegistry::describe(const std::string& site, const std::string& hash,
                             std::uint64_t generation,
                             std::shared_ptr<const ShareDescription> description) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find({site, asciiLower(hash)});
    if (it != entries_.end() && it->second.generation == generation)
        it->second.description = std::move(description);
}

std::size_t ShareRegistry::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

void ShareRegistry::stop() noexcept {
    std::unique_ptr<ShareServer> server;
    std::unique_ptr<ShareDescriber> describer;
    {
        std::lock_guard lock(serviceMutex_);
        serviceTried_ = true;
        server = std::move(server_);
        describer = std::move(describer_);
    }
    // The server first: it may still be reading what the describer wrote.
    server.reset();
    describer.reset();
}

} // namespace quarn::engine
