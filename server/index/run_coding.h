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
//
// A run of four or more postings is packed instead: its first posting as two varints, then the
// widths in bits of the other postings' two fields (the largest of the run), then those fields
// back to back, lowest bit first. As small as the varints, and a run's postings decode without a
// branch per byte, two fields at a time from one 8-byte load; a run is passed without reading its
// postings at all.
namespace melodex::server::run_coding {

// The forms of coding, as they are read: the postings file's version 1 wrote every run's count,
// its version 2 folded a run of one posting into its header, and its version 3 and the Redis
// buckets also pack longer runs, the only form written now.
enum class Form { Counted, Folded, Packed };

inline constexpr uint32_t kField = 0xFFFFFF;  // tracks and frames have 24 bits
inline constexpr int kFieldBits = 24;
// Shorter runs keep their varints: packing costs two bytes of widths.
inline constexpr size_t kMinPackedRun = 4;

inline bool packs(Form form, uint32_t count) { return form == Form::Packed && count >= kMinPackedRun; }

inline int bitsFor(uint32_t v) { return v == 0 ? 0 : 32 - __builtin_clz(v); }

// Appends fields of up to 24 bits, lowest bit first.
template <class Bytes>
class BitWriter {
public:
    explicit BitWriter(Bytes& out) : out_(out) {}
    void put(uint32_t v, int bits) {
        pending_ |= static_cast<uint64_t>(v) << used_;
        for (used_ += bits; used_ >= 8; used_ -= 8, pending_ >>= 8)
            out_.push_back(static_cast<typename Bytes::value_type>(pending_ & 0xFF));
    }
    // Writes the last, partly filled byte.
    void finish() {
        if (used_ > 0) out_.push_back(static_cast<typename Bytes::value_type>(pending_ & 0xFF));
        pending_ = 0;
        used_ = 0;
    }

private:
    Bytes& out_;
    uint64_t pending_ = 0;
    int used_ = 0;
};

// A posting's two fields against the previous one: the track's difference, and the frame, as a
// difference when the track is the same.
inline void fieldsOf(const Posting& p, const Posting& last, uint32_t& trackDelta, uint32_t& frame) {
    trackDelta = p.track - last.track;
    frame = trackDelta == 0 ? p.frame - last.frame : p.frame;
}

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
    uint32_t trackDelta = 0, frame = 0;
    const size_t varints = count >= kMinPackedRun ? 1 : count;
    for (size_t i = 0; i < varints; ++i) {
        fieldsOf(postings[i], last, trackDelta, frame);
        putVarint(out, trackDelta);
        putVarint(out, frame);
        last = postings[i];
    }
    if (varints == count) return;
    int trackBits = 0, frameBits = 0;
    for (size_t i = 1; i < count; ++i) {
        fieldsOf(postings[i], postings[i - 1], trackDelta, frame);
        trackBits = std::max(trackBits, bitsFor(trackDelta));
        frameBits = std::max(frameBits, bitsFor(frame));
    }
    out.push_back(static_cast<typename Bytes::value_type>(trackBits));
    out.push_back(static_cast<typename Bytes::value_type>(frameBits));
    BitWriter<Bytes> bits(out);
    for (size_t i = 1; i < count; ++i) {
        fieldsOf(postings[i], postings[i - 1], trackDelta, frame);
        bits.put(trackDelta, trackBits);
        bits.put(frame, frameBits);
    }
    bits.finish();
}

