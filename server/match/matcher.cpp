#include "server/match/matcher.h"

#include <algorithm>
#include <functional>

namespace melodex::server {
namespace {

// A vote packs track (24 bits), biased offset (26 bits) and query frame (14 bits), so that one
// sort groups votes by track, then offset, then query frame.
constexpr int64_t kOffsetBias = int64_t{1} << 25;
constexpr uint32_t kMaxQueryFrame = (1u << 14) - 1;
// Number of distinct landmark hashes (see packHash).
constexpr size_t kHashSpace = size_t{1} << 21;

uint64_t voteKey(uint32_t track, int64_t offset, uint32_t queryFrame) {
    return (static_cast<uint64_t>(track) << 40) | (static_cast<uint64_t>(offset + kOffsetBias) << 14) | queryFrame;
}
uint32_t trackOf(uint64_t key) { return static_cast<uint32_t>(key >> 40); }
int64_t offsetOf(uint64_t key) { return static_cast<int64_t>((key >> 14) & ((uint64_t{1} << 26) - 1)) - kOffsetBias; }
uint32_t queryFrameOf(uint64_t key) { return static_cast<uint32_t>(key & kMaxQueryFrame); }

struct TrackBest {
    int score = 0;
    int64_t offset = 0;
};

// Best window of 2*tolerance+1 offsets over one track's sorted votes. A window's score is the
// number of distinct query frames voting in it: each moment of the recording counts once, so a
// held note or a repeated pattern that hits many catalogue positions cannot pile up votes.
class WindowScorer {
public:
    WindowScorer() : uses_(kMaxQueryFrame + 1, 0) {}

    TrackBest best(const uint64_t* begin, const uint64_t* end, int tolerance) {
        TrackBest best;
        const uint64_t* lo = begin;
        int distinct = 0;
        for (const uint64_t* hi = begin; hi != end; ++hi) {
            if (uses_[queryFrameOf(*hi)]++ == 0) ++distinct;
            const int64_t top = offsetOf(*hi);
            while (top - offsetOf(*lo) > 2 * tolerance)
                if (--uses_[queryFrameOf(*lo++)] == 0) --distinct;
            if (distinct > best.score) {
                best.score = distinct;
                best.offset = (offsetOf(*lo) + top) / 2;
            }
        }
        for (; lo != end; ++lo) --uses_[queryFrameOf(*lo)];
        return best;
    }

private:
    std::vector<uint16_t> uses_;
};

// Groups the votes by track (a counting sort), then scores tracks from the most voted down: a
// track's score cannot exceed its number of votes, so the walk stops as soon as no remaining
// track could beat the runner-up. Only the tracks that are scored get their votes sorted.
void scoreTracks(const std::vector<uint64_t>& votes, int tolerance, MatchResult& result) {
    thread_local std::vector<uint32_t> start;
    thread_local std::vector<uint64_t> grouped;
    thread_local WindowScorer scorer;
    uint32_t maxTrack = 0;
    for (uint64_t v : votes) maxTrack = std::max(maxTrack, trackOf(v));
    start.assign(static_cast<size_t>(maxTrack) + 2, 0);
    for (uint64_t v : votes) ++start[trackOf(v) + 1];
    std::vector<std::pair<uint32_t, uint32_t>> byCount;  // votes, track
    for (uint32_t t = 0; t <= maxTrack; ++t)
        if (start[t + 1] > 0) byCount.emplace_back(start[t + 1], t);
    for (size_t t = 1; t < start.size(); ++t) start[t] += start[t - 1];
    grouped.resize(votes.size());
    {
        std::vector<uint32_t> fill(start.begin(), start.end() - 1);
        for (uint64_t v : votes) grouped[fill[trackOf(v)]++] = v;
    }
    std::sort(byCount.begin(), byCount.end(), std::greater<>());
    for (const auto& [count, track] : byCount) {
        if (static_cast<int>(count) <= result.runnerUp) break;
        uint64_t* begin = grouped.data() + start[track];
        uint64_t* end = grouped.data() + start[track + 1];
        std::sort(begin, end);
        const TrackBest best = scorer.best(begin, end, tolerance);
        if (best.score > result.score) {
            result.runnerUp = result.score;
            result.score = best.score;
            result.track = track;
            result.offsetFrames = static_cast<int>(best.offset);
        } else if (best.score > result.runnerUp) {
            result.runnerUp = best.score;
        }
    }
}

}  // namespace

bool matchLandmarks(Index& index, const std::vector<Landmark>& query, const MatchParams& params, MatchResult& result,
                    std::string& error) {
    result = MatchResult{};
    // Each distinct hash is looked up once, in ascending order so that neighbouring lookups
    // touch neighbouring index pages; its postings then vote for every query frame it occurs at.
    std::vector<Landmark> sorted;
    sorted.reserve(query.size());
    for (const Landmark& l : query)
        if (l.frame <= kMaxQueryFrame) sorted.push_back(l);  // beyond ~4 minutes: enough evidence before
    std::sort(sorted.begin(), sorted.end(),
              [](const Landmark& a, const Landmark& b) { return a.hash != b.hash ? a.hash < b.hash : a.frame < b.frame; });
    std::vector<uint32_t> hashes;
    std::vector<size_t> firstOf;  // where each distinct hash's frames start in `sorted`
    for (size_t i = 0; i < sorted.size(); ++i) {
        if (i == 0 || sorted[i].hash != sorted[i - 1].hash) {
            hashes.push_back(sorted[i].hash);
            firstOf.push_back(i);
        }
    }
    firstOf.push_back(sorted.size());
    result.queryHashes = sorted.size();

    uint64_t postings = 0;
    if (!index.postingCount(postings, error)) return false;
    const double averageList = static_cast<double>(postings) / static_cast<double>(kHashSpace);
    const size_t maxPostings = std::max(params.minCommonPostings, static_cast<size_t>(params.commonFactor * averageList));

    // Reused across queries on the same thread: a large catalogue gives hundreds of thousands of votes.
    thread_local std::vector<uint64_t> votes;
    votes.clear();
    const bool ok = index.lookup(hashes, [&](size_t i, const Posting* postings, size_t n) {
        for (size_t q = firstOf[i]; q < firstOf[i + 1]; ++q) {
            const uint32_t queryFrame = sorted[q].frame;
            for (size_t k = 0; k < n; ++k)
                votes.push_back(voteKey(postings[k].track, static_cast<int64_t>(postings[k].frame) - queryFrame, queryFrame));
        }
    }, error, maxPostings);
    if (!ok) return false;
    result.votes = votes.size();
    scoreTracks(votes, params.offsetTolerance, result);
    result.found = result.score >= params.minScore && result.score >= params.margin + params.ratio * result.runnerUp;
    return true;
}

}  // namespace melodex::server
