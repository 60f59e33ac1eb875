#include "server/match/matcher.h"

#include "server/match/vote_surprise.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <queue>

namespace melodex::server {
namespace {

// A vote packs track (24 bits), track frame (26 bits), whether a triplet cast it (1 bit) and
// query frame (13 bits), so that one sort groups votes by track.
constexpr uint32_t kMaxQueryFrame = (1u << 13) - 1;
// Number of distinct hashes (see packHash).
constexpr double kHashSpace = 4294967296.0;
// Votes a track's speed is searched on; the offset is then counted on all of them.
constexpr size_t kSpeedSearchVotes = 256;
// Candidates are first ranked on offsets (track frame - query frame) in bins this wide, two
// neighbouring bins together: wider than the drift of the offset over a recording played 8 %
// off speed, narrower than the spread of chance votes over a whole track.
constexpr int kCoarseBinFrames = 32;
constexpr int64_t kCoarseBias = int64_t{1} << 20;

uint64_t voteKey(uint32_t track, uint32_t trackFrame, uint32_t queryFrame, bool triplet) {
    return (static_cast<uint64_t>(track) << 40) | (static_cast<uint64_t>(trackFrame) << 14) |
           (static_cast<uint64_t>(triplet) << 13) | queryFrame;
}
uint32_t trackOf(uint64_t key) { return static_cast<uint32_t>(key >> 40); }
uint32_t trackFrameOf(uint64_t key) { return static_cast<uint32_t>((key >> 14) & ((uint64_t{1} << 26) - 1)); }
uint32_t queryFrameOf(uint64_t key) { return static_cast<uint32_t>(key & kMaxQueryFrame); }
bool tripletVote(uint64_t key) { return (key >> 13) & 1; }

// A vote once grouped by track: its track frame and query frame in 32 bits, half a vote's size,
// since the grouping's writes and every pass after it are bound by memory.
constexpr uint32_t kMaxMomentTrackFrame = (1u << 19) - 1;  // 2.3 hours: longer tracks are refused
struct Moment {
    uint32_t bits = 0;
};
Moment momentOf(uint64_t vote) { return {(trackFrameOf(vote) << 13) | queryFrameOf(vote)}; }
uint32_t trackFrameOf(Moment m) { return m.bits >> 13; }
uint32_t queryFrameOf(Moment m) { return m.bits & kMaxQueryFrame; }

struct QueryHashes {
    std::vector<Landmark> sorted;
    std::vector<uint32_t> hashes;
    std::vector<size_t> firstOf;  // where each distinct hash's frames start in `sorted`
};

// Each distinct hash is looked up once, in ascending order so that neighbouring lookups touch
// neighbouring index pages; its postings then vote for every query frame it occurs at.
bool collectVotes(Index& index, const std::vector<Landmark>& query, const MatchParams& params,
                  std::vector<uint64_t>& votes, size_t& queryHashes, std::string& error) {
    QueryHashes q;
    q.sorted.reserve(query.size());
    for (const Landmark& l : query)
        if (l.frame <= kMaxQueryFrame) q.sorted.push_back(l);  // beyond ~4 minutes: enough evidence before
    std::sort(q.sorted.begin(), q.sorted.end(),
              [](const Landmark& a, const Landmark& b) { return a.hash != b.hash ? a.hash < b.hash : a.frame < b.frame; });
    for (size_t i = 0; i < q.sorted.size(); ++i) {
        if (i == 0 || q.sorted[i].hash != q.sorted[i - 1].hash) {
            q.hashes.push_back(q.sorted[i].hash);
            q.firstOf.push_back(i);
        }
    }
    q.firstOf.push_back(q.sorted.size());
    queryHashes = q.hashes.size();

    uint64_t postings = 0;
    if (!index.postingCount(postings, error)) return false;
    const double averageList = static_cast<double>(postings) / kHashSpace;
    const size_t maxPostings = std::max(params.minCommonPostings, static_cast<size_t>(params.commonFactor * averageList));
    votes.clear();
    return index.lookup(q.hashes, [&](size_t i, const Posting* found, size_t n) {
        for (size_t k = q.firstOf[i]; k < q.firstOf[i + 1]; ++k) {
            const uint32_t queryFrame = q.sorted[k].frame;
            const bool triplet = isTriplet(q.hashes[i]);
            for (size_t p = 0; p < n; ++p)
                if (found[p].frame <= kMaxMomentTrackFrame)  // always, for the tracks `index` accepts
                    votes.push_back(voteKey(found[p].track, found[p].frame, queryFrame, triplet));
        }
    }, error, maxPostings);
}

// One track's votes: those of pairs in [begin, split), those of triplets in [split, end).
struct TrackVotes {
    uint32_t track = 0;
    const Moment* begin = nullptr;
    const Moment* split = nullptr;
    const Moment* end = nullptr;
    size_t size() const { return static_cast<size_t>(end - begin); }
};

// Most voted first, equal counts in track order (the order `tracks` come in): a counting sort on
// the counts, as a large catalogue gives votes to most of its tracks; the few tracks with
// kCountedVotes or more are ordered among themselves.
void mostVotedFirst(std::vector<TrackVotes>& tracks) {
    static constexpr size_t kCountedVotes = 1024;
    thread_local std::vector<size_t> next;
    next.assign(kCountedVotes + 1, 0);
    const auto bucket = [](const TrackVotes& t) { return kCountedVotes - std::min(t.size(), kCountedVotes); };
    for (const TrackVotes& t : tracks) ++next[bucket(t) + 1];
    for (size_t b = 1; b <= kCountedVotes; ++b) next[b] += next[b - 1];
    thread_local std::vector<TrackVotes> sorted;
    sorted.resize(tracks.size());
    for (const TrackVotes& t : tracks) sorted[next[bucket(t)]++] = t;
    std::sort(sorted.begin(), sorted.begin() + static_cast<long>(next[0]), [](const TrackVotes& a, const TrackVotes& b) {
        return a.size() != b.size() ? a.size() > b.size() : a.track < b.track;
    });
    tracks.swap(sorted);
}

// The votes grouped by track (a counting sort into `grouped` on twice the track, plus one for a
// triplet's vote, so that a track's pairs come before its triplets), most voted tracks first. The
// list is the thread's own, until its next call: a large catalogue gives votes to most tracks.
const std::vector<TrackVotes>& groupByTrack(const std::vector<uint64_t>& votes, std::vector<Moment>& grouped) {
    thread_local std::vector<uint32_t> start, fill;
    thread_local std::vector<TrackVotes> out;
    const auto slot = [](uint64_t v) { return 2 * trackOf(v) + static_cast<uint32_t>(tripletVote(v)); };
    uint32_t maxTrack = 0;
    for (uint64_t v : votes) maxTrack = std::max(maxTrack, trackOf(v));
    start.assign(2 * (static_cast<size_t>(maxTrack) + 1) + 1, 0);
    for (uint64_t v : votes) ++start[slot(v) + 1];
    for (size_t s = 1; s < start.size(); ++s) start[s] += start[s - 1];
    grouped.resize(votes.size());
    fill.assign(start.begin(), start.end() - 1);
    for (uint64_t v : votes) grouped[fill[slot(v)]++] = momentOf(v);
    out.clear();
    for (uint32_t t = 0; t <= maxTrack; ++t) {
        const size_t pairs = 2 * static_cast<size_t>(t);
        if (start[pairs + 2] == start[pairs]) continue;
        const Moment* const at = grouped.data();
        out.push_back({t, at + start[pairs], at + start[pairs + 1], at + start[pairs + 2]});
    }
    mostVotedFirst(out);
    return out;
}

// Values counted by bin, for the most values in two neighbouring bins. The counts live in a small
// table that wraps around, so that it stays in the fastest cache whatever a track's length: bins
// that share a slot only add to each other's counts, which still bound the values in either (and
// are exact while the values span fewer than kSlots bins: 70 minutes of coarse offsets).
// Saturating: a count that stops at 65535 still exceeds every score it has to beat.
class BinCounts {
public:
    // Counts one value in bin `b` and returns those in its bin and the fuller of its neighbours.
    int add(int64_t b) {
        uint16_t& at = counts_[slot(b)];
        at += at < UINT16_MAX;
        return around(b);
    }
    // Counts the values of `bins` (each value's bin) and returns the most in two neighbouring bins.
    int count(const std::vector<int64_t>& bins) {
        int peak = 0;
        for (const int64_t b : bins) peak = std::max(peak, add(b));
        return peak;
    }
    // The values in bin `b` and in the fuller of its neighbours.
    int around(int64_t b) const { return counts_[slot(b)] + std::max(counts_[slot(b - 1)], counts_[slot(b + 1)]); }
    // Back to zero for the next count, given the same bins.
    void clear(const std::vector<int64_t>& bins) {
        for (const int64_t b : bins) counts_[slot(b)] = 0;
    }

private:
    static constexpr size_t kSlots = 8192;
    static size_t slot(int64_t b) { return static_cast<size_t>(b) & (kSlots - 1); }
    std::array<uint16_t, kSlots> counts_{};
};

// Divides biased offsets by a bin width with a multiplication, where an integer division per vote
// cost more than the rest of a pass over the votes. Exact for offsets below 2^27 (a track frame
// has 26 bits, the bias 2^20) and widths below 2^10: floor(x (floor(2^37 / w) + 1) / 2^37) exceeds
// x / w by less than x / 2^37 < 1 / w.
class BinWidth {
public:
    explicit BinWidth(int width) : multiplier_((uint64_t{1} << 37) / static_cast<uint64_t>(width) + 1) {}
    int64_t binOf(int64_t biasedOffset) const {
        return static_cast<int64_t>((static_cast<uint64_t>(biasedOffset) * multiplier_) >> 37);
    }

private:
    uint64_t multiplier_;
};

// Rounds half away from zero, as std::lround does, without its library call in a vote's loop:
// exact while |x| < 2^52, where x less its whole part is exact.
int roundToInt(double x) {
    const auto whole = static_cast<int64_t>(x);
    const double rest = x - static_cast<double>(whole);
    return static_cast<int>(whole + (rest >= 0.5) - (rest <= -0.5));
}

// A vote's offset (track frame - speed x query frame), to the nearest frame.
int offsetAtSpeed(Moment vote, double speed) { return roundToInt(trackFrameOf(vote) - speed * queryFrameOf(vote)); }

// A vote's bin of offset (track frame - query frame).
int64_t offsetBin(const BinWidth& bin, Moment vote) {
    return bin.binOf(static_cast<int64_t>(trackFrameOf(vote)) - queryFrameOf(vote) + kCoarseBias);
}

// A track's votes counted by bin of `width` frames of offset (track frame - query frame), in one
// pass; the counts stay until `clear`, for asking which votes lie in a bin that could hold a score.
class OffsetBins {
public:
    // Returns the most votes in two neighbouring bins.
    int count(const Moment* begin, const Moment* end, int width) {
        const BinWidth bin(width);
        bins_.resize(static_cast<size_t>(end - begin));
        int peak = 0;
        for (size_t i = 0; i < bins_.size(); ++i) {
            bins_[i] = offsetBin(bin, begin[i]);
            peak = std::max(peak, counts_.add(bins_[i]));
        }
        return peak;
    }
    // Whether vote `i`'s bin and the fuller of its neighbours hold `bar` votes.
    bool reaches(size_t i, int bar) const { return counts_.around(bins_[i]) >= bar; }
    void clear() { counts_.clear(bins_); }

private:
    std::vector<int64_t> bins_;
    BinCounts counts_;
};

// The most votes in two neighbouring bins of `width` frames of offset: over a track's triplets'
// votes in coarse bins, it ranks the tracks to align over speeds.
int offsetPeak(const Moment* begin, const Moment* end, int width) {
    thread_local OffsetBins bins;
    const int peak = bins.count(begin, end, width);
    bins.clear();
    return peak;
}

struct Alignment {
    int score = 0;
    int offset = 0;
    double speed = 1.0;
};

// The offset and speed on which most distinct query frames agree: track frame = offset +
// speed x query frame, within the tolerance. Each moment of the recording counts once, so a held
// note or a repeated pattern that hits many track positions cannot pile up votes.
class Aligner {
public:
    Aligner() : uses_(kMaxQueryFrame + 1, 0) {}

