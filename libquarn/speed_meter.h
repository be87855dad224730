// Speed and time left as the polls show them: over the last ~2 s, from
// samples at least 100 ms apart, so a burst or a pause shows up smoothly
// rather than as a spike.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <deque>

namespace quarn::engine {

class SpeedMeter {
public:
    using Clock = std::chrono::steady_clock;

    // `received`: bytes so far; `left`: bytes still to come.
    void sample(Clock::time_point now, int64_t received, int64_t left) {
        if (!samples_.empty() && now - samples_.back().at < kSampleEvery) return;
        samples_.push_back({now, received});
        while (samples_.size() > 1 && samples_[1].at <= now - kWindow) samples_.pop_front();
        const double seconds = std::chrono::duration<double>(now - samples_.front().at).count();
        if (seconds < 0.1) return;
        const double perSecond =
            static_cast<double>(received - samples_.front().received) / seconds;
        kiB_ = static_cast<int32_t>(std::min(perSecond / 1024.0, 2147483647.0));
        remain_ = perSecond >= 1.0
                      ? static_cast<int32_t>(std::min(
                            std::ceil(static_cast<double>(left) / perSecond), 2147483647.0))
                      : -1;
    }
    // Once ended there is nothing left to wait for.
    void ended() noexcept { kiB_ = remain_ = 0; }

    int32_t kiB() const noexcept { return kiB_; }
    int32_t remainSec() const noexcept { return remain_; } // -1 while unknown

private:
    static constexpr auto kSampleEvery = std::chrono::milliseconds(100);
    static constexpr auto kWindow = std::chrono::seconds(2);
    struct Sample {
        Clock::time_point at;
        int64_t received;
    };
    std::deque<Sample> samples_;
    int32_t kiB_ = 0;
    int32_t remain_ = -1;
};

} // namespace quarn::engine
