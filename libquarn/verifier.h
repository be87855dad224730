// Verification and durability of a download's blocks, off the transfer
// thread. The transfer hands over each block once all of its bytes are in
// the .part; the verifier makes those bytes durable, reads them back, checks
// them against the expected hash (when there is one) and reports a verdict.
// A Good verdict means the bytes are flushed to the disk and match: only
// then may the map record the block.
#pragma once

#include "libquarn/digest.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace quarn::engine {

struct VerifyJob {
    std::uint64_t block = 0; // the caller's name for it, echoed in the verdict
    int64_t offset = 0;
    int64_t length = 0;
    std::optional<Sha256> expected; // none: only made durable
    bool flush = true;              // false: already durable (a resume reading back)
};

struct VerifyVerdict {
    enum class Kind {
        Good,    // durable and, when a hash was given, matching it
        Bad,     // read back fine but does not match
        IoError, // could not be flushed or read back
    };
    std::uint64_t block = 0;
    Kind kind = Kind::Good;
};

class Verifier {
public:
    // `fd` is borrowed and must outlive the verifier. `wake` is called from
    // a verifier thread whenever verdicts become ready (the transfer passes
    // curl_multi_wakeup), never with a lock held. `threads` >= 1 hash in
    // parallel; one more thread calls fdatasync, so they go on meanwhile.
    // Throws std::system_error when that one or no worker can be started.
    Verifier(int fd, std::function<void()> wake, int threads = 1);
    // Drops jobs not yet begun, finishes the ones under way (`wake` may be
    // called meanwhile), joins: no verifier thread touches `fd` afterwards.
    ~Verifier();
    Verifier(const Verifier&) = delete;
    Verifier& operator=(const Verifier&) = delete;

    void submit(VerifyJob job); // never waits for the disk
    // Verdicts ready so far, in no promised order; each reported once. A
    // Good verdict of a flushed job comes after its range's sync_file_range
    // (waiting) and an fdatasync after that; verdicts ready together share
    // one fdatasync.
    std::vector<VerifyVerdict> take();
    // Jobs submitted whose verdicts have not been taken yet.
    std::size_t outstanding() const noexcept;
    // Waits until every submitted job has its verdict ready, and the
    // whole-file digest has taken in every Good block it can.
    void drain();

    // The whole file's SHA-256, fed in file order: call once with the file
    // size before submitting, and each Good block is folded in when every
    // byte before it has been (a block at the front is folded in the read
    // that checks it; one further on is read again once the front reaches
    // it). Ready once all `size` bytes are; still none after drain() with
    // every byte Good means a read-back failed.
    void hashWholeFile(int64_t size);
    std::optional<Sha256> wholeFileDigest() const;

private:
    void stop() noexcept;

    struct State;
    std::unique_ptr<State> state_;
};

} // namespace quarn::engine
