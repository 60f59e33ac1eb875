#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/fingerprint/landmarks.h"
#include "server/index/index.h"
#include "server/match/query.h"
#include "server/match/signature_check.h"

namespace melodex::server {

// Two stages. The hashes nominate candidates: the tracks with the most matching hashes are
// aligned (the offset and speed on which most of the recording's moments agree). The best
// aligned candidates are then checked moment by moment against their signature, and the
// decision rests mostly on that check: a true match, however noisy, agrees with its track far
// beyond chance over hundreds of frames, while the few hashes a chance alignment gathers leave
// the signatures unrelated. The hashes' own evidence is added to it, measured against what
// chance would align of this query's votes for this track (vote_surprise.h): an alignment far
// beyond chance lets a weaker signature agreement pass.
struct MatchParams {
    size_t nominatedAtOwnSpeed = 8;  // tracks with the best score at the recording's own speed, checked
    // Tracks with the most triplet votes on one coarse offset, aligned over speeds, and the best
    // of those checked. A recording played off speed puts its own track first among them by far
    // (17 or more aligned moments where chance gathers 2 or 3), so longer lists only cost checks;
    // among many tracks, a noisy one's triplets may rank it below a few chance peaks first.
    size_t aligned = 12;
    size_t checked = 2;
    int minVotes = 2;         // aligned moments a candidate needs to be checked
    int offsetTolerance = 1;  // frames either side merged into one offset
    // Speeds tried in the alignment: geometric steps of `speedStep` up to `maxSpeedChange` either
    // way (1.08: from 8 % slow to 8 % fast).
    double maxSpeedChange = 1.08;
    double speedStep = 1.003;
    // A candidate's confidence is its signature check's (signature_check.h) plus `surpriseWeight`
    // times its alignment's surprise (vote_surprise.h); a match needs `minConfidence`.
    // Out-of-catalogue music stays below it: of two sets of 20,000 such recordings (a third noisy,
    // a third with babble) the highest reached 8.8 and 9.0, and exponential fits of their top 100
    // and 200 expect one in 5,000,000 or fewer to pass 11.
    double surpriseWeight = 0.1;
    double minConfidence = 11.0;
    // Hashes with more postings than this many times the average list, and at least
    // minCommonPostings, are left out of the vote.
    double commonFactor = 32.0;
    size_t minCommonPostings = 512;
    SignatureCheckParams check;
};

// A track the decision weighed: its aligned moments and its signature check.
struct CandidateFigures {
    uint32_t track = 0;
    int score = 0;
    double check = 0;     // its signature check's confidence
    double surprise = 0;  // its alignment against chance (vote_surprise.h)
    double confidence = 0;
    bool ownSpeed = false;  // nominated at the recording's own speed (else aligned over speeds)
};

struct MatchResult {
    bool found = false;
    uint32_t track = 0;          // best candidate (equal confidence: the better aligned), also when not found
    uint32_t recording = 0;      // its recording group (its own id when it is in none)
    int score = 0;               // the recording's moments that agree on its offset and speed
    double confidence = 0;       // its signature check and alignment together (MatchParams)
    double check = 0;            // of which the signature check's
    double surprise = 0;         // and the alignment's surprise, before weighting
    uint32_t runnerUpTrack = 0;  // best checked track outside that group
    double runnerUp = 0;         // its confidence
    int offsetFrames = 0;        // where the recording starts in the track
    double speed = 1.0;          // how much faster than the catalogue the recording played
    size_t queryHashes = 0;
    size_t votes = 0;
    std::vector<uint32_t> nominated;         // the tracks the vote ranked highest, best first
    std::vector<CandidateFigures> checked;   // those checked against their signature
};

// A candidate's confidence from its signature check and its alignment's surprise (MatchParams).
double candidateConfidence(const SignatureCheck& check, double surprise, const MatchParams& params);

bool matchQuery(Index& index, Query& query, const MatchParams& params, MatchResult& result, std::string& error);

struct AlignedTrack {
    uint32_t track = 0;
    int score = 0;
    int offsetFrames = 0;
};

// Every track whose best offset at the landmarks' own speed gathers at least `minScore` distinct
// query frames.
bool alignedTracks(Index& index, const std::vector<Landmark>& query, const MatchParams& params, int minScore,
                   std::vector<AlignedTrack>& out, std::string& error);

}  // namespace melodex::server
