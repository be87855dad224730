// What a response's body bytes become. Bytes the .part already holds are
// compared, never overwritten blindly; the rest are written and handed to
// the ledger. A response that declares no length only counts once it has
// ended exactly where it should; until then its bytes are undone on any
// failure.
#pragma once

#include "libquarn/connection.h"
#include "libquarn/failure.h"
#include "libquarn/ledger.h"
#include "libquarn/part_file.h"
#include "libquarn/ranges.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace quarn::engine {

// What a refused write means: a quota counts as a full disk, the remedy is the same.
Failure diskFailure(int error);

class Intake {
public:
    struct Hooks {
        std::function<void(Failure)> fail;
        // The origin contradicted bytes nothing else vouches for: the
        // ledger forgot everything; the others must stop and the map say so
        // before a new byte lands.
        std::function<bool(Connection& c)> startOver;
    };
    Intake(PartFile& part, Ledger& ledger, std::size_t connections, Hooks hooks);

    // The body bytes at c.cursor; `origin`: they come from the origin.
    // False: take no more of this response (c.ending says why).
    bool take(Connection& c, bool origin, const char* data, std::size_t length);
    // The request is over: `reachedEnd` when it ended exactly where it asked.
    void finish(Connection& c, bool reachedEnd);
    void forgetUnproven();
    int64_t received() const noexcept { return received_; } // bytes this download added

    // Written bytes go to the disk in runs of this much while they arrive, so
    // the map (which only claims bytes on the disk) keeps up with them.
    static constexpr int64_t kFlushChunk = int64_t{1024} * 1024;

private:
    bool differs(Connection& c, bool origin, int64_t at);

    PartFile& part_;
    Ledger& ledger_;
    Hooks hooks_;
    std::vector<RangeSet> unproven_; // per connection: written, the length undeclared
    int64_t received_ = 0;
};

} // namespace quarn::engine
