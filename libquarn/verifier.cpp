#include "libquarn/verifier.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace quarn::engine {
namespace {

// Read back in pieces this size: small enough to stay in the cache between
// the two hashes a piece may go through, large enough that pread's cost
// disappears beside the hashing.
constexpr std::size_t kReadChunk = std::size_t{512} * 1024;
// Good verdicts waiting for their fdatasync go out together once nothing
// else is under way, or once this much waits, so a full queue does not hold
// every verdict back until it is empty.
constexpr int64_t kSyncBatchBytes = int64_t{64} * 1024 * 1024;

using Kind = VerifyVerdict::Kind;

// Bytes [offset, offset + length) into `first` and, when given, `second`.
bool readInto(int fd, int64_t offset, int64_t length, std::vector<char>& buffer,
              Sha256Hasher& first, Sha256Hasher* second) {
    while (length > 0) {
        const auto want = static_cast<std::size_t>(
            std::min<int64_t>(length, static_cast<int64_t>(buffer.size())));
        const ssize_t n = ::pread(fd, buffer.data(), want, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        first.update(buffer.data(), static_cast<std::size_t>(n));
        if (second != nullptr) second->update(buffer.data(), static_cast<std::size_t>(n));
        offset += n;
        length -= n;
    }
    return true;
}

} // namespace

struct Verifier::State {
    State(int fd_, std::function<void()> wake_) : fd(fd_), wake(std::move(wake_)) {}

    void run(std::vector<char>& buffer);
    Kind check(const VerifyJob& job, std::vector<char>& buffer, Sha256Hasher* trial) const;
    void syncLoop();
    bool syncDue() const {
        return !syncing && !awaitingSync.empty() &&
               ((queue.empty() && running == 0) || awaitingBytes >= kSyncBatchBytes);
    }
    bool foldReady() const;
    void foldNext(std::unique_lock<std::mutex>& lock, std::vector<char>& buffer);
    void foldedTo(int64_t end);
    bool settledNow() const {
        return queue.empty() && running == 0 && awaitingSync.empty() && !syncing && !folding &&
               !foldReady();
    }

    const int fd;
    const std::function<void()> wake;

    mutable std::mutex mutex;
    std::condition_variable work;     // for the workers: a job, a block to fold, or the end
    std::condition_variable settled;  // for drain()
    std::condition_variable syncWork; // for the syncer: a batch is due, or the end
    std::deque<VerifyJob> queue;
    int running = 0;
    std::vector<VerifyVerdict> ready;
    // Good verdicts of flushed jobs, held until an fdatasync after their
    // sync_file_range covers the file's metadata too.
    std::vector<VerifyVerdict> awaitingSync;
    int64_t awaitingBytes = 0;
    bool syncing = false;
    bool closing = false;
    std::atomic<std::size_t> outstanding{0};

    // The whole file's digest, folded in file order by one thread at a time
    // (`folding`): `folded` bytes are in; Good blocks further on wait in
    // `foldable` (offset -> end) until the prefix reaches them.
    int64_t wholeSize = -1;
    int64_t folded = 0;
    bool folding = false;
    bool foldFailed = false;
    std::map<int64_t, int64_t> foldable;
    std::optional<Sha256Hasher> whole;
    std::optional<Sha256> wholeDigest;

