// Files offered for sharing, keyed by site and hash. Registrations come from
// the UI thread while a download runs, so the map has its own lock; nothing
// here touches the network.
#pragma once

#include "requests.h"

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace quarn::engine {

struct SharedFile {
    std::string path; // mapped local path
    long long size = 0;
};

class ShareRegistry {
public:
    // Validates, maps the path and checks the file: true only when it is a
    // regular file of exactly share.fileSize bytes. Replaces an entry with
    // the same site and hash (hash compared case-insensitively).
    bool add(const ShareRequest& share);

    std::optional<SharedFile> find(const std::string& site, const std::string& hash) const;
    std::size_t size() const;

private:
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, SharedFile> entries_;
};

} // namespace quarn::engine
