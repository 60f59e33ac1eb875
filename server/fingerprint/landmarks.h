#pragma once

#include <cstdint>
#include <vector>

#include "server/fingerprint/fingerprint_params.h"
#include "server/fingerprint/peaks.h"

namespace melodex::server {

// One landmark: a 32-bit hash of an anchor peak and one or two later target peaks, and the
// anchor's frame.
struct Landmark {
    uint32_t hash = 0;
    uint32_t frame = 0;
};

// Two families of hashes share the 32-bit space, told apart by the top bit.
//   Pairs: an anchor and one target, as their bins and the frames between them. Two peaks
//   survive noise and reverberation far more often than three, so pairs find a recording at its
//   own speed under conditions where triplets are lost; a speed change of a percent moves them.
//   Triplets: an anchor and two targets, built from quantities a speed change leaves alone
//   (below), so they find music played faster or slower in one lookup.
constexpr uint32_t kTripletBit = 1u << 31;
inline bool isTriplet(uint32_t hash) { return (hash & kTripletBit) != 0; }

// Layout of a pair: anchor bin (8 bits) | bin difference + 64 (7 bits) | frame difference (6
// bits), in bits 30-10.
uint32_t packPair(int anchorBin, int binDelta, int frameDelta);

// Music played s times fast (pitch and tempo together, as a turntable, a radio or a DJ change
// it) has every frequency multiplied by s and every time distance divided by s. A hash of three
// peaks built mostly from quantities that such a change leaves alone finds the music at other
// speeds in one lookup:
//   ratio   the first target's time distance from the anchor over the second's, in (0, 1]
//   first   log2 of the first target's frequency over the anchor's
//   second  log2 of the second target's frequency over the anchor's
//   span    log2 of the anchor's frequency times the second target's time distance
//   pitch   log2 of the anchor's frequency: the one quantity a speed change moves, quantised
//           coarsely (a quarter octave) and looked up on both sides of a boundary it is near
// Each is quantised by its step in FingerprintParams; `Quantities` holds them in step units.
struct Quantities {
    float ratio = 0, first = 0, second = 0, span = 0, pitch = 0;
};

Quantities measure(const Peak& anchor, const Peak& first, const Peak& second, const FingerprintParams& params);
// Layout of a triplet, under kTripletBit: ratio (5 bits) | first (7 bits) | second (7 bits) |
// span (7 bits), each its quantised value modulo the field's size, scrambled one to one so that
// the top bits spread evenly, then pitch (4 bits) in the lowest bits. The band's 4.4 octaves
// take 18 quarter-octave levels, so anchors near 160 Hz share their level's bits with anchors
// four octaves up, whose span differs by those four octaves unless its time distance is sixteen
// times shorter.
uint32_t packHash(int ratio, int first, int second, int span, int pitch);

// Both families: every anchor of `pairPeaks` paired with each of its next params.pairTargets
// peaks there in the pair zone, and every anchor of `peaks` combined with every two of its next
// params.targets peaks inside the triplet zone. With params.edge > 0, a triplet whose least
// certain invariant quantity lies that close to a step boundary is also hashed with it on the
// boundary's other side; with params.pitchEdge > 0, so is one whose pitch level lies that close
// to its boundary.
std::vector<Landmark> makeLandmarks(const std::vector<Peak>& peaks, const std::vector<Peak>& pairPeaks,
                                    const FingerprintParams& params);
inline std::vector<Landmark> makeLandmarks(const std::vector<Peak>& peaks, const FingerprintParams& params) {
    return makeLandmarks(peaks, peaks, params);
}

}  // namespace melodex::server
