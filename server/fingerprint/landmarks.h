#pragma once

#include <cstdint>
#include <vector>

#include "server/fingerprint/fingerprint_params.h"
#include "server/fingerprint/peaks.h"

namespace melodex::server {

// One landmark: a 32-bit hash of an anchor peak and a target peak, and the anchor's frame.
struct Landmark {
    uint32_t hash = 0;
    uint32_t frame = 0;
};

// Layout: anchor bin (8 bits) | bin difference + 64 (7 bits) | frame difference (6 bits).
uint32_t packHash(int anchorBin, int binDelta, int frameDelta);

// Pairs every anchor with up to params.fanOut later peaks inside the target zone.
std::vector<Landmark> makeLandmarks(const std::vector<Peak>& peaks, const FingerprintParams& params);

}  // namespace melodex::server
