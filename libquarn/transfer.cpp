#include "libquarn/transfer.h"

#include "libquarn/text.h"

#include <quarn/quarn.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <stdexcept>

namespace quarn::engine {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(100);
constexpr auto kMapEvery = std::chrono::milliseconds(200);
constexpr auto kDocumentTimeout = std::chrono::seconds(10);

// Nothing received for this long ends the request as a stall.
// QUARN_STALL_TIMEOUT_MS shortens it so a test need not wait half a minute.
Clock::duration stallTimeout() {
    if (const auto ms = positiveEnv("QUARN_STALL_TIMEOUT_MS"))
        return std::chrono::milliseconds(*ms);
    return std::chrono::seconds(30);
}

// What names the origin's document in the map: its whole-file hash, else a
// hash of its pieces.
std::string documentId(const MetalinkFile& d) {
    if (d.sha256) return toHex(*d.sha256);
    std::string all = std::to_string(d.pieceLength);
    for (const Sha256& p : d.pieces) all.append(reinterpret_cast<const char*>(p.data()), p.size());
    return toHex(sha256(all));
}

std::string lastSegment(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

StatusSnapshot Transfer::initialStatus(int64_t onDisk, int64_t fileSize) {
    StatusSnapshot s;
    s.state = QUARN_STATE_PREPARING;
    s.remainSec = -1;
    s.fileBytes = onDisk;
    s.fileSize = fileSize;
    return s;
}

Transfer::Transfer(PreparedDownload job, TransferSetup setup, TransferOptions options,
                   StatusBoard& board)
    : job_(std::move(job)), options_(std::move(options)), board_(board),
      origin_(originOf(job_.url)), part_(std::move(setup.part)), identity_(setup.identity),
      facts_(identity_.validator), multi_(curl_multi_init()),
      sources_(job_,
               job_.fileSize > kSegmentThreshold ? options_.peers : std::vector<std::string>()),
      stallTimeout_(stallTimeout()) {
    if (!multi_ || origin_.empty() || !part_) throw std::runtime_error("curl unavailable");
    mapLoaded_ = setup.mapFits;
    ledger_ = std::make_unique<Ledger>(job_.fileSize, std::move(setup.claimed), part_->fd(),
                                       [this] { curl_multi_wakeup(multi_.get()); });
    const bool segmented =
        job_.fileSize > kSegmentThreshold && (options_.connections > 1 || !options_.peers.empty());
    maxConnections_ = segmented ? std::clamp(options_.connections, 1, 16) : 1;
    for (int i = 0; i < maxConnections_; ++i)
        connections_.push_back(
            std::make_unique<Connection>(i, job_, static_cast<ConnectionSink&>(*this)));
    intake_ = std::make_unique<Intake>(*part_, *ledger_, connections_.size(),
                                       Intake::Hooks{[this](Failure f) { fail(f); },
                                                     [this](Connection& c) {
                                                         for (auto& o : connections_)
                                                             if (o.get() != &c && o->active() &&
                                                                 o->ending == Ending::None)
                                                                 o->ending = Ending::Transient;
                                                         return saveMap(true, true);
                                                     }});
}

Transfer::~Transfer() {
    if (thread_.joinable()) {
        requestStop();
        thread_.join();
    }
    // Handles leave the multi before either is cleaned up.
    for (auto& c : connections_) c->remove(multi_.get());
}

void Transfer::launch() {
    thread_ = std::thread(&Transfer::run, this);
}

void Transfer::requestStop() noexcept {
    stop_.store(true, std::memory_order_release);
    curl_multi_wakeup(multi_.get());
}

void Transfer::join() {
    if (thread_.joinable()) thread_.join();
}

// -- Inside libcurl's callbacks: no handle is added or removed here ----------

bool Transfer::onHead(Connection& c) {
    Source& s = sources_[c.source];
    const HeadKind kind = c.classifyHead();
    switch (kind) {
    case HeadKind::Redirect: c.phase = Phase::Redirected; return true;
    case HeadKind::Throttled:
        c.ending = Ending::Throttled;
        s.retryAfter = retryAfter(c.head, std::time(nullptr));
        return false;
    case HeadKind::Refused: c.ending = Ending::SourceFault; return false;
    case HeadKind::Accept:
    case HeadKind::Unranged: break;
    }
    // The origin's redirects speak for it; only credentials stay with its host.
    if (s.origin) {
        const bool first = !facts_.pinned();
        if (!facts_.observe(c.head)) {
            if (!fileChanged(c)) return false;
        } else if (first) {
            acceptFirstAnswer(c);
        }
    }
    if (kind == HeadKind::Unranged) {
        // The whole file instead of a range: alone, this connection takes it
        // from the start, comparing what the .part holds; beside others,
        // this source is of no use.
        const bool alone = std::none_of(connections_.begin(), connections_.end(), [&](auto& o) {
            return o.get() != &c && o->active() && o->ending == Ending::None;
        });
        if (!alone) {
            c.ending = Ending::SourceFault;
            c.cause = {Failure::BadResponse, 0};
            return false;
        }
        singleStream_ = true;
        c.from = 0;
        c.to = c.asked = job_.fileSize;
    }
    if (c.head.status == 206) s.policy.rangesKnown = true;
    c.judgement = judge(c.head, c.expectation());
    c.cursor = c.flushMark = c.judgement.bodyStart;
    c.phase = Phase::Receiving;
    s.policy.working = 0;
    for (const auto& o : connections_)
        s.policy.working += o->source == c.source && o->phase == Phase::Receiving;
    schedule::answered(s.policy);
    return true;
}

// The origin's first answer pins its file and says where its document is.
void Transfer::acceptFirstAnswer(Connection& c) {
    identity_.validator = facts_.validator();
    // The origin said, through If-Range, that what an earlier run left is
    // still its file; with piece hashes the pieces are read back anyway.
    validatorConfirmed_ = facts_.validatorFromMap() && c.head.status == 206 &&
                          pinnedValidator(c.head) == facts_.validator();
    documentUrl_ = documentLocation(c.head, c.url(), job_.documentUrl);
    discovery_ = Discovery::Wanted;
}

// An answer of the origin shows another file than the pinned one. Without
// piece hashes the download starts over from this answer; with them the
// document no longer describes the file.
bool Transfer::fileChanged(Connection& c) {
    if (document_) {
        fail(Failure::FileChanged);
        c.ending = Ending::Fatal;
        return false;
    }
    for (auto& o : connections_)
        if (o.get() != &c && o->active() && o->ending == Ending::None)
            o->ending = Ending::Transient;
    facts_.repin(c.head);
    identity_.validator = facts_.validator();
    validatorConfirmed_ = false;
    ledger_->forget();
    intake_->forgetUnproven();
    saveMap(true, true); // no map may claim the old file's bytes once new ones land
    if (discovery_ == Discovery::Waiting) {
        documentUrl_ = documentLocation(c.head, c.url(), job_.documentUrl);
        discovery_ = Discovery::Wanted;
    }
    return true;
}

std::size_t Transfer::onBody(Connection& c, const char* data, std::size_t length) {
    // Returning short makes curl abort with CURLE_WRITE_ERROR; c.ending says why.
    if (stop_.load(std::memory_order_acquire)) {
        c.ending = Ending::Stopped;
        return 0;
    }
    if (c.ending != Ending::None) return 0;
    if (c.phase != Phase::Receiving) {
        c.ending = Ending::SourceFault;
        return 0;
    }
    // Not a byte is written before the origin's document is known.
    if (discovery_ != Discovery::Done) return CURL_WRITEFUNC_PAUSE;
    if (!intake_->take(c, sources_[c.source].origin, data, length)) return 0;
    receiving_ = true;
    return length;
}

// -- The loop ------------------------------------------------------------------

void Transfer::startDiscovery() {
    const auto timeout = std::min<Clock::duration>(stallTimeout_, kDocumentTimeout);
    documentFetch_ = std::make_unique<DocumentFetch>(
        job_, documentUrl_, origin_,
        std::chrono::duration_cast<std::chrono::milliseconds>(timeout));
    discovery_ = Discovery::Fetching;
    if (!documentFetch_->start(multi_.get())) documentArrived(CURLE_FAILED_INIT);
}

// The origin's document arrived, or that there is none. From here on bytes
// may be written, and checked against its pieces.
Transfer::Outcome Transfer::documentArrived(long result) {
    const MetalinkResult r =
        documentFetch_->finish(multi_.get(), result, lastSegment(job_.serverFileName));
    documentFetch_.reset();
    if (r.kind == MetalinkResult::Kind::Broken) {
        fail(Failure::BrokenDocument);
        return Outcome::ServerError;
    }
    if (r.kind == MetalinkResult::Kind::Ok) {
        if (r.file.size != job_.fileSize) {
            fail(Failure::DocumentMismatch);
            return Outcome::ServerError;
        }
        document_ = r.file;
    }
    const std::string id = document_ ? documentId(*document_) : std::string();
    // A map written against another document is another download's.
    if (mapLoaded_ && id != identity_.document) ledger_->dropClaimed();
    identity_.document = id;
    const bool wholeFile = facts_.reprDigest().has_value() ||
                           (document_ && document_->sha256 && document_->pieces.empty());
    ledger_->setDocument(document_ ? &*document_ : nullptr, wholeFile);
    if (!ledger_->hashed() && validatorConfirmed_) ledger_->confirmAllClaimed();
    discovery_ = Discovery::Done;
    peersAllowed_ = ledger_->hashed() || options_.trustPeers;
    if (peersAllowed_) sources_.probe(multi_.get());
    for (auto& c : connections_) c->resume();
    return saveMap(true) ? Outcome::Running : Outcome::WriteError;
}

// Ends the connection's part in the download; its range goes back.
void Transfer::release(Connection& c, bool reachedEnd) {
    c.remove(multi_.get());
    intake_->finish(c, reachedEnd);
    if (c.duplicate && reachedEnd) {
        // The second copy arrived first: the flight it raced no longer waits for those bytes.
        for (auto& o : connections_)
            if (o.get() != &c && o->active() && !o->duplicate && o->cursor < c.to && o->to > c.from)
                o->to = std::max(o->cursor, std::min(o->to, ledger_->bytes().heldFrom(o->to)));
    }
    c.phase = Phase::Idle;
    c.source = -1;
    c.duplicate = false;
}

void Transfer::dropSource(Source& s, FailureCause why) {
    if (s.state == Source::State::Probing) curl_multi_remove_handle(multi_.get(), s.probe.get());
    s.state = Source::State::Dropped;
    s.policy.usable = false;
    if (s.origin || failure_.kind == Failure::None) failure_ = why;
    for (auto& c : connections_)
        if (c->source >= 0 && &sources_[c->source] == &s) release(*c);
}

// A request has ended: follow a redirect, or settle what it brought and
// decide what its end means for its source and the download.
Transfer::Outcome Transfer::requestEnded(Connection& c, long result) {
    Source& s = sources_[c.source];
    const Phase phase = c.phase;
    c.remove(multi_.get());
    if (phase == Phase::Redirected && result == CURLE_OK && c.ending == Ending::None) {
        if (c.followRedirect(multi_.get())) return Outcome::Running;
        c.ending = Ending::SourceFault;
        c.cause = {Failure::Redirect, 0};
    }
    const bool reachedEnd = result == CURLE_OK && phase == Phase::Receiving && c.cursor == c.asked;
    const Ending ending = reachedEnd ? Ending::Done : c.ending;
    FailureCause cause = c.cause.kind != Failure::None ? c.cause : causeOf(c.easy(), result);
    int working = 0;
    for (const auto& o : connections_)
        working += o.get() != &c && o->source == c.source && o->phase == Phase::Receiving;
    release(c, reachedEnd);
    switch (ending) {
    case Ending::Done: return Outcome::Running;
    case Ending::Stopped: return Outcome::Stopped;
    case Ending::WriteError: return Outcome::WriteError;
    case Ending::Fatal: return Outcome::ServerError;
    case Ending::SourceFault: dropSource(s, cause); return Outcome::Running;
    case Ending::Throttled:
    case Ending::Transient:
    case Ending::None:
    case Ending::FileChanged: break;
    }
    if (stop_.load(std::memory_order_acquire)) return Outcome::Stopped;
    if (ending == Ending::Transient && working > 0) return Outcome::Running;
    // A 503 or 429, or a refusal beside connections that work: the source
    // carries no more than those for now.
    const bool refused = cause.kind == Failure::ConnectionRefused && working > 0;
    if (ending == Ending::Throttled || refused) {
        s.policy.working = working;
        if (!schedule::throttled(s.policy, Clock::now(), s.retryAfter)) dropSource(s, cause);
        s.retryAfter.reset();
        return Outcome::Running;
    }
    if (working == 0) dropSource(s, cause);
    return Outcome::Running;
}

// A bad piece blames its source: a peer is dropped and the piece fetched
// again elsewhere; the origin's own bad piece ends the download.
Transfer::Outcome Transfer::applyVerdicts(const Ledger::Verdicts& v) {
    if (v.ioError) {
        fail(Failure::IoError);
        return Outcome::WriteError;
    }
    for (const uint64_t blamed : v.blamed) {
        bool peer = false;
        for (std::size_t i = 1; i < sources_.size(); ++i)
            if ((blamed >> i) & 1U) {
                peer = true;
                Source& s = sources_[static_cast<int>(i)];
                if (s.state != Source::State::Dropped) dropSource(s, {Failure::PieceMismatch, 0});
            }
        if (!peer && (blamed & 1U)) {
            fail(Failure::PieceMismatch);
            return Outcome::ServerError;
        }
    }
    return Outcome::Running;
}

// Bytes to fetch that no request brings: what is not on disk, and, where
// nothing else can vouch for what an earlier run left, the last bytes of
// each of its runs, to compare.
RangeSet Transfer::wanted() const {
    const FileBytes& bytes = ledger_->bytes();
    RangeSet w;
    w.add(0, job_.fileSize);
    for (const RangeSet* set : {&bytes.good, &bytes.claimed, &bytes.written})
        for (const auto& [a, b] : set->runs()) w.remove(a, b);
    if (!ledger_->hashed())
        for (const auto& [a, b] : bytes.claimed.runs()) w.add(std::max(a, b - kOverlap), b);
    for (const auto& c : connections_)
        if (c->active() && !c->duplicate) w.remove(c->cursor, c->to);
    return w;
}

schedule::Situation Transfer::situation(Clock::time_point now) const {
    schedule::Situation s;
    s.now = now;
    s.alignment = ledger_->alignment();
    s.maxConnections = maxConnections_;
    s.probing = sources_.probing(now);
    for (std::size_t i = 0; i < sources_.size(); ++i)
        s.sources.push_back(sources_[static_cast<int>(i)].policy);
    for (const auto& c : connections_) {
        if (!c->active()) {
            s.idle.push_back(c->id);
            continue;
        }
        auto& policy = s.sources[static_cast<std::size_t>(c->source)];
        ++policy.active;
        policy.working += c->phase == Phase::Receiving;
        const bool raced = std::any_of(connections_.begin(), connections_.end(), [&](auto& o) {
            return o->active() && o->duplicate && o->cursor < c->to && o->to > c->cursor;
        });
        s.flights.push_back(
            {c->id, c->source, c->cursor, c->to, c->rate(now), c->duplicate, raced});
    }
    s.wanted = wanted();
    return s;
}

Transfer::Outcome Transfer::schedule() {
    const bool busy = std::any_of(connections_.begin(), connections_.end(),
                                  [](const auto& c) { return c->active(); });
    // Until the origin has answered and its document is known, one request.
    const bool waiting = discovery_ != Discovery::Done;
    if (!(singleStream_ || (waiting && busy))) {
        const schedule::Plan plan = schedule::plan(situation(Clock::now()));
        for (const schedule::Cut& cut : plan.cuts) {
            Connection& c = *connections_[static_cast<std::size_t>(cut.connection)];
            if (!c.active()) continue;
            if (cut.to <= c.cursor) {
                // Handed over for being slow: its source is known by that now.
                auto& policy = sources_[c.source].policy;
                if (const double rate = c.rate(Clock::now()); rate >= 0)
                    policy.rate = policy.rate < 0 ? rate : std::min(policy.rate, rate);
                release(c);
            } else
                c.to = cut.to;
        }
        for (const schedule::Assignment& a : plan.assignments) {
            Connection& c = *connections_[static_cast<std::size_t>(a.connection)];
            Source& s = sources_[a.source];
            if (waiting && !s.origin) continue;
            const bool ranged = a.from > 0 || a.to < job_.fileSize;
            c.source = a.source;
            c.duplicate = a.duplicate;
            if (!c.start(multi_.get(), s.url, a.from, a.to, job_.fileSize, s.origin ? origin_ : "",
                         s.origin && ranged ? facts_.validator() : "")) {
                release(c);
                fail(Failure::IoError);
                return Outcome::ServerError;
            }
            if (waiting) break;
        }
    }
    if (std::any_of(connections_.begin(), connections_.end(),
                    [](const auto& c) { return c->active(); }) ||
        discovery_ == Discovery::Fetching || ledger_->complete() || ledger_->checking())
        return Outcome::Running;
    // Nothing runs: a source still answering or waiting out a back-off may
    // yet take it; else no source is left.
    if (sources_.hope(Clock::now())) return Outcome::Running;
    if (failure_.kind == Failure::None) failure_ = {Failure::NoSource, 0};
    return Outcome::ServerError;
}

// Per turn: rates, stalls, and races whose bytes are all in.
void Transfer::checkFlights(Clock::time_point now) {
    std::vector<double> best(sources_.size(), -1);
    for (auto& c : connections_) {
        if (!c->active()) continue;
        Source& s = sources_[c->source];
        c->sample(now);
        best[static_cast<std::size_t>(c->source)] =
            std::max(best[static_cast<std::size_t>(c->source)], c->rate(now));
        if (c->ending != Ending::None && c->ending != Ending::Throttled) {
            release(*c); // told to give up while curl had nothing to deliver
            continue;
        }
        const bool raced =
            c->duplicate || std::any_of(connections_.begin(), connections_.end(), [&](auto& o) {
                return o.get() != c.get() && o->active() && o->duplicate;
            });
        if (raced && c->phase == Phase::Receiving) {
            // What the other copy brought first is not waited for again.
            const int64_t end = std::max(c->cursor, ledger_->bytes().heldFrom(c->to));
            if (end == c->cursor) {
                release(*c);
                continue;
            }
            c->to = end;
        }
        // Only body bytes count: a head trickled line by line is a stall too.
        if (!c->paused && now - c->lastProgress > stallTimeout_) {
            int working = 0;
            for (const auto& o : connections_)
                working +=
                    o.get() != c.get() && o->source == c->source && o->phase == Phase::Receiving;
            release(*c);
            if (working == 0) dropSource(s, {Failure::Stalled, 0});
        }
    }
    for (std::size_t i = 0; i < sources_.size(); ++i)
        if (best[i] >= 0) sources_[static_cast<int>(i)].policy.rate = best[i];
}

Transfer::Outcome Transfer::step() {
    if (discovery_ == Discovery::Wanted) startDiscovery();
    if (const Outcome o = schedule(); o != Outcome::Running) return o;
    int running = 0;
    if (curl_multi_perform(multi_.get(), &running) != CURLM_OK) return Outcome::ServerError;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_.get(), &queued)) {
        if (message->msg != CURLMSG_DONE) continue;
        // The message lives in its handle: it goes with the removal.
        CURL* const easy = message->easy_handle;
        const long result = message->data.result;
        if (documentFetch_ && documentFetch_->easy() == easy) {
            if (const Outcome o = documentArrived(result); o != Outcome::Running) return o;
            continue;
        }
        if (sources_.probeEnded(easy, result)) continue;
        for (auto& c : connections_)
            if (c->easy() == easy && c->source >= 0)
                if (const Outcome o = requestEnded(*c, result); o != Outcome::Running) return o;
    }
    if (const Outcome o = applyVerdicts(ledger_->collect()); o != Outcome::Running) return o;
    const Clock::time_point now = Clock::now();
    checkFlights(now);
    // Before the completion below, so the last bytes show as received
    // while the closing flush runs.
    if (receiving_) {
        speed_.sample(now, intake_->received(), job_.fileSize - ledger_->bytes().onDisk());
        publish(QUARN_STATE_RECEIVING);
    }
    if (discovery_ == Discovery::Done && ledger_->complete()) {
        const auto digest = ledger_->wholeFileDigest();
        const bool wrong = (facts_.reprDigest() && digest != facts_.reprDigest()) ||
                           (document_ && document_->pieces.empty() && document_->sha256 &&
                            digest != document_->sha256);
        if (!wrong) return Outcome::Complete;
        fail(Failure::DigestMismatch);
        ledger_->forget(); // nothing of it can be trusted for a resume
        return Outcome::ServerError;
    }
    if (stop_.load(std::memory_order_acquire)) return Outcome::Stopped;
    if (!saveMap(false)) return Outcome::WriteError;
    curl_multi_poll(multi_.get(), nullptr, 0, static_cast<int>(kPollInterval.count()), nullptr);
    return Outcome::Running;
}

