#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace melodex::server {

// The input's recent samples at the fingerprint rate, addressed by their position from the
// input's start: windows are cut from it and segment boundaries refined on it. The caller drops
// what it no longer needs, so a stream of any length holds a bounded stretch.
class SampleHistory {
public:
    int64_t begin() const { return begin_; }
    int64_t end() const { return begin_ + static_cast<int64_t>(samples_.size()); }

    void append(const float* samples, size_t count) { samples_.insert(samples_.end(), samples, samples + count); }
    // Forgets everything and goes on at `position` (after a gap in a stream).
    void restartAt(int64_t position) {
        samples_.clear();
        begin_ = position;
    }
    // Forgets the samples before `position`.
    void dropBefore(int64_t position) {
        const int64_t n = std::clamp<int64_t>(position - begin_, 0, static_cast<int64_t>(samples_.size()));
        samples_.erase(samples_.begin(), samples_.begin() + n);
        begin_ += n;
    }
    // The samples of [from, to) that are still held; `first` is where they start.
    std::vector<float> slice(int64_t from, int64_t to, int64_t& first) const {
        first = std::clamp(from, begin_, end());
        const int64_t last = std::clamp(to, first, end());
        return {samples_.begin() + (first - begin_), samples_.begin() + (last - begin_)};
    }

private:
    int64_t begin_ = 0;
    std::vector<float> samples_;
};

}  // namespace melodex::server
