#include "libquarn/share_policy.h"

#include "libquarn/text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>

namespace quarn::engine {
namespace {

// Connections beyond the total limit that are still told 503.
constexpr unsigned kShareRefusalsTotal = 64;

// The upload rate is handed out in pieces of about 1/50 s of it: small
// enough that peers take turns many times a second, large enough that a
// piece is not a syscall per few bytes.
constexpr std::int64_t kQuantumMin = std::int64_t{4} * 1024;
constexpr std::int64_t kQuantumMax = std::int64_t{256} * 1024;
constexpr int kQuantaPerSecond = 50;
// What a quiet moment may save up: a tenth of a second's worth.
constexpr int kBurstPerSecond = 10;

std::chrono::milliseconds msFromEnv(const char* name, std::chrono::milliseconds fallback) {
    if (const auto ms = positiveEnv(name)) return std::chrono::milliseconds(*ms);
    return fallback;
}

} // namespace

ShareTimeouts shareTimeoutsFromEnv() {
    ShareTimeouts t;
    t.head = msFromEnv("QUARN_SHARE_HEAD_TIMEOUT_MS", t.head);
    t.idle = msFromEnv("QUARN_SHARE_IDLE_TIMEOUT_MS", t.idle);
    return t;
}

std::optional<std::int64_t> shareRateFromEnv() {
    const char* value = std::getenv("QUARN_SHARE_RATE");
    if (value == nullptr || value[0] == '\0') return std::nullopt;
    const auto rate = parseDecimal(value);
    if (!rate || *rate <= 0) {
        std::fprintf(stderr,
                     "quarn: QUARN_SHARE_RATE=%s is not a number of bytes per second above 0; "
                     "sharing is not limited\n",
                     value);
        return std::nullopt;
    }
    return *rate;
}

std::string shareAddressKey(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        return std::string("4") +
               std::string(reinterpret_cast<const char*>(&v4.sin_addr), sizeof v4.sin_addr);
    }
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        const auto* bytes = reinterpret_cast<const char*>(&v6.sin6_addr);
        // An IPv4 client on a dual-stack socket is that IPv4 address.
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr))
            return std::string("4") + std::string(bytes + 12, 4);
        return std::string("6") + std::string(bytes, 8);
    }
    return "?";
}

ShareAdmission::Verdict ShareAdmission::admit(const std::string& key) {
    unsigned& mine = byAddress_[key];
    Verdict verdict = Verdict::Serve;
    if (mine >= kSharePerAddressLimit + kShareRefusalsPerAddress ||
        open_ >= kShareConnectionLimit + kShareRefusalsTotal)
        verdict = Verdict::Drop;
    else if (mine >= kSharePerAddressLimit || open_ >= kShareConnectionLimit)
        verdict = Verdict::Refuse;
    if (verdict == Verdict::Drop) {
        if (mine == 0) byAddress_.erase(key);
        return verdict;
    }
    ++mine;
    ++open_;
    return verdict;
}

bool ShareAdmission::linger(const std::string& key) {
    const auto it = byAddress_.find(key);
    if (it != byAddress_.end() && --it->second == 0) byAddress_.erase(it);
    if (lingering_ >= kShareLingeringLimit) {
        --open_;
        return false;
    }
    ++lingering_;
    return true;
}

void ShareAdmission::leave(const std::string& key, bool lingering) {
    --open_;
    if (lingering) {
        --lingering_;
        return;
    }
    const auto it = byAddress_.find(key);
    if (it != byAddress_.end() && --it->second == 0) byAddress_.erase(it);
}

RateBudget::RateBudget(std::int64_t rate, ShareClock::time_point now)
    : rate_(static_cast<double>(rate)),
      quantum_(std::clamp(rate / kQuantaPerSecond, kQuantumMin, kQuantumMax)), last_(now) {
    burst_ = std::max(static_cast<double>(quantum_), rate_ / kBurstPerSecond);
}

void RateBudget::refill(ShareClock::time_point now) {
    if (now <= last_) return;
    tokens_ =
        std::min(burst_, tokens_ + rate_ * std::chrono::duration<double>(now - last_).count());
    last_ = now;
}

std::int64_t RateBudget::take(std::int64_t want, ShareClock::time_point now) {
    refill(now);
    const std::int64_t piece = std::min(want, quantum_);
    // Half a byte short is there: readyAt's rounding must not leave a wait of nothing.
    if (piece <= 0 || tokens_ + 0.5 < static_cast<double>(piece)) return 0;
    tokens_ -= static_cast<double>(piece);
    return piece;
}

void RateBudget::giveBack(std::int64_t bytes) noexcept {
    if (bytes > 0) tokens_ = std::min(burst_, tokens_ + static_cast<double>(bytes));
}

ShareClock::time_point RateBudget::readyAt(std::int64_t want, ShareClock::time_point now) {
    refill(now);
    const double missing = static_cast<double>(std::min(want, quantum_)) - tokens_;
    if (missing <= 0.5) return now;
    return now +
           std::chrono::ceil<ShareClock::duration>(std::chrono::duration<double>(missing / rate_));
}

} // namespace quarn::engine