// A run's header: the difference of its hash's low bits from the previous run's, and its number
// of postings.
inline bool readRunHeader(const uint8_t*& p, const uint8_t* end, Form form, uint32_t& delta, uint32_t& count) {
    if (!getVarint(p, end, delta)) return false;
    if (form != Form::Counted) {
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
// on from where the previous one stopped. Memory up to `readable` (at or past the bucket's end)
// may be read: a packed run's fields are loaded 8 bytes at a time.
class RunCursor {
public:
    enum class Seek { Absent, Found, Damaged };

    RunCursor(const uint8_t* begin, const uint8_t* end, Form form, const uint8_t* readable = nullptr)
        : at_(begin), end_(end), readable_(readable ? readable : end), form_(form) {}

    // Moves to the run of the hash whose low bits are `low`; when Found, its `count()` postings
    // are next, to be taken by `decode` or passed by `skip`.
    Seek seek(uint32_t low) {
        for (;;) {
            if (!inRun_) {
                const Seek s = next();
                if (s != Seek::Found) return s;
            }
            if (low_ > low) return Seek::Absent;
            if (low_ == low) return Seek::Found;
            if (!skip()) return Seek::Damaged;
        }
    }
    // Moves to the next run, passing the current one's postings if they were not taken.
    Seek next() {
        if (inRun_ && !skip()) return Seek::Damaged;
        if (at_ == end_) return Seek::Absent;
        uint32_t delta = 0;
        if (!readRunHeader(at_, end_, form_, delta, count_)) return Seek::Damaged;
        low_ += delta;
        inRun_ = true;
        return Seek::Found;
    }
    uint32_t low() const { return low_; }
    uint32_t count() const { return count_; }

    bool skip() {
        inRun_ = false;
        if (!packs(form_, count_)) return skipVarints(at_, end_, 2 * uint64_t{count_});
        Packed run;
        if (!packedHead(run)) return false;
        at_ += run.bytes;
        return true;
    }
    // Appends the run's postings to `out`; false when the bucket is damaged. A count beyond what
    // the bucket's bytes can hold is damage: no more are read than they hold.
    bool decode(std::vector<Posting>& out) {
        inRun_ = false;
        return packs(form_, count_) ? decodePacked(out) : decodeVarints(out);
    }

private:
    struct Packed {
        Posting first;
        int trackBits = 0;
        int frameBits = 0;
        size_t bytes = 0;  // of the packed fields
    };

    // A packed run's first posting and widths, checked to describe fields within the bucket.
    bool packedHead(Packed& run) {
        if (!decodePosting(at_, end_, run.first) || end_ - at_ < 2) return false;
        run.trackBits = at_[0];
        run.frameBits = at_[1];
        at_ += 2;
        if (run.trackBits > kFieldBits || run.frameBits > kFieldBits) return false;
        run.bytes = static_cast<size_t>(((count_ - uint64_t{1}) * static_cast<uint64_t>(run.trackBits + run.frameBits) + 7) / 8);
        return run.bytes <= static_cast<size_t>(end_ - at_);
    }

    bool decodePacked(std::vector<Posting>& out) {
        Packed run;
        if (!packedHead(run)) return false;
        const size_t first = out.size();
        out.resize(first + count_);
        Posting* to = out.data() + first;
        Posting last = run.first;
        *to++ = last;
        const uint64_t trackMask = (uint64_t{1} << run.trackBits) - 1;
        const uint64_t frameMask = (uint64_t{1} << run.frameBits) - 1;
        const uint64_t width = static_cast<uint64_t>(run.trackBits + run.frameBits);
        uint64_t bit = 0;
        for (uint32_t i = 1; i < count_; ++i, bit += width) {
            const uint64_t fields = load(at_ + (bit >> 3)) >> (bit & 7);
            const auto trackDelta = static_cast<uint32_t>(fields & trackMask);
            const auto frame = static_cast<uint32_t>((fields >> run.trackBits) & frameMask);
            last.frame = trackDelta == 0 ? (last.frame + frame) & kField : frame;
            last.track = (last.track + trackDelta) & kField;
            *to++ = last;
        }
        at_ += run.bytes;
        return true;
    }

    bool decodeVarints(std::vector<Posting>& out) {
        const size_t first = out.size();
        out.resize(first + std::min<size_t>(count_, static_cast<size_t>(end_ - at_) / 2));
        Posting last;
        size_t n = first;
        while (n < out.size() && decodePosting(at_, end_, last)) out[n++] = last;
        const bool whole = n - first == count_;
        out.resize(n);
        return whole;
    }

    // The 8 bytes at `p` as a little-endian word, those past `readable_` as zeros.
    uint64_t load(const uint8_t* p) const {
        uint64_t word = 0;
        if (readable_ - p >= 8)
            std::memcpy(&word, p, sizeof word);
        else
            std::memcpy(&word, p, static_cast<size_t>(readable_ - p));
        if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) word = __builtin_bswap64(word);
        return word;
    }

    const uint8_t* at_;
    const uint8_t* end_;
    const uint8_t* readable_;
    Form form_;
    bool inRun_ = false;  // a run's header has been read, and its postings not
    uint32_t low_ = 0;
    uint32_t count_ = 0;
};

}  // namespace melodex::server::run_coding