    // The first of `speeds` with the highest score. The speed is searched on a sample of the
    // votes, which a true match fills with agreeing ones as surely as all of them; the offset is
    // then counted on all. A speed is only aligned when the votes in its window peak could reach
    // the best score found: the speed with the highest such peak is aligned first.
    // An alignment that scores below `minScore` is no candidate, and is only known to be below it.
    Alignment best(const Moment* begin, const Moment* end, const std::vector<double>& speeds, int tolerance,
                   int minScore) {
        const size_t stride = std::max<size_t>(1, static_cast<size_t>(end - begin) / kSpeedSearchVotes);
        peaks_.clear();
        for (double speed : speeds) peaks_.push_back(windowPeak(begin, end, speed, tolerance, stride));
        const size_t first = static_cast<size_t>(std::max_element(peaks_.begin(), peaks_.end()) - peaks_.begin());
        const Alignment seed = atSpeed(begin, end, speeds[first], tolerance, stride, minScore);
        Alignment best;
        for (size_t i = 0; i < speeds.size(); ++i) {
            const int bar = std::max(best.score, seed.score);
            if (peaks_[i] < bar) continue;
            const Alignment a = i == first ? seed : atSpeed(begin, end, speeds[i], tolerance, stride, bar);
            if (a.score > best.score) best = a;
        }
        // All the votes agree at least as well as their sample, so its score is a bar for theirs.
        return stride == 1 ? best : atSpeed(begin, end, best.speed, tolerance, 1, best.score);
    }

