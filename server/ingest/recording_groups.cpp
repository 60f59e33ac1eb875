#include "server/ingest/recording_groups.h"

#include <algorithm>
#include <set>

#include "server/match/matcher.h"

namespace melodex::server {
namespace {

// The new track is compared a stretch at a time (20 s of 16 ms frames), so that a copy inside a
// longer file is found wherever it lies.
constexpr uint32_t kStretchFrames = 1250;
// A stretch belongs to another track when this share of its frames that carry a pair hash, and at
// least kMinAlignedFrames of them, agree on one offset into that track. Unrelated music reaches a
// few dozen frames at most; a copy, even framed half a hop apart, reaches several hundred.
constexpr double kAlignedShare = 0.25;
constexpr int kMinAlignedFrames = 60;

}  // namespace

bool findSameRecording(Index& index, const std::vector<Landmark>& landmarks, std::vector<uint32_t>& tracks,
                       std::string& error) {
    tracks.clear();
    // Pairs only: the same music at the same speed is what makes a copy.
    std::vector<Landmark> byFrame;
    for (const Landmark& l : landmarks)
        if (!isTriplet(l.hash)) byFrame.push_back(l);
    std::sort(byFrame.begin(), byFrame.end(), [](const Landmark& a, const Landmark& b) { return a.frame < b.frame; });
    std::set<uint32_t> found;
    std::vector<Landmark> stretch;
    std::vector<AlignedTrack> aligned;
    for (size_t i = 0; i < byFrame.size();) {
        const uint32_t begin = byFrame[i].frame / kStretchFrames * kStretchFrames;
        stretch.clear();
        size_t frames = 0;
        for (; i < byFrame.size() && byFrame[i].frame < begin + kStretchFrames; ++i) {
            frames += stretch.empty() || byFrame[i].frame != byFrame[i - 1].frame;
            stretch.push_back({byFrame[i].hash, byFrame[i].frame - begin});
        }
        const int needed = std::max(kMinAlignedFrames, static_cast<int>(kAlignedShare * static_cast<double>(frames)));
        if (static_cast<int>(frames) < needed) continue;
        if (!alignedTracks(index, stretch, MatchParams{}, needed, aligned, error)) return false;
        for (const AlignedTrack& a : aligned) found.insert(a.track);
    }
    tracks.assign(found.begin(), found.end());
    return true;
}

bool joinRecording(Index& index, uint32_t track, const std::vector<uint32_t>& same, std::string& error) {
    if (same.empty()) return true;
    std::vector<TrackRecording> existing;
    if (!index.recordings(existing, error)) return false;
    std::set<uint32_t> groups;
    std::set<uint32_t> members(same.begin(), same.end());
    members.insert(track);
    for (uint32_t t : same) {
        const auto it = std::find_if(existing.begin(), existing.end(), [&](const TrackRecording& r) { return r.track == t; });
        groups.insert(it != existing.end() ? it->recording : t);
    }
    for (const TrackRecording& r : existing)
        if (groups.count(r.recording)) members.insert(r.track);
    const uint32_t name = *members.begin();
    std::vector<TrackRecording> changes;
    for (uint32_t m : members) changes.push_back({m, name});
    return index.setRecordings(changes, error);
}

bool joinCopies(Index& index, uint32_t track, const std::vector<Landmark>& landmarks, std::string& error) {
    std::vector<uint32_t> same;
    if (!findSameRecording(index, landmarks, same, error)) return false;
    same.erase(std::remove(same.begin(), same.end(), track), same.end());
    return joinRecording(index, track, same, error);
}

}  // namespace melodex::server
