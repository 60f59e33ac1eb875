#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "server/index/hash_list.h"
#include "server/index/index.h"

// How a bucket of postings is coded, in the embedded index's postings file and in the Redis
// index's buckets alike: a sequence of runs, one per hash in the bucket, sorted by hash. A run is
// varints of the hash's low bits (as the difference from the previous run's, times two, plus one
// for a run of a single posting), the number of postings unless it is one, then per posting the
// track as the difference from the previous posting's and the frame (as the difference from the
// previous posting's when the track is the same). About 4 bytes a posting where fixed fields take
// 8.
namespace melodex::server::run_coding {

inline constexpr uint32_t kField = 0xFFFFFF;  // tracks and frames have 24 bits

// Codes a run of postings, sorted by track and frame, `lowDelta` past the previous run's low bits.
template <class Bytes>
void appendRun(Bytes& out, uint32_t lowDelta, const Posting* postings, size_t count) {
    if (count == 1) {
        putVarint(out, 2 * lowDelta + 1);
    } else {
        putVarint(out, 2 * lowDelta);
        putVarint(out, static_cast<uint32_t>(count));
    }
    Posting last;
    for (size_t i = 0; i < count; ++i) {
        const Posting& p = postings[i];
        const uint32_t trackDelta = p.track - last.track;
        putVarint(out, trackDelta);
        putVarint(out, trackDelta == 0 ? p.frame - last.frame : p.frame);
        last = p;
    }
}

// A run's header: the difference of its hash's low bits from the previous run's, and its number
// of postings. `foldsSingles` is false only for the postings file's version 1, which wrote every
// run's count.
inline bool readRunHeader(const uint8_t*& p, const uint8_t* end, bool foldsSingles, uint32_t& delta, uint32_t& count) {
    if (!getVarint(p, end, delta)) return false;
    if (foldsSingles) {
        const bool single = delta & 1;
        delta >>= 1;
        if (single) {
            count = 1;
            return true;
        }
    }
    return getVarint(p, end, count);
}

// The next posting of a run, coded against the previous one (`last`, updated).
inline bool decodePosting(const uint8_t*& p, const uint8_t* end, Posting& last) {
    uint32_t trackDelta = 0, frame = 0;
    if (!getVarint(p, end, trackDelta) || !getVarint(p, end, frame)) return false;
    if (trackDelta == 0) {
        last.frame = (last.frame + frame) & kField;
    } else {
        last.track = (last.track + trackDelta) & kField;
        last.frame = frame & kField;
    }
    return true;
}

// Moves `p` past `n` varints without decoding them: each ends with the one byte whose top bit is
// clear, so whole words whose ending bytes are fewer than those left are passed at once. A few
// varints (a run of one posting) are passed byte by byte: counting a word's bits costs more.
inline bool skipVarints(const uint8_t*& p, const uint8_t* end, uint64_t n) {
    while (n > 8 && end - p >= 8) {
        uint64_t word = 0;
        std::memcpy(&word, p, sizeof word);
        const auto ends = static_cast<uint64_t>(__builtin_popcountll(~word & 0x8080808080808080ULL));
        if (ends >= n) break;
        n -= ends;
        p += 8;
    }
    for (; n > 0; ++p) {
        if (p == end) return false;
        n -= !(*p & 0x80);
    }
    return true;
}

// Finds hashes' runs in one coded bucket, for hashes asked in ascending order: each search goes
// on from where the previous one stopped.
class RunCursor {
public:
    enum class Seek { Absent, Found, Damaged };

    RunCursor(const uint8_t* begin, const uint8_t* end, bool foldsSingles)
        : at_(begin), end_(end), foldsSingles_(foldsSingles) {}

    // Moves to the run of the hash whose low bits are `low`; when Found, its `count()` postings
    // are next, to be taken by `decode` or passed by `skip`.
    Seek seek(uint32_t low) {
        for (;;) {
            if (!inRun_) {
                if (at_ == end_) return Seek::Absent;
                uint32_t delta = 0;
                if (!readRunHeader(at_, end_, foldsSingles_, delta, count_)) return Seek::Damaged;
                low_ += delta;
                inRun_ = true;
            }
            if (low_ > low) return Seek::Absent;
            if (low_ == low) return Seek::Found;
            if (!skip()) return Seek::Damaged;
        }
    }
    uint32_t count() const { return count_; }

    bool skip() {
        inRun_ = false;
        return skipVarints(at_, end_, 2 * uint64_t{count_});
    }
    // Appends the run's postings to `out`; false when the bucket is damaged. A count beyond what
    // the bucket's bytes can hold is damage: no more are read than they hold.
    bool decode(std::vector<Posting>& out) {
        inRun_ = false;
        const size_t first = out.size();
        out.resize(first + std::min<size_t>(count_, static_cast<size_t>(end_ - at_) / 2));
        Posting last;
        size_t n = first;
        while (n < out.size() && decodePosting(at_, end_, last)) out[n++] = last;
        const bool whole = n - first == count_;
        out.resize(n);
        return whole;
    }

private:
    const uint8_t* at_;
    const uint8_t* end_;
    const bool foldsSingles_;
    bool inRun_ = false;  // a run's header has been read, and its postings not
    uint32_t low_ = 0;
    uint32_t count_ = 0;
};

}  // namespace melodex::server::run_coding
