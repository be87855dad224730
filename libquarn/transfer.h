// One download on a thread of its own, driven through one curl multi handle
// so that a stop can wake it at once (curl_multi_wakeup) instead of waiting
// for the next timeout.
//
// A large file is fetched in pieces over several connections, to the user's
// server and to peers that share the same file; a connection that runs out
// of work takes over half of the largest piece still being fetched. Small
// files, and servers that do not answer ranges, use one connection.
//
// What reaches the .part file is decided per response: its head must show
// the bytes we asked for, in identity encoding, before a byte is written.
// Bytes already in the file are compared, never overwritten blindly, and a
// response that declares no length only counts once it has ended exactly at
// the end of what was asked; until then it is undone on any failure.
#pragma once

#include "libquarn/handles.h"
#include "libquarn/pieces.h"
#include "libquarn/requests.h"
#include "libquarn/response.h"
#include "libquarn/status_board.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace quarn::engine {

class WriteBack;

// The files of one download as the start opened them. Every later operation
// names files relative to `dir`, so a link planted meanwhile leads nowhere.
struct DownloadFiles {
    UniqueFd dir;
    UniqueFd part;
    std::string partName;
    std::string finalName;
    std::string mapName;
};

struct TransferOptions {
    int connections = 4;            // at most this many at once
    std::vector<std::string> peers; // "http://host:port" of share servers
    // The pieces came from a map beside the .part (else the .part is a
    // prefix of the file, its length what is trusted).
    bool mapped = false;
    // The .part's bytes cannot be trusted at all (a map that did not fit):
    // they are dropped once the first response has been accepted.
    bool untrusted = false;
};

class Transfer {
public:
    // Throws when curl cannot be set up.
    Transfer(PreparedDownload job, DownloadFiles files, PieceMap pieces, TransferOptions options,
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

    // Bytes before the end of a resumed piece that are fetched again and
    // compared, so a .part that no longer belongs to the server's file is
    // found before anything is appended to it.
    static constexpr int64_t kOverlap = int64_t{64} * 1024;
    // Files up to this size are not worth more than one connection.
    static constexpr int64_t kSegmentThreshold = int64_t{8} * 1024 * 1024;

private:
    enum class Outcome { Running, Complete, Stopped, WriteError, ServerError };
    using Clock = std::chrono::steady_clock;
    struct Connection;
    struct Source;

    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* conn);
    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* conn);
    bool header(Connection& c, std::string_view line);
    bool acceptHead(Connection& c);
    std::size_t body(Connection& c, const char* data, std::size_t length);
    bool consume(Connection& c, const char* data, std::size_t length);
    bool mismatch(Connection& c, Piece& p, int64_t at);
    int64_t firstMismatch(int64_t at, const char* data, std::size_t length);
    bool cutPiece(Piece& piece, int64_t at);
    bool writeAt(int64_t at, const char* data, std::size_t length);
    void kickWriteBack(Connection& c);

    Connection& addConnection();
    void configureHop(Connection& c, const std::string& url);
    bool startRequest(Connection& c);
    Piece& pieceOf(const Connection& c);
    Outcome requestEnded(Connection& c, CURLcode result);
    void undoUnproven(Connection& c);
    void detach(Connection& c);
    void dropSource(Source& s);
    void probeEnded(Source& s, CURLcode result);
    Outcome schedule();
    Source* pickSource();
    int nextPiece(int thief);

    bool saveMap(bool force);
    void sampleSpeed(Clock::time_point now);
    void publish(int32_t state);
    void run();
    Outcome loop();
    Outcome complete();
    void finish(Outcome outcome);

    PreparedDownload job_;
    DownloadFiles files_;
    PieceMap pieces_;
    TransferOptions options_;
    StatusBoard& board_;
    std::string origin_; // scheme://host:port of the server the user named

    CurlMulti multi_;
    std::vector<std::unique_ptr<Source>> sources_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<char> compareBuffer_;
    bool singleStream_ = false;    // one response brings the whole file
    Clock::time_point probeGrace_; // until then the server waits for the peers' answers
    bool receiving_ = false;

    std::unique_ptr<WriteBack> writeBack_; // before files_ goes: it borrows the .part
    UniqueFd map_;
    std::size_t mapLength_ = 0;
    bool mapDirty_ = false;
    Clock::time_point mapSaved_;

    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::thread thread_;

    int64_t received_ = 0; // bytes this download added to the file
    int32_t speedKiB_ = 0;
    int32_t remainSec_ = -1;
    Clock::duration stallTimeout_;
    struct Sample {
        Clock::time_point at;
        int64_t received;
    };
    std::deque<Sample> samples_;
};

} // namespace quarn::engine
