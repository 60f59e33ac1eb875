#pragma once

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "server/index/index.h"

namespace melodex::server::test {

// Deterministic landmarks for a track: `count` random hashes at random frames.
inline std::vector<Landmark> landmarksFor(uint32_t track, size_t count) {
    std::mt19937 rng(track);
    std::vector<Landmark> out(count);
    for (Landmark& l : out) l = {static_cast<uint32_t>(rng() & 0x1FFFFF), static_cast<uint32_t>(rng() % 20000)};
    return out;
}

inline std::vector<TrackFingerprint> batchOf(uint32_t first, uint32_t last, size_t count) {
    std::vector<TrackFingerprint> out;
    for (uint32_t t = first; t <= last; ++t) out.push_back({t, landmarksFor(t, count)});
    return out;
}

inline std::vector<uint32_t> hashesOf(const std::vector<Landmark>& landmarks) {
    std::set<uint32_t> distinct;
    for (const Landmark& l : landmarks) distinct.insert(l.hash);
    return {distinct.begin(), distinct.end()};
}

// Postings of `track` over the track's own hashes, as the index returns them.
inline size_t postingsOf(Index& index, uint32_t track, const std::vector<Landmark>& landmarks) {
    size_t n = 0;
    std::string error;
    EXPECT_TRUE(index.lookup(hashesOf(landmarks), [&](size_t, const Posting* p, size_t count) {
        for (size_t i = 0; i < count; ++i) n += p[i].track == track;
    }, error)) << error;
    return n;
}

inline size_t distinctPostings(const std::vector<Landmark>& landmarks) {
    std::set<std::pair<uint32_t, uint32_t>> s;
    for (const Landmark& l : landmarks) s.insert({l.hash, l.frame});
    return s.size();
}

}  // namespace melodex::server::test