    std::vector<std::vector<char>> buffers; // one per worker
    std::vector<std::thread> threads;
    std::thread syncer;
};

Kind Verifier::State::check(const VerifyJob& job, std::vector<char>& buffer,
                            Sha256Hasher* trial) const {
    if (job.offset < 0 || job.length < 0) return Kind::IoError;
    if (job.flush && job.length > 0 &&
        ::sync_file_range(fd, job.offset, job.length,
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                              SYNC_FILE_RANGE_WAIT_AFTER) != 0)
        return Kind::IoError;
    // Without a hash to check or a digest to extend, the page cache would
    // only hand back what was written: nothing to learn from reading it but
    // that the file holds the range.
    if (!job.expected && trial == nullptr) {
        struct stat st {};
        return ::fstat(fd, &st) == 0 && job.offset + job.length <= st.st_size ? Kind::Good
                                                                              : Kind::IoError;
    }
    Sha256Hasher hasher;
    if (!readInto(fd, job.offset, job.length, buffer, hasher, trial)) return Kind::IoError;
    if (job.expected && hasher.finish() != *job.expected) return Kind::Bad;
    return Kind::Good;
}

bool Verifier::State::foldReady() const {
    return wholeSize >= 0 && !folding && !foldFailed && !wholeDigest && !foldable.empty() &&
           foldable.begin()->first <= folded;
}

void Verifier::State::foldedTo(int64_t end) {
    folded = std::max(folded, end);
    while (!foldable.empty() && foldable.begin()->second <= folded)
        foldable.erase(foldable.begin());
    if (folded >= wholeSize && !wholeDigest) {
        try {
            wholeDigest = whole->finish();
        } catch (const std::exception&) {
            foldFailed = true;
        }
    }
}

// Blocks that became Good ahead of the prefix are read again (from the page
// cache, as a rule) when it reaches them; one block per turn, so jobs wait
// no longer than that.
void Verifier::State::foldNext(std::unique_lock<std::mutex>& lock, std::vector<char>& buffer) {
    const int64_t from = folded;
    const int64_t end = foldable.begin()->second;
    foldable.erase(foldable.begin());
    folding = true;
    lock.unlock();
    bool ok = false;
    try {
        ok = readInto(fd, from, end - from, buffer, *whole, nullptr);
    } catch (const std::exception&) {
    }
    lock.lock();
    folding = false;
    if (ok)
        foldedTo(end);
    else
        foldFailed = true;
    settled.notify_all();
}

// One fdatasync for every Good verdict waiting, once nothing else is under
// way (or enough waits), on a thread of its own so the workers go on
// checking while the disk works.
void Verifier::State::syncLoop() {
    std::unique_lock lock(mutex);
    for (;;) {
        syncWork.wait(lock, [&] { return closing || syncDue(); });
        if (closing) return;
        std::vector<VerifyVerdict> batch;
        batch.swap(awaitingSync);
        awaitingBytes = 0;
        syncing = true;
        lock.unlock();
        int rc = 0;
        do {
            rc = ::fdatasync(fd);
        } while (rc != 0 && errno == EINTR);
        lock.lock();
        syncing = false;
        for (VerifyVerdict& v : batch) {
            if (rc != 0) v.kind = Kind::IoError;
            ready.push_back(v);
        }
        settled.notify_all();
        if (wake) {
            lock.unlock();
            wake();
            lock.lock();
        }
    }
}

void Verifier::State::run(std::vector<char>& buffer) {
    std::unique_lock lock(mutex);
    for (;;) {
        work.wait(lock, [&] { return closing || !queue.empty() || foldReady(); });
        if (closing) return;
        if (foldReady()) {
            foldNext(lock, buffer);
            continue;
        }
        const VerifyJob job = queue.front();
        queue.pop_front();
        ++running;
        // A block that starts where the digest stands extends it in the same
        // read, on trial until its own hash has matched.
        const bool along = wholeSize >= 0 && !folding && !foldFailed && !wholeDigest &&
                           job.offset == folded && job.length > 0 &&
                           job.offset + job.length <= wholeSize;
        if (along) folding = true;
        lock.unlock();

        Kind kind = Kind::IoError;
        std::optional<Sha256Hasher> trial;
        try {
            if (along) trial = whole->clone();
            kind = check(job, buffer, trial ? &*trial : nullptr);
        } catch (const std::exception&) {
            kind = Kind::IoError;
        }

        lock.lock();
        --running;
        if (along) {
            folding = false;
            if (kind == Kind::Good) {
                whole = std::move(trial);
                foldedTo(job.offset + job.length);
            }
        } else if (kind == Kind::Good && wholeSize >= 0 && job.length > 0 &&
                   job.offset + job.length > folded && job.offset < wholeSize) {
            int64_t& end = foldable[job.offset];
            end = std::max(end, std::min(job.offset + job.length, wholeSize));
        }
        bool published = false;
        if (kind == Kind::Good && job.flush && job.length > 0) {
            awaitingSync.push_back({job.block, kind});
            awaitingBytes += job.length;
        } else {
            ready.push_back({job.block, kind});
            published = true;
        }
        if (syncDue()) syncWork.notify_one();
        settled.notify_all();
        if (published && wake) {
            lock.unlock();
            wake();
            lock.lock();
        }
    }
}

Verifier::Verifier(int fd, std::function<void()> wake, int threads)
    : state_(std::make_unique<State>(fd, std::move(wake))) {
    const auto n = static_cast<std::size_t>(std::max(1, threads));
    State* state = state_.get();
    state->buffers.assign(n, std::vector<char>(kReadChunk));
    state->threads.reserve(n);
    state->syncer = std::thread([state] { state->syncLoop(); });
    for (std::size_t i = 0; i < n; ++i) {
        try {
            state->threads.emplace_back([state, i] { state->run(state->buffers[i]); });
        } catch (const std::system_error&) {
            // Fewer workers only check more slowly; none at all is an error.
            if (!state->threads.empty()) break;
            stop();
            throw;
        }
    }
}

Verifier::~Verifier() {
    stop();
}

void Verifier::stop() noexcept {
    {
        std::lock_guard lock(state_->mutex);
        state_->closing = true;
        state_->queue.clear();
    }
    state_->work.notify_all();
    state_->settled.notify_all();
    state_->syncWork.notify_all();
    for (std::thread& t : state_->threads) t.join();
    state_->syncer.join();
}

void Verifier::submit(VerifyJob job) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->closing) return;
        state_->queue.push_back(job);
        ++state_->outstanding;
    }
    state_->work.notify_one();
}

std::vector<VerifyVerdict> Verifier::take() {
    std::vector<VerifyVerdict> out;
    std::lock_guard lock(state_->mutex);
    out.swap(state_->ready);
    state_->outstanding -= out.size();
    return out;
}

std::size_t Verifier::outstanding() const noexcept {
    return state_->outstanding.load();
}

void Verifier::drain() {
    std::unique_lock lock(state_->mutex);
    state_->settled.wait(lock, [&] { return state_->closing || state_->settledNow(); });
}

void Verifier::hashWholeFile(int64_t size) {
    std::lock_guard lock(state_->mutex);
    state_->whole.emplace();
    state_->wholeSize = size;
    state_->folded = 0;
    state_->foldable.clear();
    state_->wholeDigest.reset();
    state_->foldFailed = false;
    if (size <= 0) state_->foldedTo(0);
}

std::optional<Sha256> Verifier::wholeFileDigest() const {
    std::lock_guard lock(state_->mutex);
    return state_->wholeDigest;
}

} // namespace quarn::engine
