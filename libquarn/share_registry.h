// Files offered for sharing, keyed by site and hash. Registrations come from
// the UI thread while a download runs, the share server looks entries up
// from its thread and the describer fills in their digests from its own, so
// the map has its own lock, held only for map work: no file system or
// network call ever happens under it.
#pragma once

#include "libquarn/requests.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <utility>

namespace quarn::engine {

class ShareDescriber;
class ShareServer;

// What the share server says about a registered file besides its bytes,
// computed once in the background after its registration.
struct ShareDescription {
    std::string metalink;   // the Metalink 4 document of the file, named by its hash
    std::string reprDigest; // the Repr-Digest field value, "sha-256=:...:"
};

struct SharedFile {
    std::string path; // mapped local path
    long long size = 0;
    // What the file was when it was registered: a file replaced (another
    // inode), resized, rewritten or otherwise changed since (its ctime
    // moves even when its mtime is put back) is no longer the one offered.
    dev_t device = 0;
    ino_t inode = 0;
    timespec modified{};
    timespec changed{};
    std::uint64_t generation = 0; // tells a later registration of the same key apart
    std::shared_ptr<const ShareDescription> description; // null until computed

    bool matches(const struct stat& now) const noexcept;
};

class ShareRegistry {
public:
    ShareRegistry();
    ~ShareRegistry(); // stop()
    ShareRegistry(const ShareRegistry&) = delete;
    ShareRegistry& operator=(const ShareRegistry&) = delete;

    // Validates, maps the path and checks the file: true only when it is a
    // readable regular file of exactly share.fileSize bytes on a real file
    // system (not procfs, sysfs and the like, whose sizes are made up).
    // Replaces an entry with the same site and hash (hash compared
    // case-insensitively) and describes it anew. The first success starts
    // the share server (QUARN_SHARE_LISTEN) and, when it listens, the
    // describer; the answer does not depend on whether it could listen.
    bool add(const ShareRequest& share);

    std::optional<SharedFile> find(const std::string& site, const std::string& hash) const;
    // Drops the entry unless it was registered again since `generation`.
    void forget(const std::string& site, const std::string& hash, std::uint64_t generation);
    // Keeps `description` for the entry, unless it was registered again since.
    void describe(const std::string& site, const std::string& hash, std::uint64_t generation,
                  std::shared_ptr<const ShareDescription> description);
    std::size_t size() const;

    // Stops the server and the describer and joins their threads; nothing
    // starts them again. Registrations still answer.
    void stop() noexcept;

private:
    void startServing();

    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, SharedFile> entries_;
    std::uint64_t nextGeneration_ = 1;

    std::mutex serviceMutex_; // the two below, their start and their stop
    bool serviceTried_ = false;
    std::unique_ptr<ShareDescriber> describer_;
    std::unique_ptr<ShareServer> server_;
};

// Whether a file system's files are real bytes of their stated size; its
// statfs f_type. False for procfs, sysfs and the other pseudo file systems.
bool holdsRealFiles(long fsType) noexcept;

} // namespace quarn::engine
