#include "libquarn/share_describer.h"

#include "libquarn/digest.h"
#include "libquarn/metalink.h"
#include "libquarn/share_registry.h"

#include <fcntl.h>
#include <memory>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarn::engine {

ShareDescriber::ShareDescriber(ShareRegistry& registry)
    : registry_(registry), nothing_(::open("/dev/null", O_RDONLY | O_CLOEXEC)) {
    thread_ = std::thread([this] { run(); });
    ::pthread_setname_np(thread_.native_handle(), "quarn-describe");
}

ShareDescriber::~ShareDescriber() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
        cancelCurrentLocked();
    }
    wake_.notify_all();
    thread_.join();
}

void ShareDescriber::request(const std::string& site, const std::string& hash,
                             std::uint64_t generation) {
    {
        std::lock_guard lock(mutex_);
        std::erase_if(queue_, [&](const Job& j) { return j.site == site && j.hash == hash; });
        if (current_ && current_->site == site && current_->hash == hash) cancelCurrentLocked();
        queue_.push_back({site, hash, generation});
    }
    wake_.notify_one();
}

// The hashing reads through a descriptor of its own; putting /dev/null in
// its place (atomically, the number stays valid) makes its next read find
// the end of the file, and it gives up at once rather than reading on.
void ShareDescriber::cancelCurrentLocked() noexcept {
    cancelled_ = true;
    if (currentFd_ >= 0 && nothing_)
        static_cast<void>(::dup3(nothing_.get(), currentFd_, O_CLOEXEC));
}

void ShareDescriber::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        current_ = std::move(queue_.front());
        queue_.pop_front();
        cancelled_ = false;
        const Job job = *current_;
        lock.unlock();
        try {
            describe(job);
        } catch (...) {
            // No hashing to be had (OpenSSL refused, no memory): the file is
            // served without its digests.
        }
        lock.lock();
        current_.reset();
    }
}

void ShareDescriber::describe(const Job& job) {
    const std::optional<SharedFile> entry = registry_.find(job.site, job.hash);
    if (!entry || entry->generation != job.generation) return;
    UniqueFd file(::open(entry->path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat before {};
    if (!file || ::fstat(file.get(), &before) != 0 || !entry->matches(before)) return;
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || cancelled_) return;
        currentFd_ = file.get();
    }
    struct ForgetFd {
        ShareDescriber& self;
        ~ForgetFd() {
            std::lock_guard lock(self.mutex_);
            self.currentFd_ = -1;
        }
    };
    std::optional<MetalinkFile> described;
    {
        const ForgetFd forget{*this};
        described = describeFile(file.get(), entry->size, job.hash);
    }
    struct stat after {};
    // Changed while we read it: the server drops it at its next request.
    if (!described || ::fstat(file.get(), &after) != 0 || !entry->matches(after) ||
        !described->sha256)
        return;
    auto description = std::make_shared<ShareDescription>();
    description->metalink = writeMetalink(*described);
    description->reprDigest = reprDigestValue(*described->sha256);
    registry_.describe(job.site, job.hash, job.generation, std::move(description));
}

} // namespace quarn::engine