    // The best alignment at `speed`, exact when its score reaches `bar`, else below `bar`: a
    // window of offsets as wide as the tolerance's lies in two neighbouring bins as wide, so only
    // the votes in bins that could hold `bar` of them between two neighbours are sorted.
    Alignment atSpeed(const Moment* begin, const Moment* end, double speed, int tolerance, size_t stride = 1,
                      int bar = 0) {
        pairs_.clear();
        for (const Moment* v = begin; v < end; v += stride)
            pairs_.push_back(OffsetFrame::of(offsetAtSpeed(*v, speed), queryFrameOf(*v)));
        if (bar > 0) keepReaching(bar, tolerance);
        std::sort(pairs_.begin(), pairs_.end(), [](OffsetFrame a, OffsetFrame b) { return a.bits < b.bits; });
        Alignment best;
        best.speed = speed;
        size_t lo = 0;
        int distinct = 0;
        for (size_t hi = 0; hi < pairs_.size(); ++hi) {
            if (uses_[pairs_[hi].frame()]++ == 0) ++distinct;
            while (pairs_[hi].offset() - pairs_[lo].offset() > 2 * tolerance)
                if (--uses_[pairs_[lo++].frame()] == 0) --distinct;
            if (distinct > best.score) {
                best.score = distinct;
                best.offset = (pairs_[lo].offset() + pairs_[hi].offset()) / 2;
            }
        }
        for (; lo < pairs_.size(); ++lo) --uses_[pairs_[lo].frame()];
        return best;
    }

private:
    // A vote's offset at a speed and its query frame in one integer, which sorts by offset as the
    // pair would: the order of a query frame among equal offsets changes no score or offset.
    struct OffsetFrame {
        uint64_t bits = 0;
        static OffsetFrame of(int offset, uint32_t frame) {
            return {(static_cast<uint64_t>(offset + kCoarseBias) << 32) | frame};
        }
        int64_t biasedOffset() const { return static_cast<int64_t>(bits >> 32); }
        int offset() const { return static_cast<int>(biasedOffset() - kCoarseBias); }
        uint32_t frame() const { return static_cast<uint32_t>(bits); }
    };

