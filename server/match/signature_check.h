#pragma once

#include <cstdint>
#include <vector>

#include "server/fingerprint/signature.h"

namespace melodex::server {

struct SignatureCheckParams {
    int search = 1;            // spectrogram frames either side of the candidate's offset
    int chanceSamples = 40;    // other offsets of the same track that measure chance agreement
    int chanceGap = 16;        // signature frames (0.5 s) kept clear around the candidate
    double chanceTrim = 0.1;   // share of the highest chance values left out (the music repeats)
    // Signature frames (4 s) either side of the candidate, beyond chanceGap, over which chance
    // is measured as well, every nearStep frames.
    int nearReach = 125;
    int nearStep = 2;
    double minChanceSpread = 1.0;  // chance spreads at least as independent bits would
    double worthMeasuring = 3.0;  // agreement below which the chance level is not measured
};

struct SignatureCheck {
    // How far the agreement at the candidate's offset stands above the agreement of the same
    // recording at other moments of the track, in spreads of the latter.
    double confidence = 0;
    double agreement = 0;  // the agreement itself, near a z-score against independent bits
    int offsetFrames = 0;  // the offset refined, in spectrogram frames
};

// Compares a recording's signature features (both phases; see Query::features) with a track's
// signature, the recording starting `offsetFrames` spectrogram frames into the track.
SignatureCheck checkSignature(const SignatureFeatures& phase0, const SignatureFeatures& phase1,
                              const std::vector<uint32_t>& reference, int offsetFrames, const SignatureCheckParams& params);

}  // namespace melodex::server
