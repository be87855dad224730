// One download on a thread of its own, driven through one curl multi handle
// so that a stop can wake it at once (curl_multi_wakeup) instead of waiting
// for the next timeout.
//
// The transfer keeps the sources (the origin and the peers that share the
// same file), runs the loop and finishes the download. Which bytes each
// connection fetches from where is the scheduler's decision; what the
// origin's answers and document say is OriginFacts'; how far each byte is
// trusted is the ledger's; the files themselves are the PartFile's.
#pragma once

#include "libquarn/connection.h"
#include "libquarn/failure.h"
#include "libquarn/intake.h"
#include "libquarn/ledger.h"
#include "libquarn/origin.h"
#include "libquarn/part_file.h"
#include "libquarn/pieces.h"
#include "libquarn/requests.h"
#include "libquarn/scheduler.h"
#include "libquarn/sources.h"
#include "libquarn/speed_meter.h"
#include "libquarn/status_board.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quarn::engine {

struct TransferOptions {
    int connections = 4;            // at most this many at once
    std::vector<std::string> peers; // "http://host:port" of share servers
    bool trustPeers = false;        // peers may be used without piece hashes
};

// What the start found on disk.
struct TransferSetup {
    std::unique_ptr<PartFile> part;
    MapIdentity identity; // this download's; validator and document from a map that fits
    RangeSet claimed;     // what an earlier run left
    bool mapFits = false; // `claimed` came from this download's map, not the .part's length
};

class Transfer final : private ConnectionSink {
public:
    // Throws when curl or a thread cannot be set up.
    Transfer(PreparedDownload job, TransferSetup setup, TransferOptions options,
             StatusBoard& board);
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    void launch();               // throws std::system_error if no thread
    void requestStop() noexcept; // any thread; the transfer ends soon after
    void join();
    bool finished() const noexcept { return finished_.load(std::memory_order_acquire); }

    // What the first snapshot of a download says.
    static StatusSnapshot initialStatus(int64_t onDisk, int64_t fileSize);

    // Bytes before the end of what an earlier run left that are fetched
    // again and compared, when nothing else can tell that the .part still
    // belongs to the origin's file.
    static constexpr int64_t kOverlap = int64_t{64} * 1024;
    // Files up to this size are not worth more than one connection.
    static constexpr int64_t kSegmentThreshold = int64_t{8} * 1024 * 1024;

private:
    enum class Outcome { Running, Complete, Stopped, WriteError, ServerError };
    enum class Discovery { Waiting, Wanted, Fetching, Done };

    bool onHead(Connection& c) override;
    std::size_t onBody(Connection& c, const char* data, std::size_t length) override;
    void acceptFirstAnswer(Connection& c);
    bool fileChanged(Connection& c);

    Outcome step();
    void startDiscovery();
    Outcome documentArrived(long result);
    Outcome requestEnded(Connection& c, long result);
    void release(Connection& c, bool reachedEnd = false);
    void dropSource(Source& s, FailureCause why);
    Outcome applyVerdicts(const Ledger::Verdicts& v);
    Outcome schedule();
    schedule::Situation situation(Clock::time_point now) const;
    RangeSet wanted() const;
    void checkFlights(Clock::time_point now);

    bool saveMap(bool force, bool durable = false);
    void publish(int32_t state);
    void fail(Failure kind, int32_t detail = 0);
    void run();
    Outcome loop();
    void finish(Outcome outcome);

    PreparedDownload job_;
    TransferOptions options_;
    StatusBoard& board_;
    std::string origin_; // scheme://host:port of the server the user named
    std::unique_ptr<PartFile> part_;
    MapIdentity identity_;
    OriginFacts facts_;
    std::optional<MetalinkFile> document_;
    Discovery discovery_ = Discovery::Waiting;
    std::string documentUrl_;

    CurlMulti multi_;
    std::unique_ptr<DocumentFetch> documentFetch_;
    std::unique_ptr<Ledger> ledger_; // after part_: it borrows the .part
    std::unique_ptr<Intake> intake_;
    Sources sources_;
    std::vector<std::unique_ptr<Connection>> connections_;
    int maxConnections_ = 1;
    bool singleStream_ = false; // one response brings the whole file
    bool peersAllowed_ = false;
    bool mapLoaded_ = false;
    bool mapDirty_ = false;
    bool validatorConfirmed_ = false; // the origin vouched for what an earlier run left
    int64_t finalOnDisk_ = 0;
    Clock::time_point mapSaved_;
    bool receiving_ = false;
    FailureCause failure_;

    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::thread thread_;

    SpeedMeter speed_;
    Clock::duration stallTimeout_;
};

} // namespace quarn::engine