    // Drops the (offset, query frame) pairs whose bin and its fuller neighbour hold fewer than `bar`.
    void keepReaching(int bar, int tolerance) {
        const BinWidth bin(2 * tolerance + 1);
        bins_.clear();
        for (const OffsetFrame p : pairs_) bins_.push_back(bin.binOf(p.biasedOffset()));
        for (const int64_t b : bins_) counts_.add(b);
        size_t kept = 0;
        for (size_t i = 0; i < pairs_.size(); ++i)
            if (counts_.around(bins_[i]) >= bar) pairs_[kept++] = pairs_[i];
        counts_.clear(bins_);
        pairs_.resize(kept);
    }

    // The votes (every `stride`th) in two neighbouring bins as wide as the tolerance's window: a
    // bound on the score at `speed`.
    int windowPeak(const Moment* begin, const Moment* end, double speed, int tolerance, size_t stride) {
        const BinWidth bin(2 * tolerance + 1);
        bins_.clear();
        for (const Moment* v = begin; v < end; v += stride) bins_.push_back(bin.binOf(offsetAtSpeed(*v, speed) + kCoarseBias));
        const int peak = counts_.count(bins_);
        counts_.clear(bins_);
        return peak;
    }

    std::vector<uint16_t> uses_;
    std::vector<OffsetFrame> pairs_;
    std::vector<int64_t> bins_;
    BinCounts counts_;
    std::vector<int> peaks_;
};

// A track's score at the recording's own speed when it could reach `bar`, else less than `bar`.
// A window of offsets as wide as the tolerance's lies in two neighbouring bins as wide, so the
// votes in those bins bound its score: most tracks never reach the bar, and of those that could,
// only the votes in bins that could are aligned.
Alignment ownSpeedAlignment(const TrackVotes& t, int tolerance, int bar, Aligner& aligner) {
    thread_local OffsetBins bins;
    thread_local std::vector<Moment> hot;
    Alignment out;
    out.score = bins.count(t.begin, t.end, 2 * tolerance + 1);
    if (out.score >= bar) {
        hot.clear();
        for (size_t i = 0; i < t.size(); ++i)
            if (bins.reaches(i, bar)) hot.push_back(t.begin[i]);
        out = aligner.atSpeed(hot.data(), hot.data() + hot.size(), 1.0, tolerance);
    }
    bins.clear();
    return out;
}

std::vector<double> speedsToTry(const MatchParams& params) {
    std::vector<double> speeds = {1.0};
    const int steps = static_cast<int>(std::floor(std::log(params.maxSpeedChange) / std::log(params.speedStep)));
    for (int i = 1; i <= steps; ++i) {
        speeds.push_back(std::pow(params.speedStep, i));
        speeds.push_back(std::pow(params.speedStep, -i));
    }
    return speeds;
}

uint32_t recordingOf(const std::vector<TrackRecording>& recordings, uint32_t track) {
    const auto it = std::lower_bound(recordings.begin(), recordings.end(), track,
                                     [](const TrackRecording& r, uint32_t t) { return r.track < t; });
    return it != recordings.end() && it->track == track ? it->recording : track;
}

struct Candidate {
    uint32_t track = 0;
    bool ownSpeed = false;
    size_t votes = 0;
    Alignment alignment;
    SignatureCheck check;
    double surprise = 0;
    double confidence = 0;  // the check's and the alignment's evidence together (MatchParams)
};

// The best `keep` of `ranked` (score, votes), highest score first.
template <class T>
void keepBest(std::vector<std::pair<int, T>>& ranked, size_t keep) {
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    if (ranked.size() > keep) ranked.resize(keep);
}

// The best `keep` values seen so far, and so the value a newcomer must reach.
class EntryBar {
public:
    EntryBar(size_t keep, int floor) : keep_(keep), floor_(floor) {}
    int value() const { return best_.size() < keep_ ? floor_ : std::max(floor_, best_.top()); }
    void add(int v) {
        best_.push(v);
        if (best_.size() > keep_) best_.pop();
    }

private:
    size_t keep_;
    int floor_;
    std::priority_queue<int, std::vector<int>, std::greater<>> best_;
};

// The tracks each way of nominating ranks highest, before trimming to the best: at the
// recording's own speed, the tracks on whose offset (within the tolerance) most distinct query
// frames agree, pairs and triplets together; at any speed, the tracks with the most triplet votes
// in a coarse offset bin. Tracks come most voted first, and a track's votes bound both its peaks,
// so the walk stops at the first track that could enter neither list; within it, a track is only
// aligned when its window peak could enter the own-speed list. Equal scores go to the track with
// more votes, then the lower id (the order of `tracks`).
struct Ranked {
    std::vector<std::pair<int, Candidate>> ownSpeed;
    std::vector<std::pair<int, TrackVotes>> coarse;
};

Ranked rank(const std::vector<TrackVotes>& tracks, const MatchParams& params) {
    thread_local Aligner aligner;
    Ranked out;
    EntryBar own(params.nominatedAtOwnSpeed, params.minVotes), coarse(params.aligned, params.minVotes);
    for (const TrackVotes& t : tracks) {
        const int votes = static_cast<int>(t.size());
        if (votes < std::min(own.value(), coarse.value())) break;
        if (votes >= own.value()) {
            const Alignment a = ownSpeedAlignment(t, params.offsetTolerance, own.value(), aligner);
            if (a.score >= own.value()) {
                Candidate c;
                c.track = t.track;
                c.ownSpeed = true;
                c.votes = t.size();
                c.alignment = a;
                out.ownSpeed.push_back({a.score, c});
                own.add(a.score);
            }
        }
        if (t.end - t.split < coarse.value()) continue;
        const int peak = offsetPeak(t.split, t.end, kCoarseBinFrames);
        if (peak < coarse.value()) continue;
        out.coarse.push_back({peak, t});
        coarse.add(peak);
    }
    return out;
}

// Nominates candidates both ways (rank): those at the recording's own speed as they are aligned,
// the others each aligned over the speeds to try.
std::vector<Candidate> nominate(const std::vector<TrackVotes>& tracks, const MatchParams& params, MatchResult& result) {
    thread_local Aligner aligner;
    Ranked ranked = rank(tracks, params);
    keepBest(ranked.ownSpeed, params.nominatedAtOwnSpeed);
    keepBest(ranked.coarse, params.aligned);
    std::vector<Candidate> out;
    for (const auto& [score, c] : ranked.ownSpeed) {
        out.push_back(c);
        result.nominated.push_back(c.track);
    }
    const std::vector<double> speeds = speedsToTry(params);
    std::vector<std::pair<int, Candidate>> aligned;
    for (const auto& [peak, t] : ranked.coarse) {
        Candidate c;
        c.track = t.track;
        c.votes = t.size();
        c.alignment = aligner.best(t.split, t.end, speeds, params.offsetTolerance, params.minVotes);
        if (c.alignment.score >= params.minVotes) aligned.push_back({c.alignment.score, c});
        if (std::find(result.nominated.begin(), result.nominated.end(), t.track) == result.nominated.end())
            result.nominated.push_back(t.track);
    }
    keepBest(aligned, params.checked);
    for (const auto& [score, c] : aligned) {
        const bool same = std::any_of(out.begin(), out.end(), [&](const Candidate& o) {
            return o.track == c.track && std::abs(o.alignment.offset - c.alignment.offset) <= params.offsetTolerance &&
                   std::abs(o.alignment.speed - c.alignment.speed) < 1e-9;
        });
        if (!same) out.push_back(c);
    }
    return out;
}

// Each candidate checked against its signature, and its alignment measured against chance.
bool checkCandidates(Index& index, Query& query, const MatchParams& params, std::vector<Candidate>& candidates,
                     std::string& error) {
    const size_t speeds = speedsToTry(params).size();
    std::vector<uint32_t> reference;
    uint32_t loaded = 0;
    for (Candidate& c : candidates) {
        const SignatureFeatures* phase0 = nullptr;
        const SignatureFeatures* phase1 = nullptr;
        query.features(c.alignment.speed, phase0, phase1);
        if (c.track != loaded && !index.signature(c.track, reference, error)) return false;
        loaded = c.track;
        c.check = checkSignature(*phase0, *phase1, reference, c.alignment.offset, params.check);
        c.surprise = voteSurprise(c.alignment.score, c.votes, static_cast<int>(reference.size()) * kFramesPerSignature,
                                  query.frames(), 2 * params.offsetTolerance + 1, c.ownSpeed ? 1 : speeds);
    }
    return true;
}

}  // namespace

double candidateConfidence(const SignatureCheck& check, double surprise, const MatchParams& params) {
    // The hashes' evidence only adds to a signature that agrees well enough to be measured
    // against chance: an alignment, however unlikely, cannot outvote a signature that disagrees.
    // A track that repeats itself agrees at its repeats as well as at the offset, so a true match
    // may stand little above that chance level: the agreement itself opens the gate.
    if (check.agreement < params.check.worthMeasuring) return check.confidence;
    return check.confidence + params.surpriseWeight * std::max(0.0, surprise);
}

bool matchQuery(Index& index, Query& query, const MatchParams& params, MatchResult& result, std::string& error) {
    result = MatchResult{};
    // Reused across queries on the same thread: a large catalogue gives many votes.
    thread_local std::vector<uint64_t> votes;
    thread_local std::vector<Moment> grouped;
    std::vector<TrackRecording> recordings;
    if (!collectVotes(index, query.landmarks(), params, votes, result.queryHashes, error) ||
        !index.recordings(recordings, error))
        return false;
    result.votes = votes.size();
    const std::vector<TrackVotes>& tracks = groupByTrack(votes, grouped);
    std::vector<Candidate> candidates = nominate(tracks, params, result);
    if (!checkCandidates(index, query, params, candidates, error)) return false;
    const Candidate* best = nullptr;
    for (Candidate& c : candidates) {
        c.confidence = candidateConfidence(c.check, c.surprise, params);
        result.checked.push_back({c.track, c.alignment.score, c.check.confidence, c.surprise, c.confidence, c.ownSpeed});
        if (!best || c.confidence > best->confidence) best = &c;
    }
    if (!best) return true;
    result.track = best->track;
    result.recording = recordingOf(recordings, best->track);
    result.score = best->alignment.score;
    result.confidence = best->confidence;
    result.check = best->check.confidence;
    result.surprise = best->surprise;
    result.offsetFrames = best->check.offsetFrames;
    result.speed = best->alignment.speed;
    for (const Candidate& c : candidates) {
        if (recordingOf(recordings, c.track) == result.recording || c.confidence <= result.runnerUp) continue;
        result.runnerUp = c.confidence;
        result.runnerUpTrack = c.track;
    }
    result.found = result.confidence >= params.minConfidence;
    return true;
}

bool alignedTracks(Index& index, const std::vector<Landmark>& query, const MatchParams& params, int minScore,
                   std::vector<AlignedTrack>& out, std::string& error) {
    out.clear();
    thread_local std::vector<uint64_t> votes;
    thread_local std::vector<Moment> grouped;
    thread_local Aligner aligner;
    size_t hashes = 0;
    if (!collectVotes(index, query, params, votes, hashes, error)) return false;
    for (const TrackVotes& t : groupByTrack(votes, grouped)) {
        if (static_cast<int>(t.size()) < minScore) break;
        const Alignment a = ownSpeedAlignment(t, params.offsetTolerance, minScore, aligner);
        if (a.score >= minScore) out.push_back({t.track, a.score, a.offset});
    }
    return true;
}

}  // namespace melodex::server
