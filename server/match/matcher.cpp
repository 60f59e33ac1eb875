#include "server/match/matcher.h"

#include <algorithm>

namespace melodex::server {
namespace {

// A vote packs track (24 bits), biased offset (26 bits) and query frame (14 bits), so that one
// sort groups votes by track, then offset, then query frame.
constexpr int64_t kOffsetBias = int64_t{1} << 25;
constexpr uint32_t kMaxQueryFrame = (1u << 14) - 1;

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

}  // namespace

bool matchLandmarks(Index& index, const std::vector<Landmark>& query, const MatchParams& params, MatchResult& result,
                    std::string& error) {
    result = MatchResult{};
    std::vector<uint32_t> hashes;
    std::vector<uint32_t> frames;
    hashes.reserve(query.size());
    frames.reserve(query.size());
    for (const Landmark& l : query) {
        if (l.frame > kMaxQueryFrame) continue;  // beyond ~4 minutes of query: enough evidence before
        hashes.push_back(l.hash);
        frames.push_back(l.frame);
    }
    result.queryHashes = hashes.size();

    std::vector<uint64_t> votes;
    const bool ok = index.lookup(hashes, [&](size_t i, const Posting* postings, size_t n) {
        const int64_t queryFrame = frames[i];
        for (size_t k = 0; k < n; ++k)
            votes.push_back(voteKey(postings[k].track, static_cast<int64_t>(postings[k].frame) - queryFrame, frames[i]));
    }, error);
    if (!ok) return false;
    result.votes = votes.size();
    std::sort(votes.begin(), votes.end());

    WindowScorer scorer;
    for (size_t start = 0; start < votes.size();) {
        const uint32_t track = trackOf(votes[start]);
        size_t end = start;
        while (end < votes.size() && trackOf(votes[end]) == track) ++end;
        const TrackBest best = scorer.best(votes.data() + start, votes.data() + end, params.offsetTolerance);
        if (best.score > result.score) {
            result.runnerUp = result.score;
            result.score = best.score;
            result.track = track;
            result.offsetFrames = static_cast<int>(best.offset);
        } else if (best.score > result.runnerUp) {
            result.runnerUp = best.score;
        }
        start = end;
    }
    result.found = result.score >= params.minScore && result.score >= params.margin + params.ratio * result.runnerUp;
    return true;
}

}  // namespace melodex::server