Transfer::Outcome Transfer::loop() {
    // Bound to this download at once: a map left by another one goes.
    if (!saveMap(true)) return Outcome::WriteError;
    for (;;)
        if (const Outcome o = step(); o != Outcome::Running) return o;
}

bool Transfer::saveMap(bool force, bool durable) {
    const Clock::time_point now = Clock::now();
    const bool dirty = ledger_->takeDirty();
    if (!force && (!dirty || now - mapSaved_ < kMapEvery)) {
        if (dirty) mapDirty_ = true;
        if (!mapDirty_ || now - mapSaved_ < kMapEvery) return true;
    }
    mapDirty_ = false;
    mapSaved_ = now;
    if (part_->saveMap(serialiseMap(identity_, ledger_->bytes().recorded()), durable)) return true;
    fail(diskFailure(errno));
    return false;
}

void Transfer::publish(int32_t state) {
    StatusSnapshot s;
    s.state = state;
    s.speedKiB = speed_.kiB();
    s.remainSec = speed_.remainSec();
    s.received = intake_->received();
    s.fileBytes = ledger_ ? ledger_->bytes().onDisk() : finalOnDisk_;
    s.fileSize = job_.fileSize;
    if (state == QUARN_STATE_WRITE_ERROR || state == QUARN_STATE_SERVER_ERROR) s.cause = failure_;
    board_.publish(s);
}

