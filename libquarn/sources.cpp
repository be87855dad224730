#include "libquarn/sources.h"

#include "libquarn/connection.h"

#include <algorithm>

namespace quarn::engine {
namespace {

constexpr long kProbeTimeoutMs = 5000;
constexpr auto kProbeGrace = std::chrono::milliseconds(500);

} // namespace

Sources::Sources(const PreparedDownload& job, const std::vector<std::string>& peers)
    : fileSize_(job.fileSize) {
    auto origin = std::make_unique<Source>();
    origin->url = job.url;
    origin->origin = origin->policy.origin = true;
    all_.push_back(std::move(origin));
    for (std::size_t i = 0; i < peers.size() && i < kMaxPeers; ++i) {
        auto s = std::make_unique<Source>();
        s->url = peers[i] + "/" + encodePathSegment(job.site) + "/" + encodePathSegment(job.hash);
        s->state = Source::State::Waiting;
        s->policy.usable = false;
        all_.push_back(std::move(s));
    }
}

Sources::~Sources() {
    for (auto& s : all_)
        if (s->state == Source::State::Probing) curl_multi_remove_handle(multi_, s->probe.get());
}

void Sources::probe(CURLM* multi) {
    multi_ = multi;
    for (auto& s : all_) {
        if (s->state != Source::State::Waiting) continue;
        s->probe = newEasy();
        curl_easy_setopt(s->probe.get(), CURLOPT_URL, s->url.c_str());
        curl_easy_setopt(s->probe.get(), CURLOPT_NOBODY, 1L);
        curl_easy_setopt(s->probe.get(), CURLOPT_TIMEOUT_MS, kProbeTimeoutMs);
        s->probeHeaders.reset(curl_slist_append(nullptr, "Accept-Encoding: identity"));
        curl_easy_setopt(s->probe.get(), CURLOPT_HTTPHEADER, s->probeHeaders.get());
        const bool added = curl_multi_add_handle(multi, s->probe.get()) == CURLM_OK;
        s->state = added ? Source::State::Probing : Source::State::Dropped;
    }
    grace_ = Clock::now() + kProbeGrace;
}

bool Sources::probeEnded(CURL* easy, long result) {
    for (auto& s : all_) {
        if (s->state != Source::State::Probing || s->probe.get() != easy) continue;
        curl_multi_remove_handle(multi_, easy);
        long status = 0;
        curl_off_t length = -1;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        const bool has = result == CURLE_OK && status == 200 && length == fileSize_;
        s->state = has ? Source::State::Ready : Source::State::Dropped;
        s->policy.usable = has;
        s->probe.reset();
        return true;
    }
    return false;
}

bool Sources::probing(Clock::time_point now) const {
    return now < grace_ && std::any_of(all_.begin(), all_.end(), [](const auto& s) {
               return s->state == Source::State::Probing;
           });
}

bool Sources::hope(Clock::time_point now) const {
    // Peers wait for the origin's first answer: without the origin, they never come.
    const bool originLeft = all_.front()->state != Source::State::Dropped;
    return std::any_of(all_.begin(), all_.end(), [&](const auto& s) {
        return s->state == Source::State::Probing ||
               (s->state == Source::State::Waiting && originLeft) ||
               (s->state == Source::State::Ready && now < s->policy.retryAt);
    });
}

void Sources::drop(Source& s) {
    if (s.state == Source::State::Probing) curl_multi_remove_handle(multi_, s.probe.get());
    s.state = Source::State::Dropped;
    s.policy.usable = false;
}

} // namespace quarn::engine
