#include "libquarn/share_answer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace quarn::engine {
namespace {

using namespace std::chrono_literals;

// A mapping outlives the last answer that used it by this much.
constexpr auto kMappingKept = 10s;
// The last bytes of a body, read and checked before they go out.
constexpr long long kTail = 16LL * 1024;
// Blocks kept for reuse rather than given back to the allocator.
constexpr std::size_t kSpareBlocks = 64;

} // namespace

FileMapping::FileMapping(int fd, long long size) : length_(static_cast<std::size_t>(size)) {
    void* at = ::mmap(nullptr, length_, PROT_READ, MAP_SHARED, fd, 0);
    if (at != MAP_FAILED) data_ = static_cast<const char*>(at);
}

FileMapping::~FileMapping() {
    if (data_ != nullptr) ::munmap(const_cast<char*>(data_), length_);
}

std::shared_ptr<const FileMapping> ShareMappings::of(const std::string& site,
                                                     const std::string& hash,
                                                     const SharedFile& entry, int fd,
                                                     ShareClock::time_point now) {
    const auto key = std::make_pair(site, hash);
    const auto it = mapped_.find(key);
    if (it != mapped_.end() && it->second.generation == entry.generation &&
        it->second.device == entry.device && it->second.inode == entry.inode) {
        it->second.used = now;
        return it->second.map;
    }
    auto map = std::make_shared<const FileMapping>(fd, entry.size);
    if (!*map) {
        if (it != mapped_.end()) mapped_.erase(it);
        return nullptr;
    }
    mapped_[key] = Mapped{map, entry.device, entry.inode, entry.generation, now};
    return map;
}

void ShareMappings::drop(const std::string& site, const std::string& hash,
                         std::uint64_t generation) {
    const auto it = mapped_.find(std::make_pair(site, hash));
    if (it != mapped_.end() && it->second.generation == generation) mapped_.erase(it);
}

ShareClock::time_point ShareMappings::sweep(ShareClock::time_point now) {
    ShareClock::time_point next = ShareClock::time_point::max();
    for (auto it = mapped_.begin(); it != mapped_.end();) {
        const ShareClock::time_point until = keptUntil(it->second.used);
        if (until <= now && it->second.map.use_count() == 1) {
            it = mapped_.erase(it);
            continue;
        }
        // Still sent from: looked at again a while later.
        next = std::min(next, std::max(until, keptUntil(now)));
        ++it;
    }
    return next;
}

ShareClock::time_point ShareMappings::keptUntil(ShareClock::time_point used) {
    return used + kMappingKept;
}

std::unique_ptr<char[]> BlockPool::take() {
    if (spare_.empty()) return std::make_unique_for_overwrite<char[]>(kBlock);
    std::unique_ptr<char[]> block = std::move(spare_.back());
    spare_.pop_back();
    return block;
}

void BlockPool::give(std::unique_ptr<char[]> block) {
    if (block && spare_.size() < kSpareBlocks) spare_.push_back(std::move(block));
}

void Outgoing::start(std::string head) {
    head_ = std::move(head);
    headSent_ = 0;
    body_.reset();
    blockSent_ = blockLength_ = 0;
}

void Outgoing::attach(FileBody body) {
    body_ = std::move(body);
}

void Outgoing::clear(BlockPool& pool) {
    head_.clear();
    headSent_ = 0;
    body_.reset();
    blockSent_ = blockLength_ = 0;
    pool.give(std::move(block_));
}

bool Outgoing::stillTheSame() const {
    struct stat now {};
    return ::fstat(body_->file.get(), &now) == 0 && body_->registered.matches(now);
}

bool Outgoing::loadBlock(BlockPool& pool) {
    FileBody& body = *body_;
    if (!block_) block_ = pool.take();
    const auto want = static_cast<std::size_t>(
        std::min<long long>(static_cast<long long>(BlockPool::kBlock), body.end - body.next));
    ssize_t n = 0;
    do {
        n = ::pread(body.file.get(), block_.get(), want, body.next);
    } while (n < 0 && errno == EINTR);
    // A file cut short, or changed in any way since its registration, ends
    // the answer before its length: the peer can tell it is incomplete.
    if (n != static_cast<ssize_t>(want) || !stillTheSame()) return false;
    body.next += n;
    blockSent_ = 0;
    blockLength_ = want;
    return true;
}

Outgoing::Sent Outgoing::send(int socket, RateBudget* budget, ShareClock::time_point now,
                              BlockPool& pool, int turns) {
    for (int turn = 0; turn < turns; ++turn) {
        FileBody* body = body_ ? &*body_ : nullptr;
        const long long left = body != nullptr ? body->end - body->next : 0;
        const bool blockDone = blockSent_ == blockLength_;
        const bool mapped = body != nullptr && body->map && left > kTail && blockDone;
        // A head goes out with the body's first piece, in one segment.
        if (body != nullptr && !mapped && blockDone && left > 0 && !loadBlock(pool))
            return Sent::Changed;
        const std::size_t headLeft = head_.size() - headSent_;
        const std::size_t bodyReady =
            mapped ? static_cast<std::size_t>(
                         std::min(static_cast<long long>(BlockPool::kBlock), left - kTail))
                   : blockLength_ - blockSent_;
        if (headLeft == 0 && bodyReady == 0) return Sent::Done;
        std::size_t granted = bodyReady;
        if (budget != nullptr && bodyReady > 0) {
            granted =
                static_cast<std::size_t>(budget->take(static_cast<std::int64_t>(bodyReady), now));
            if (granted == 0 && headLeft == 0) return Sent::Budget;
        }
        std::array<iovec, 2> parts{};
        std::size_t count = 0;
        if (headLeft > 0) parts[count++] = {head_.data() + headSent_, headLeft};
        if (granted > 0)
            parts[count++] = {
                const_cast<char*>(mapped ? body->map->at(body->next) : block_.get() + blockSent_),
                granted};
        msghdr message{};
        message.msg_iov = parts.data();
        message.msg_iovlen = count;
        const ssize_t n = ::sendmsg(socket, &message, MSG_NOSIGNAL);
        if (n < 0) {
            if (budget != nullptr) budget->giveBack(static_cast<std::int64_t>(granted));
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return Sent::Blocked;
            // The file was cut short under the mapping.
            return errno == EFAULT && mapped ? Sent::Changed : Sent::Failed;
        }
        const auto written = static_cast<std::size_t>(n);
        const std::size_t ofHead = std::min(written, headLeft), ofBody = written - ofHead;
        sent_ += written;
        headSent_ += ofHead;
        if (budget != nullptr) budget->giveBack(static_cast<std::int64_t>(granted - ofBody));
        if (mapped) {
            // The kernel copied these bytes from the file just now: had it
            // changed before or meanwhile, its ctime says so already.
            body->next += static_cast<long long>(ofBody);
            if (ofBody > 0 && !stillTheSame()) return Sent::Changed;
        } else {
            blockSent_ += ofBody;
        }
        // A short write means the socket's buffer is full: wait for room.
        if (written < headLeft + granted) return Sent::Blocked;
    }
    return Sent::Again;
}

} // namespace quarn::engine
