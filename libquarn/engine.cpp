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

// QUARN_CONNECTIONS (1..16, default 4), QUARN_PEERS ("host:port,...") and
// QUARN_TRUST_PEERS.
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
    // Without piece hashes from the origin a peer's bytes cannot be checked:
    // peers are then used only when trusted like a mirror list.
    if (const char* text = std::getenv("QUARN_TRUST_PEERS"); text != nullptr)
        options.trustPeers = std::string_view(text) == "1";
    return options;
}

// What an earlier run left: this download's map when there is one that
// fits, else the .part as a prefix. A map that does not fit leaves nothing
// trusted, since its .part may have holes; the transfer replaces it.
void resumePoint(const PartFile& part, const PreparedDownload& job, TransferSetup& setup) {
    setup.identity.server = job.server;
    setup.identity.site = job.site;
    setup.identity.file = job.serverFileName;
    setup.identity.size = job.fileSize;
    if (!part.hasMap()) {
        setup.claimed.add(0, std::min<int64_t>(part.initialSize(), job.fileSize));
        return;
    }
    if (part.initialSize() == 0) return; // a map left without its .part
    ParsedMap map = parseMap(part.readMap(kMaxMapBytes), setup.identity, part.initialSize());
    if (map.fit != ParsedMap::Fit::Fits) return;
    setup.claimed = std::move(map.have);
    setup.identity.validator = map.identity.validator;
    setup.identity.document = map.identity.document;
    setup.mapFits = true;
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

    TransferSetup setup;
    switch (PartFile::open(walk.fd(), name.file, setup.part)) {
    case PartFile::Opened::Ready: break;
    case PartFile::Opened::Busy: return QUARN_ERR_OPERATION; // another download holds it
    case PartFile::Opened::Failed: return QUARN_ERR_FILE_CREATE;
    }
    resumePoint(*setup.part, prepared, setup);

    struct statvfs disk {};
    if (::fstatvfs(walk.fd(), &disk) == 0) {
        const auto freeBytes = static_cast<unsigned long long>(disk.f_bavail) * disk.f_frsize;
        if (freeBytes < static_cast<unsigned long long>(prepared.fileSize - setup.claimed.bytes()))
            return QUARN_ERR_DISK_FULL;
    }

    const int64_t onDisk = setup.claimed.bytes();
    PartFile* part = setup.part.get();
    const StatusSnapshot previous = board_.read();
    try {
        auto transfer =
            std::make_unique<Transfer>(prepared, std::move(setup), transferOptions(), board_);
        board_.publish(Transfer::initialStatus(onDisk, prepared.fileSize));
        // Kept from here on: until the thread runs, a failure takes it back.
        part->keep();
        try {
            transfer->launch();
        } catch (...) {
            part->keep(false);
            throw;
        }
        current_ = std::move(transfer);
    } catch (...) {
        board_.publish(previous);
        return QUARN_ERR_OPERATION;
    }
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
