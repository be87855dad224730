// A set of byte ranges of a file, kept as disjoint, non-adjacent runs: what
// is on disk, what is still wanted, what a response has covered.
#pragma once

#include <cstdint>
#include <map>

namespace quarn::engine {

class RangeSet {
public:
    void add(int64_t from, int64_t to);    // [from, to); empty ranges are ignored
    void remove(int64_t from, int64_t to); // likewise
    void clear() noexcept;

    bool contains(int64_t from, int64_t to) const; // every byte of [from, to)
    bool contains(int64_t at) const { return runEnd(at) >= 0; }
    bool intersects(int64_t from, int64_t to) const;
    // The end of the run holding `at`, or -1 when `at` is not in the set.
    int64_t runEnd(int64_t at) const;
    // The start of the run holding `at`, or -1 when `at` is not in the set.
    int64_t runStart(int64_t at) const;
    // The first byte at or after `at` that is in the set, or -1.
    int64_t nextIn(int64_t at) const;
    int64_t bytesIn(int64_t from, int64_t to) const;
    // The set's bytes inside [from, to), in time of the runs it touches.
    RangeSet within(int64_t from, int64_t to) const;

    int64_t bytes() const noexcept { return bytes_; }
    bool empty() const noexcept { return runs_.empty(); }
    std::size_t runCount() const noexcept { return runs_.size(); }
    const std::map<int64_t, int64_t>& runs() const noexcept { return runs_; } // start -> end

private:
    std::map<int64_t, int64_t> runs_;
    int64_t bytes_ = 0;
};

} // namespace quarn::engine
