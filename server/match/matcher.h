#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/fingerprint/landmarks.h"
#include "server/index/index.h"

namespace melodex::server {

// A match needs score >= minScore and score >= margin + ratio * runnerUp: the best other track
// measures how high chance alignments reach for this very query (a dense recording against a
// large catalogue scores higher by chance than a sparse one). Calibrated on out-of-catalogue
// music for no false positive in thousands of queries.
struct MatchParams {
    int offsetTolerance = 1;  // frames either side merged into one offset bin
    int minScore = 10;        // distinct query frames that agree on one offset
    int margin = 10;
    double ratio = 1.3;
    // Hashes with more postings than this many times the average list, and at least
    // minCommonPostings, are left out of the vote.
    double commonFactor = 32.0;
    size_t minCommonPostings = 512;
};

struct MatchResult {
    bool found = false;
    uint32_t track = 0;     // best candidate, also when not found
    int score = 0;          // aligned votes of the best candidate
    int runnerUp = 0;       // aligned votes of the best other track
    int offsetFrames = 0;   // where the query starts in the track
    size_t queryHashes = 0;
    size_t votes = 0;
};

// Looks the query's landmarks up and votes per track on the time offset between catalogue and
// query; the best offset bin (with its neighbours) is the track's score.
bool matchLandmarks(Index& index, const std::vector<Landmark>& query, const MatchParams& params, MatchResult& result,
                    std::string& error);

}  // namespace melodex::server
