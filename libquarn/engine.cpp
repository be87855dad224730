#include "libquarn/engine.h"

#include "libquarn/paths.h"
#include "libquarn/text.h"
#include "libquarn/transfer.h"

#include <quarn/quarn.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace quarn::engine {
namespace {

// libcurl's global set-up is not thread-safe: once, whoever comes first.
bool curlReady() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

// The .part file as a start opens it: never through a link, never anything
// but a regular file. Removes what it created unless kept.
class PartFile {
public:
    PartFile(int dir, const std::string& name) : dir_(dir), name_(name) {
        constexpr int kFlags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
        fd_.reset(::openat(dir, name.c_str(), kFlags | O_CREAT | O_EXCL, 0644));
        created_ = static_cast<bool>(fd_);
        // O_NONBLOCK so a FIFO in the way fails instead of waiting for a writer.
        if (!fd_ && errno == EEXIST) fd_.reset(::openat(dir, name.c_str(), kFlags));
        struct stat info {};
        if (!fd_ || ::fstat(fd_.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
            discard();
            return;
        }
        ::fcntl(fd_.get(), F_SETFL, ::fcntl(fd_.get(), F_GETFL) & ~O_NONBLOCK);
        size_ = info.st_size;
    }
    ~PartFile() { discard(); }
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    bool ok() const { return static_cast<bool>(fd_); }
    int fd() const { return fd_.get(); }
    int64_t size() const { return size_; }
    void keep() { created_ = false; }

private:
    void discard() {
        fd_.reset();
        if (created_) ::unlinkat(dir_, name_.c_str(), 0);
        created_ = false;
    }

    int dir_;
    std::string name_;
    UniqueFd fd_;
    bool created_ = false;
    int64_t size_ = 0;
};

// QUARN_CONNECTIONS (1..16, default 4) and QUARN_PEERS ("host:port,...").
TransferOptions transferOptions() {
    TransferOptions options;
    if (const char* text = std::getenv("QUARN_CONNECTIONS"); text != nullptr) {
        if (const auto n = parseDecimal(text))
            options.connections = static_cast<int>(std::clamp<long long>(*n, 1, 16));
    }
    if (const char* text = std::getenv("QUARN_PEERS"); text != nullptr) {
        std::string_view list(text);
        while (!list.empty()) {
            const std::size_t comma = list.find(',');
            const std::string_view entry = trimSpace(list.substr(0, comma));
            // Peers are share servers: plain HTTP, never a TLS endpoint.
            if (const auto endpoint = normaliseEndpoint(entry);
                endpoint && endpoint->rfind("http://", 0) == 0)
                options.peers.push_back(*endpoint);
            list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        }
    }
    return options;
}

// What of the .part can be trusted: the map beside it when there is one that
// fits, else the .part as a prefix. A map that does not fit leaves nothing
// trusted, since its .part may have holes.
PieceMap resumePoint(int dir, const std::string& mapName, int64_t fileSize, const PartFile& part,
                     TransferOptions& options) {
    const UniqueFd map(
        ::openat(dir, mapName.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!map && errno == ENOENT) return PieceMap::prefix(fileSize, part.size());
    if (part.size() == 0) return PieceMap::prefix(fileSize, 0); // a map left without its .part
    std::string text;
    char buffer[64 * 1024];
    struct stat info {};
    if (map && ::fstat(map.get(), &info) == 0 && S_ISREG(info.st_mode)) {
        ssize_t n = 0;
        while (text.size() < (4u << 20) && (n = ::read(map.get(), buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(n));
    }
    if (auto pieces = PieceMap::parse(text, fileSize, part.size())) {
        options.mapped = true;
        return std::move(*pieces);
    }
    options.untrusted = true;
    return PieceMap::prefix(fileSize, 0);
}

} // namespace

Engine::Engine() {
    curlReady();
}

// curl_global_cleanup is left out on purpose: the host process may use
// libcurl itself, and the engine lives until the process ends.
Engine::~Engine() {
    stop();
}

int Engine::start(const DownloadRequest& request) {
    const std::optional<PreparedDownload> prepared = prepareDownload(request);
    if (!prepared) return QUARN_ERR_PARAMETER;
    std::lock_guard lock(control_);
    // Settle the previous download before anything looks at the disk: until
    // its thread has ended, its rename may still be under way.
    if (current_) {
        if (!current_->finished()) return QUARN_ERR_OPERATION;
        current_->join();
        current_.reset();
    }
    if (!curlReady()) return QUARN_ERR_OPERATION;
    return startLocked(*prepared);
}

int Engine::startLocked(const PreparedDownload& prepared) {
    const LocalName& name = prepared.local;
    DirectoryWalk walk;
    switch (walk.open(name, false)) {
    case DirectoryWalk::Result::Opened: {
        struct stat info {};
        // A link at the final name counts as a file, wherever it points.
        if (::fstatat(walk.fd(), name.file.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
            return QUARN_ERR_FILE_EXISTS;
        break;
    }
    case DirectoryWalk::Result::Missing:
        if (walk.open(name, true) != DirectoryWalk::Result::Opened) return QUARN_ERR_DIRECTORY;
        break;
    case DirectoryWalk::Result::Refused: return QUARN_ERR_DIRECTORY;
    }

    DownloadFiles files;
    files.finalName = name.file;
    files.partName = name.file + ".part";
    files.mapName = files.partName + ".map";
    PartFile part(walk.fd(), files.partName);
    if (!part.ok()) return QUARN_ERR_FILE_CREATE;
    TransferOptions options = transferOptions();
    PieceMap pieces = resumePoint(walk.fd(), files.mapName, prepared.fileSize, part, options);

    struct statvfs disk {};
    if (::fstatvfs(walk.fd(), &disk) == 0) {
        const auto freeBytes = static_cast<unsigned long long>(disk.f_bavail) * disk.f_frsize;
        if (freeBytes < static_cast<unsigned long long>(prepared.fileSize - pieces.doneBytes()))
            return QUARN_ERR_DISK_FULL;
    }

    // The transfer gets its own descriptors; until it runs, the walk and the
    // part file still take back what this start created.
    files.part.reset(::fcntl(part.fd(), F_DUPFD_CLOEXEC, 0));
    files.dir.reset(::fcntl(walk.fd(), F_DUPFD_CLOEXEC, 0));
    if (!files.part || !files.dir) return QUARN_ERR_OPERATION;
    const int64_t onDisk = pieces.onDisk();
    const StatusSnapshot previous = board_.read();
    try {
        auto transfer = std::make_unique<Transfer>(prepared, std::move(files), std::move(pieces),
                                                   std::move(options), board_);
        board_.publish(Transfer::initialStatus(onDisk, prepared.fileSize));
        transfer->launch();
        current_ = std::move(transfer);
    } catch (...) {
        board_.publish(previous);
        return QUARN_ERR_OPERATION;
    }
    part.keep();
    walk.keep();
    return 0;
}

void Engine::stop() {
    std::lock_guard lock(control_);
    if (!current_) return;
    current_->requestStop();
    current_->join();
    current_.reset();
}

} // namespace quarn::engine
