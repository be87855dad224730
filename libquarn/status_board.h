// The status of the current download as one consistent snapshot, readable
// from any thread without a lock: polls may come at any rate and must never
// wait for the transfer thread's disk or network I/O.
//
// A sequence lock: the single writer makes the counter odd while it updates
// and even again afterwards; a reader retries when it saw an odd counter or
// the counter moved. Every field is atomic, so there is no data race to
// speak of, only the retry for consistency (state 3 always comes with the
// full file size, for instance). Fields use release/acquire instead of
// fences (which ThreadSanitizer does not model); on x86 both are plain moves.
#pragma once

#include "libquarn/failure.h"

#include <quarn/quarn.h>

#include <atomic>
#include <cstdint>

namespace quarn::engine {

struct StatusSnapshot {
    int32_t state = QUARN_STATE_PREPARING;
    int32_t speedKiB = 0;  // KiB/s
    int32_t remainSec = 0; // -1 while unknown
    int64_t received = 0;  // bytes from the server in this download
    int64_t fileBytes = 0; // local file size, resumed bytes included
    int64_t fileSize = 0;  // requested size
    FailureCause cause;    // why, in states 5 and 6
};

class StatusBoard {
public:
    // One writer at a time: the engine guarantees it (the start before the
    // transfer thread exists, then that thread alone).
    void publish(const StatusSnapshot& s) noexcept {
        const uint64_t seq = seq_.load(std::memory_order_relaxed);
        seq_.store(seq + 1, std::memory_order_relaxed);
        state_.store(s.state, std::memory_order_release);
        speed_.store(s.speedKiB, std::memory_order_release);
        remain_.store(s.remainSec, std::memory_order_release);
        received_.store(s.received, std::memory_order_release);
        fileBytes_.store(s.fileBytes, std::memory_order_release);
        fileSize_.store(s.fileSize, std::memory_order_release);
        causeKind_.store(static_cast<int32_t>(s.cause.kind), std::memory_order_release);
        causeDetail_.store(s.cause.detail, std::memory_order_release);
        seq_.store(seq + 2, std::memory_order_release);
    }

    StatusSnapshot read() const noexcept {
        StatusSnapshot s;
        for (;;) {
            const uint64_t before = seq_.load(std::memory_order_acquire);
            s.state = state_.load(std::memory_order_acquire);
            s.speedKiB = speed_.load(std::memory_order_acquire);
            s.remainSec = remain_.load(std::memory_order_acquire);
            s.received = received_.load(std::memory_order_acquire);
            s.fileBytes = fileBytes_.load(std::memory_order_acquire);
            s.fileSize = fileSize_.load(std::memory_order_acquire);
            s.cause.kind = static_cast<Failure>(causeKind_.load(std::memory_order_acquire));
            s.cause.detail = causeDetail_.load(std::memory_order_acquire);
            if ((before & 1) == 0 && seq_.load(std::memory_order_relaxed) == before) return s;
        }
    }

private:
    std::atomic<uint64_t> seq_{0};
    std::atomic<int32_t> state_{0}, speed_{0}, remain_{0}, causeKind_{0}, causeDetail_{0};
    std::atomic<int64_t> received_{0}, fileBytes_{0}, fileSize_{0};
};

} // namespace quarn::engine
