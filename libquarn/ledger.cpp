#include "libquarn/ledger.h"

#include <algorithm>

namespace quarn::engine {
namespace {

// Two threads read back and hash: resuming a large file verifies every
// piece it claims before the download goes on.
constexpr int kVerifierThreads = 2;

uint64_t bit(int source) {
    return source >= 0 && source < 64 ? uint64_t{1} << source : 0;
}

} // namespace

Ledger::Ledger(int64_t fileSize, RangeSet claimed, int fd, std::function<void()> wake)
    : fd_(fd), wake_(std::move(wake)), bytes_(fileSize),
      verifier_(std::make_unique<Verifier>(fd_, wake_, kVerifierThreads)) {
    bytes_.claimed = std::move(claimed);
}

Ledger::~Ledger() = default;

int64_t Ledger::alignment() const noexcept {
    return grid_ ? grid_->length() : int64_t{64} * 1024;
}

void Ledger::setDocument(const MetalinkFile* document, bool wholeFile) {
    wholeFile_ = wholeFile;
    if (wholeFile_) verifier_->hashWholeFile(bytes_.size);
    if (document == nullptr || document->pieceLength <= 0 || document->pieces.empty()) return;
    grid_.emplace(bytes_.size, document->pieceLength);
    hashes_ = document->pieces;
    contributors_.assign(grid_->count(), 0);
    checking_.assign(grid_->count(), false);
    generation_.assign(grid_->count(), 0);
    // What an earlier run left is read back and checked before it counts.
    for (std::size_t i = 0; i < grid_->count(); ++i)
        if (bytes_.claimed.contains(grid_->start(i), grid_->end(i))) submitPiece(i, false);
}

void Ledger::submit(Job kind, int64_t from, int64_t to, bool flush) {
    const uint64_t id = nextJob_++;
    pending_[id] = Pending{kind, from, to, 0};
    submitted_.add(from, to);
    verifier_->submit(VerifyJob{id, from, to - from, std::nullopt, flush});
}

void Ledger::submitPiece(std::size_t piece, bool flush) {
    const uint64_t id = nextJob_++;
    const int64_t from = grid_->start(piece), to = grid_->end(piece);
    pending_[id] =
        Pending{Job::Piece, from, to, generation_[piece], bytes_.claimed.intersects(from, to)};
    checking_[piece] = true;
    submitted_.add(from, to);
    verifier_->submit(VerifyJob{id, from, to - from, hashes_[piece], flush});
}

void Ledger::wrote(int source, int64_t from, int64_t to) {
    if (to <= from) return;
    if (submitted_.intersects(from, to)) {
        const RangeSet again = submitted_.within(from, to);
        for (const auto& [a, b] : again.runs()) rewritten_.add(a, b);
    }
    bytes_.written.add(from, to);
    if (!grid_) return;
    for (std::size_t i = grid_->index(from); i <= grid_->index(to - 1); ++i) {
        contributors_[i] |= bit(source);
        ++generation_[i];
        if (!checking_[i] && bytes_.held(grid_->start(i), grid_->end(i))) submitPiece(i, true);
    }
}

void Ledger::settle(int64_t from, int64_t to) {
    if (grid_) return; // pieces go to the verifier as they complete
    RangeSet runs = bytes_.written.within(from, to);
    const RangeSet waiting = submitted_.within(from, to);
    for (const auto& [a, b] : waiting.runs()) runs.remove(a, b);
    for (const auto& [a, b] : runs.runs()) submit(Job::Flush, a, b, true);
}

void Ledger::confirmClaimed(int64_t from, int64_t to) {
    const RangeSet confirmed = bytes_.claimed.within(from, to);
    for (const auto& [a, b] : confirmed.runs()) {
        bytes_.claimed.remove(a, b);
        if (wholeFile_) {
            // The whole file's digest has to see these bytes too.
            bytes_.written.add(a, b);
            submit(Job::Flush, a, b, false);
        } else {
            bytes_.good.add(a, b);
        }
    }
    dirty_ = dirty_ || !confirmed.empty();
}

void Ledger::confirmAllClaimed() {
    confirmClaimed(0, bytes_.size);
}

void Ledger::dropClaimed() {
    dropClaimed(0, bytes_.size);
}

void Ledger::dropClaimed(int64_t from, int64_t to) {
    if (!bytes_.claimed.intersects(from, to)) return;
    if (grid_) {
        const RangeSet dropped = bytes_.claimed.within(from, to);
        for (const auto& [a, b] : dropped.runs())
            for (std::size_t i = grid_->index(a); i <= grid_->index(b - 1); ++i) ++generation_[i];
    }
    bytes_.claimed.remove(from, to);
    dirty_ = true;
}

void Ledger::dropWritten(int64_t from, int64_t to) {
    bytes_.written.remove(from, to);
    if (grid_ && to > from)
        for (std::size_t i = grid_->index(from); i <= grid_->index(to - 1); ++i) ++generation_[i];
}

void Ledger::restartVerifier() {
    verifier_.reset(); // drops what it has not begun
    pending_.clear();
    submitted_.clear();
    rewritten_.clear();
    verifier_ = std::make_unique<Verifier>(fd_, wake_, kVerifierThreads);
    if (wholeFile_) verifier_->hashWholeFile(bytes_.size);
}

void Ledger::forget() {
    restartVerifier();
    bytes_.forget();
    std::fill(contributors_.begin(), contributors_.end(), 0);
    std::fill(checking_.begin(), checking_.end(), false);
    for (uint64_t& g : generation_) ++g;
    dirty_ = true;
}

void Ledger::apply(const VerifyVerdict& v, Verdicts& out) {
    const auto it = pending_.find(v.block);
    if (it == pending_.end()) return;
    const Pending job = it->second;
    pending_.erase(it);
    submitted_.remove(job.from, job.to);
    if (v.kind == VerifyVerdict::Kind::IoError) {
        out.ioError = true;
        return;
    }
    if (job.kind == Job::Piece) {
        const std::size_t i = grid_->index(job.from);
        checking_[i] = false;
        rewritten_.remove(job.from, job.to);
        if (job.generation != generation_[i]) {
            // Its bytes changed since: judge them again once they are whole.
            if (bytes_.held(job.from, job.to)) submitPiece(i, true);
            return;
        }
        bytes_.written.remove(job.from, job.to);
        bytes_.claimed.remove(job.from, job.to);
        if (v.kind == VerifyVerdict::Kind::Good) {
            bytes_.good.add(job.from, job.to);
            dirty_ = true;
        } else {
            if (!job.earlier) out.blamed.push_back(contributors_[i]);
            dirty_ = true;
        }
        contributors_[i] = 0;
        return;
    }
    RangeSet durable = bytes_.written.within(job.from, job.to);
    const RangeSet stale = rewritten_.within(job.from, job.to);
    for (const auto& [a, b] : stale.runs()) durable.remove(a, b);
    rewritten_.remove(job.from, job.to);
    for (const auto& [a, b] : durable.runs()) {
        bytes_.written.remove(a, b);
        // Without hashes a durable byte is good; with them, a piece not yet
        // whole is only kept for the next run, which checks it then.
        (grid_ ? bytes_.claimed : bytes_.good).add(a, b);
    }
    dirty_ = dirty_ || !durable.empty();
}

Ledger::Verdicts Ledger::collect() {
    Verdicts out;
    for (const VerifyVerdict& v : verifier_->take()) apply(v, out);
    return out;
}

Ledger::Verdicts Ledger::windDown() {
    RangeSet runs = bytes_.written;
    for (const auto& [a, b] : submitted_.runs()) runs.remove(a, b);
    for (const auto& [a, b] : runs.runs()) submit(Job::Flush, a, b, true);
    Verdicts out;
    while (verifier_->outstanding() > 0) {
        verifier_->drain();
        for (const VerifyVerdict& v : verifier_->take()) apply(v, out);
    }
    return out;
}

} // namespace quarn::engine
