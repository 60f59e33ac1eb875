#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/fingerprint/landmarks.h"
#include "server/index/index.h"

namespace melodex::server {

// A match needs score >= minScore and score >= margin + ratio * runnerUp: the best track outside
// the best candidate's recording group measures how high chance alignments reach for this very
// query (a dense recording against a large catalogue scores higher by chance than a sparse one),
// while other copies of the same recording are no rivals. Calibrated on out-of-catalogue music
// for no false positive in thousands of queries.
struct MatchParams {
    int offsetTolerance = 1;  // frames either side merged into one offset bin
    int minScore = 10;        // distinct query frames that agree on one offset
    int margin = 10;
    double ratio = 1.3;
    // Hashes with more postings than this many times the average list, and at least
    // minCommonPostings, are left out of the vote.
    double commonFactor = 32.0;
    size_t minCommonPostings = 512;
    // Music played faster or slower (pitch and tempo together, as radios, DJs and turntables do)
    // moves every peak in time and frequency, so few landmarks survive a change of 2 %. A
    // recording that finds nothing at its own speed is tried again undone by each of these
    // factors in turn (1.015: it played 1.5 % fast); one factor covers about ±0.75 %.
    std::vector<double> speeds = {1.015, 0.985, 1.03, 0.97, 1.045, 0.955, 1.06, 0.94};
    // A match found only at another speed faces this margin instead: eight more tries give
    // chance eight more chances. Out-of-catalogue music reached 27.5 above 1.3 x runner-up at
    // another speed in the tuning part's runs.
    int speedMargin = 28;
};

struct MatchResult {
    bool found = false;
    uint32_t track = 0;      // best candidate (equal scores: the lowest id), also when not found
    uint32_t recording = 0;  // its recording group (its own id when it is in none)
    int score = 0;           // aligned votes of the best candidate
    uint32_t runnerUpTrack = 0;  // best track outside that group
    int runnerUp = 0;        // its aligned votes
    int offsetFrames = 0;    // where the query starts in the track
    double speed = 1.0;      // how much faster than the catalogue the recording played
    size_t queryHashes = 0;
    size_t votes = 0;
};

// Looks the query's landmarks up and votes per track on the time offset between catalogue and
// query; the best offset bin (with its neighbours) is the track's score.
bool matchLandmarks(Index& index, const std::vector<Landmark>& query, const MatchParams& params, MatchResult& result,
                    std::string& error);

struct AlignedTrack {
    uint32_t track = 0;
    int score = 0;
    int offsetFrames = 0;
};

// Every track whose best offset gathers at least `minScore` distinct query frames.
bool alignedTracks(Index& index, const std::vector<Landmark>& query, const MatchParams& params, int minScore,
                   std::vector<AlignedTrack>& out, std::string& error);

}  // namespace melodex::server
