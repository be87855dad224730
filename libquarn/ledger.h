// The ledger of a download's bytes: which are on disk and how far each is
// trusted, and the verifier that moves them on. Written bytes are handed to
// the verifier whole pieces at a time when the origin's document gives
// piece hashes (each checked before it counts), else in runs that only have
// to reach the disk; a byte is good, and goes into the map, only once its
// verdict is in.
#pragma once

#include "libquarn/metalink.h"
#include "libquarn/pieces.h"
#include "libquarn/verifier.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quarn::engine {

class Ledger {
public:
    // `fd` (the .part) is borrowed; `wake` is called from the verifier's
    // threads when verdicts are ready. `claimed`: what an earlier run left.
    Ledger(int64_t fileSize, RangeSet claimed, int fd, std::function<void()> wake);
    ~Ledger();
    Ledger(const Ledger&) = delete;
    Ledger& operator=(const Ledger&) = delete;

    // The origin's document, once known (nullptr: there is none).
    // `wholeFile`: the whole file's SHA-256 is to be checked at the end.
    // Claimed pieces are read back and verified when there are hashes.
    void setDocument(const MetalinkFile* document, bool wholeFile);
    bool hashed() const noexcept { return !hashes_.empty(); }
    int64_t alignment() const noexcept;

    const FileBytes& bytes() const noexcept { return bytes_; }
    // Bytes [from, to) came from `source` (0..63) and are in the .part.
    void wrote(int source, int64_t from, int64_t to);
    // Written bytes in [from, to) may go to the disk now, as far as they are
    // not waiting for a piece's verdict.
    void settle(int64_t from, int64_t to);
    // The origin confirmed what an earlier run left (all, or one run).
    void confirmClaimed(int64_t from, int64_t to);
    void confirmAllClaimed();
    void dropClaimed();                         // the .part's old bytes are not the origin's file
    void dropClaimed(int64_t from, int64_t to); // these of them are not
    void dropWritten(int64_t from, int64_t to); // a copy that lost: the winner overwrites
    void forget();                              // the file starts over

    struct Verdicts {
        std::vector<uint64_t> blamed; // per bad piece: the sources that wrote it (bit mask)
        bool ioError = false;
    };
    // Applies the verdicts that are ready.
    Verdicts collect();
    // Everything written goes to the disk, every verdict is waited for.
    Verdicts windDown();

    bool complete() const noexcept { return bytes_.complete() && verifier_->outstanding() == 0; }
    bool checking() const noexcept { return verifier_->outstanding() > 0; } // verdicts to come
    // Waits for the digest to take in every block that is in.
    std::optional<Sha256> wholeFileDigest() {
        verifier_->drain();
        return verifier_->wholeFileDigest();
    }
    bool takeDirty() noexcept { return std::exchange(dirty_, false); }

private:
    enum class Job { Piece, Flush };
    struct Pending {
        Job kind;
        int64_t from, to;
        uint64_t generation;  // of the piece, for Piece jobs
        bool earlier = false; // holds bytes an earlier run left: a bad one blames no source
    };
    void submit(Job kind, int64_t from, int64_t to, bool flush);
    void submitPiece(std::size_t piece, bool flush);
    void apply(const VerifyVerdict& v, Verdicts& out);
    void restartVerifier();

    int fd_;
    std::function<void()> wake_;
    FileBytes bytes_;
    std::optional<PieceGrid> grid_;
    std::vector<Sha256> hashes_;
    std::vector<uint64_t> contributors_;
    std::vector<bool> checking_;
    std::vector<uint64_t> generation_; // moves whenever a piece's bytes change
    RangeSet submitted_;               // handed to the verifier, verdict not yet applied
    RangeSet rewritten_;               // written again while submitted: their verdict is stale
    std::unordered_map<uint64_t, Pending> pending_;
    uint64_t nextJob_ = 0;
    bool wholeFile_ = false;
    bool dirty_ = false;
    std::unique_ptr<Verifier> verifier_;
};

} // namespace quarn::engine
