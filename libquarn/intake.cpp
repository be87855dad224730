#include "libquarn/intake.h"

#include <algorithm>
#include <cerrno>

namespace quarn::engine {

Failure diskFailure(int error) {
    return error == ENOSPC || error == EDQUOT ? Failure::DiskFull : Failure::IoError;
}

Intake::Intake(PartFile& part, Ledger& ledger, std::size_t connections, Hooks hooks)
    : part_(part), ledger_(ledger), hooks_(std::move(hooks)), unproven_(connections) {}

void Intake::finish(Connection& c, bool reachedEnd) {
    RangeSet& unproven = unproven_[static_cast<std::size_t>(c.id)];
    if (!unproven.empty() && reachedEnd) {
        // It ended exactly where it should: now its bytes count.
        for (const auto& [a, b] : unproven.runs()) ledger_.wrote(c.source, a, b);
    } else if (!unproven.empty()) {
        // It never proved to be the file: what it appended goes.
        const int64_t held = std::max(part_.initialSize(), ledger_.bytes().heldEnd(0));
        if (unproven.runs().rbegin()->second > held && !part_.truncate(held))
            hooks_.fail(Failure::IoError);
    }
    unproven.clear();
    ledger_.settle(c.flushMark, c.cursor);
}

void Intake::forgetUnproven() {
    for (RangeSet& u : unproven_) u.clear();
}

// Takes the next body bytes at c.cursor: bytes the .part already holds are
// compared, never overwritten blindly; the rest written.
bool Intake::take(Connection& c, bool origin, const char* data, std::size_t length) {
    const FileBytes& bytes = ledger_.bytes();
    while (length > 0) {
        if (c.cursor >= c.to) {
            const bool cut = c.to < c.asked;
            c.ending = cut ? Ending::Done : Ending::SourceFault; // else more than was asked for
            if (!cut) c.cause = {Failure::BadResponse, 0};
            return false;
        }
        const int64_t heldEnd = std::min(bytes.heldEnd(c.cursor), c.to);
        if (heldEnd > c.cursor) {
            const auto n = static_cast<std::size_t>(
                std::min<int64_t>(static_cast<int64_t>(length), heldEnd - c.cursor));
            const int64_t at = part_.firstMismatch(c.cursor, data, n);
            const int64_t same = (at < 0 ? c.cursor + static_cast<int64_t>(n) : at) - c.cursor;
            // The origin's bytes up to the end of what an earlier run left:
            // that run still belongs to its file.
            const int64_t claimedEnd = bytes.claimed.runEnd(c.cursor);
            if (same > 0 && claimedEnd == c.cursor + same && !ledger_.hashed() && origin)
                ledger_.confirmClaimed(bytes.claimed.runStart(c.cursor), claimedEnd);
            c.cursor += same;
            data += same;
            length -= static_cast<std::size_t>(same);
            if (at >= 0 && !differs(c, origin, at)) return false;
            continue;
        }
        const int64_t end = std::min(bytes.nextHeld(c.cursor), c.to);
        const auto n = static_cast<std::size_t>(
            std::min<int64_t>(static_cast<int64_t>(length), end - c.cursor));
        if (!part_.write(c.cursor, data, n)) {
            hooks_.fail(diskFailure(errno));
            c.ending = Ending::WriteError;
            return false;
        }
        const auto written = static_cast<int64_t>(n);
        if (c.judgement.length >= 0)
            ledger_.wrote(c.source, c.cursor, c.cursor + written);
        else
            unproven_[static_cast<std::size_t>(c.id)].add(c.cursor, c.cursor + written);
        received_ += written;
        c.cursor += written;
        data += n;
        length -= n;
        if (c.cursor - c.flushMark >= kFlushChunk) {
            ledger_.settle(c.flushMark, c.cursor);
            c.flushMark = c.cursor;
        }
    }
    return true;
}

// The response differs from a held byte at `at`. Whether the bytes from
// there on may be written.
bool Intake::differs(Connection& c, bool origin, int64_t at) {
    const FileBytes& bytes = ledger_.bytes();
    if (!origin) {
        c.ending = Ending::SourceFault; // a peer with other bytes
        c.cause = {Failure::BadResponse, 0};
        return false;
    }
    // A response that promises no length cannot overrule what is held.
    if (c.judgement.length < 0) {
        c.ending = Ending::SourceFault;
        c.cause = {Failure::BadResponse, 0};
        return false;
    }
    if (bytes.claimed.contains(at)) {
        // The .part no longer belongs to the origin's file, or its tail is
        // damaged: nothing an earlier run left can be trusted. With piece
        // hashes each of its pieces is judged on its own.
        if (ledger_.hashed())
            ledger_.dropClaimed(at, bytes.claimed.runEnd(at));
        else
            ledger_.dropClaimed();
        return true;
    }
    if (bytes.written.contains(at)) {
        ledger_.dropWritten(at, bytes.written.runEnd(at)); // another copy lost the race
        return true;
    }
    if (ledger_.hashed()) {
        // Verified against the origin's own document, yet it sends others.
        hooks_.fail(Failure::PieceMismatch);
        c.ending = Ending::Fatal;
        return false;
    }
    ledger_.forget();
    forgetUnproven();
    return hooks_.startOver(c);
}

} // namespace quarn::engine
