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
// track's votes exceed `floor()`. Only the tracks that are scored get their votes sorted.
template <class Floor, class Take>
void scoreTracks(const std::vector<uint64_t>& votes, int tolerance, Floor floor, Take take) {
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
        if (static_cast<int>(count) <= floor()) break;
        uint64_t* begin = grouped.data() + start[track];
        uint64_t* end = grouped.data() + start[track + 1];
        std::sort(begin, end);
        take(track, scorer.best(begin, end, tolerance));
    }
}

// Keeps the best candidate and the best one outside its recording group. When a candidate of
// another group takes the lead, the old leader is the highest score outside the new group.
class Decision {
public:
    Decision(const std::vector<TrackRecording>& recordings, MatchResult& result)
        : recordings_(recordings), result_(result) {}

    void offer(uint32_t track, const TrackBest& best) {
        const uint32_t recording = recordingOf(track);
        const bool leads = best.score > result_.score || (best.score == result_.score && track < result_.track);
        if (leads) {
            if (result_.score > 0 && recording != result_.recording) {
                result_.runnerUp = result_.score;
                result_.runnerUpTrack = result_.track;
            }
            result_.score = best.score;
            result_.track = track;
            result_.recording = recording;
            result_.offsetFrames = static_cast<int>(best.offset);
        } else if (recording != result_.recording && best.score > result_.runnerUp) {
            result_.runnerUp = best.score;
            result_.runnerUpTrack = track;
        }
    }

private:
    uint32_t recordingOf(uint32_t track) const {
        const auto it = std::lower_bound(recordings_.begin(), recordings_.end(), track,
                                         [](const TrackRecording& r, uint32_t t) { return r.track < t; });
        return it != recordings_.end() && it->track == track ? it->recording : track;
    }

    const std::vector<TrackRecording>& recordings_;
    MatchResult& result_;
};

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
    queryHashes = q.sorted.size();

    uint64_t postings = 0;
    if (!index.postingCount(postings, error)) return false;
    const double averageList = static_cast<double>(postings) / static_cast<double>(kHashSpace);
    const size_t maxPostings = std::max(params.minCommonPostings, static_cast<size_t>(params.commonFactor * averageList));
    votes.clear();
    return index.lookup(q.hashes, [&](size_t i, const Posting* found, size_t n) {
        for (size_t k = q.firstOf[i]; k < q.firstOf[i + 1]; ++k) {
            const uint32_t queryFrame = q.sorted[k].frame;
            for (size_t p = 0; p < n; ++p)
                votes.push_back(voteKey(found[p].track, static_cast<int64_t>(found[p].frame) - queryFrame, queryFrame));
        }
    }, error, maxPostings);
}

}  // namespace

bool matchLandmarks(Index& index, const std::vector<Landmark>& query, const MatchParams& params, MatchResult& result,
                    std::string& error) {
    result = MatchResult{};
    // Reused across queries on the same thread: a large catalogue gives hundreds of thousands of votes.
    thread_local std::vector<uint64_t> votes;
    std::vector<TrackRecording> recordings;
    if (!collectVotes(index, query, params, votes, result.queryHashes, error) || !index.recordings(recordings, error))
        return false;
    result.votes = votes.size();
    Decision decision(recordings, result);
    scoreTracks(votes, params.offsetTolerance, [&] { return result.runnerUp; },
                [&](uint32_t track, const TrackBest& best) { decision.offer(track, best); });
    result.found = result.score >= params.minScore && result.score >= params.margin + params.ratio * result.runnerUp;
    return true;
}

bool alignedTracks(Index& index, const std::vector<Landmark>& query, const MatchParams& params, int minScore,
                   std::vector<AlignedTrack>& out, std::string& error) {
    out.clear();
    thread_local std::vector<uint64_t> votes;
    size_t hashes = 0;
    if (!collectVotes(index, query, params, votes, hashes, error)) return false;
    scoreTracks(votes, params.offsetTolerance, [&] { return minScore - 1; }, [&](uint32_t track, const TrackBest& best) {
        if (best.score >= minScore) out.push_back({track, best.score, static_cast<int>(best.offset)});
    });
    return true;
}

}  // namespace melodex::server
