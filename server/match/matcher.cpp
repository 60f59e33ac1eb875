#include "server/match/matcher.h"

#include <algorithm>

namespace melodex::server {
namespace {

constexpr int64_t kOffsetBias = 1 << 25;

uint64_t voteKey(uint32_t track, int64_t offset) {
    return (static_cast<uint64_t>(track) << 32) | static_cast<uint32_t>(offset + kOffsetBias);
}

struct TrackBest {
    int score = 0;
    int offset = 0;
};

// Best window of width 2*tolerance+1 over one track's sorted offsets.
TrackBest bestWindow(const uint64_t* begin, const uint64_t* end, int tolerance) {
    TrackBest best;
    const uint64_t* lo = begin;
    for (const uint64_t* hi = begin; hi != end; ++hi) {
        const int64_t top = static_cast<int64_t>(*hi & 0xFFFFFFFFu);
        while (top - static_cast<int64_t>(*lo & 0xFFFFFFFFu) > 2 * tolerance) ++lo;
        const int count = static_cast<int>(hi - lo + 1);
        if (count > best.score) {
            best.score = count;
            // The window's centre, rounded towards its start.
            best.offset = static_cast<int>((static_cast<int64_t>(*lo & 0xFFFFFFFFu) + top) / 2 - kOffsetBias);
        }
    }
    return best;
}

}  // namespace

bool matchLandmarks(Index& index, const std::vector<Landmark>& query, const MatchParams& params, MatchResult& result,
                    std::string& error) {
    result = MatchResult{};
    result.queryHashes = query.size();
    std::vector<uint32_t> hashes(query.size());
    for (size_t i = 0; i < query.size(); ++i) hashes[i] = query[i].hash;

    std::vector<uint64_t> votes;
    const bool ok = index.lookup(hashes, [&](size_t i, const Posting* postings, size_t n) {
        const int64_t queryFrame = query[i].frame;
        for (size_t k = 0; k < n; ++k)
            votes.push_back(voteKey(postings[k].track, static_cast<int64_t>(postings[k].frame) - queryFrame));
    }, error);
    if (!ok) return false;
    result.votes = votes.size();
    std::sort(votes.begin(), votes.end());

    for (size_t start = 0; start < votes.size();) {
        const uint32_t track = static_cast<uint32_t>(votes[start] >> 32);
        size_t end = start;
        while (end < votes.size() && static_cast<uint32_t>(votes[end] >> 32) == track) ++end;
        const TrackBest best = bestWindow(votes.data() + start, votes.data() + end, params.offsetTolerance);
        if (best.score > result.score) {
            result.runnerUp = result.score;
            result.score = best.score;
            result.track = track;
            result.offsetFrames = best.offset;
        } else if (best.score > result.runnerUp) {
            result.runnerUp = best.score;
        }
        start = end;
    }
    result.found = result.score >= params.minScore &&
                   result.score >= params.minRatio * std::max(result.runnerUp, 1);
    return true;
}

}  // namespace melodex::server