void Transfer::fail(Failure kind, int32_t detail) {
    if (failure_.kind == Failure::None) failure_ = {kind, detail};
}

void Transfer::run() {
    publish(QUARN_STATE_CONNECTING);
    Outcome outcome = loop();
    for (auto& c : connections_)
        if (c->active()) release(*c);
    if (outcome != Outcome::Complete) {
        // What arrived goes to the disk and into the map for the next start.
        if (ledger_->windDown().ioError && outcome != Outcome::WriteError) {
            fail(Failure::IoError);
            outcome = Outcome::WriteError;
        }
        if (!saveMap(true)) outcome = Outcome::WriteError;
    }
    finish(outcome);
}

void Transfer::finish(Outcome outcome) {
    finalOnDisk_ = ledger_->bytes().onDisk();
    ledger_.reset(); // its threads borrow the .part
    if (outcome == Outcome::Complete) {
        if (!part_->complete(job_.fileSize)) {
            fail(diskFailure(errno));
            outcome = Outcome::WriteError;
        }
    } else {
        // A download that never got a byte leaves nothing behind.
        part_->close(finalOnDisk_ == 0);
    }
    int32_t state = QUARN_STATE_SERVER_ERROR;
    switch (outcome) {
    case Outcome::Complete: state = QUARN_STATE_COMPLETE; break;
    case Outcome::Stopped: state = QUARN_STATE_STOPPED; break;
    case Outcome::WriteError:
        state = QUARN_STATE_WRITE_ERROR;
        fail(Failure::IoError); // unless the cause is known already
        break;
    default: fail(Failure::NoSource); break;
    }
    speed_.ended();
    publish(state);
    finished_.store(true, std::memory_order_release);
}

} // namespace quarn::engine
