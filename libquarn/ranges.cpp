#include "libquarn/ranges.h"

#include <algorithm>
#include <iterator>

namespace quarn::engine {

void RangeSet::add(int64_t from, int64_t to) {
    if (from >= to) return;
    // Runs that touch or overlap [from, to) merge into one.
    auto it = runs_.upper_bound(from);
    if (it != runs_.begin() && std::prev(it)->second >= from) --it;
    while (it != runs_.end() && it->first <= to) {
        from = std::min(from, it->first);
        to = std::max(to, it->second);
        bytes_ -= it->second - it->first;
        it = runs_.erase(it);
    }
    runs_.emplace(from, to);
    bytes_ += to - from;
}

void RangeSet::remove(int64_t from, int64_t to) {
    if (from >= to) return;
    auto it = runs_.upper_bound(from);
    if (it != runs_.begin() && std::prev(it)->second > from) --it;
    while (it != runs_.end() && it->first < to) {
        const int64_t start = it->first, end = it->second;
        bytes_ -= end - start;
        it = runs_.erase(it);
        if (start < from) {
            runs_.emplace(start, from);
            bytes_ += from - start;
        }
        if (end > to) {
            runs_.emplace(to, end);
            bytes_ += end - to;
            break;
        }
    }
}

void RangeSet::clear() noexcept {
    runs_.clear();
    bytes_ = 0;
}

int64_t RangeSet::runEnd(int64_t at) const {
    auto it = runs_.upper_bound(at);
    if (it == runs_.begin()) return -1;
    --it;
    return at < it->second ? it->second : -1;
}

int64_t RangeSet::runStart(int64_t at) const {
    auto it = runs_.upper_bound(at);
    if (it == runs_.begin()) return -1;
    --it;
    return at < it->second ? it->first : -1;
}

bool RangeSet::contains(int64_t from, int64_t to) const {
    if (from >= to) return true;
    return runEnd(from) >= to;
}

bool RangeSet::intersects(int64_t from, int64_t to) const {
    if (from >= to) return false;
    const int64_t next = nextIn(from);
    return next >= 0 && next < to;
}

int64_t RangeSet::nextIn(int64_t at) const {
    auto it = runs_.upper_bound(at);
    if (it != runs_.begin() && std::prev(it)->second > at) return at;
    return it == runs_.end() ? -1 : it->first;
}

RangeSet RangeSet::within(int64_t from, int64_t to) const {
    RangeSet out;
    auto it = runs_.upper_bound(from);
    if (it != runs_.begin()) --it;
    for (; it != runs_.end() && it->first < to; ++it) {
        const int64_t a = std::max(from, it->first), b = std::min(to, it->second);
        if (a < b) {
            out.runs_.emplace_hint(out.runs_.end(), a, b);
            out.bytes_ += b - a;
        }
    }
    return out;
}

int64_t RangeSet::bytesIn(int64_t from, int64_t to) const {
    int64_t sum = 0;
    auto it = runs_.upper_bound(from);
    if (it != runs_.begin()) --it;
    for (; it != runs_.end() && it->first < to; ++it)
        sum += std::max<int64_t>(0, std::min(to, it->second) - std::max(from, it->first));
    return sum;
}

} // namespace quarn::engine
