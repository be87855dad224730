// Files offered for sharing, keyed by site and hash. Registrations come from
// the UI thread while a download runs and the share server looks entries up
// from its own threads, so the map has its own lock, held only for map work:
// no file system or network call ever happens under it.
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
#include <sys/types.h>
#include <utility>

namespace quarn::engine {

class ShareServer;

struct SharedFile {
    std::string path; // mapped local path
    long long size = 0;
    // What the file was when it was registered: a file replaced (another
    // inode), resized or rewritten since is no longer the one offered.
    dev_t device = 0;
    ino_t inode = 0;
    timespec modified{};
    std::uint64_t generation = 0; // tells a later registration of the same key apart
};

class ShareRegistry {
public:
    ShareRegistry();
    ~ShareRegistry(); // stops the server this registry started, if any
    ShareRegistry(const ShareRegistry&) = delete;
    ShareRegistry& operator=(const ShareRegistry&) = delete;

    // Validates, maps the path and checks the file: true only when it is a
    // regular file of exactly share.fileSize bytes. Replaces an entry with
    // the same site and hash (hash compared case-insensitively). The first
    // success starts the share server (QUARN_SHARE_LISTEN); the answer does
    // not depend on whether it could listen.
    bool add(const ShareRequest& share);

    std::optional<SharedFile> find(const std::string& site, const std::string& hash) const;
    // Drops the entry unless it was registered again since `generation`.
    void forget(const std::string& site, const std::string& hash, std::uint64_t generation);
    std::size_t size() const;

private:
    void startServer();

    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, SharedFile> entries_;
    std::uint64_t nextGeneration_ = 1;

    std::atomic<bool> serverTried_{false};
    std::mutex serverMutex_;
    std::unique_ptr<ShareServer> server_; // last: it stops before the map goes
};

} // namespace quarn::engine
