#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/fingerprint/landmarks.h"
#include "server/index/index.h"

namespace melodex::server {

struct MatchParams {
    int offsetTolerance = 1;  // frames either side merged into one offset bin
    int minScore = 12;        // aligned votes a match needs
    double minRatio = 1.5;    // and how far ahead of the best other track it must be
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
