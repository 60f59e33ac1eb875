#include "server/fingerprint/landmarks.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace melodex::server {

Quantities measure(const Peak& anchor, const Peak& first, const Peak& second, const FingerprintParams& params) {
    const float near = std::max(first.time - anchor.time, 0.25f);
    const float far = std::max(second.time - anchor.time, near);
    Quantities q;
    q.ratio = near / far / params.ratioStep;
    q.first = std::log2(first.freq / anchor.freq) / params.octaveStep;
    q.second = std::log2(second.freq / anchor.freq) / params.octaveStep;
    q.span = std::log2(anchor.freq * far) / params.spanStep;
    q.pitch = std::log2(anchor.freq) / params.pitchStep;
    return q;
}

uint32_t packHash(int ratio, int first, int second, int span, int pitch) {
    const uint32_t invariant = (static_cast<uint32_t>(ratio & 0x1F) << 21) | (static_cast<uint32_t>(first & 0x7F) << 14) |
                               (static_cast<uint32_t>(second & 0x7F) << 7) | static_cast<uint32_t>(span & 0x7F);
    // Multiplying by an odd number modulo 2^27 maps distinct values to distinct values, and makes
    // every bit of the product's top depend on every field below it: the fields' common values
    // (near intervals, short time ratios) no longer share the top bits, by which the stores file
    // their postings. The pitch level stays in the low bits, outside the product, so that a
    // triplet looked up at both pitch levels of a boundary reads one bucket of either store.
    constexpr uint32_t kScramble = 0x0545F491;
    constexpr uint32_t kProductMask = (1u << 27) - 1;
    return kTripletBit | (((invariant * kScramble) & kProductMask) << 4) | static_cast<uint32_t>(pitch & 0xF);
}

uint32_t packPair(int anchorBin, int binDelta, int frameDelta) {
    return (static_cast<uint32_t>(anchorBin & 0xFF) << 23) | (static_cast<uint32_t>((binDelta + 64) & 0x7F) << 16) |
           (static_cast<uint32_t>(frameDelta & 0x3F) << 10);
}

namespace {

int level(float x) { return static_cast<int>(std::floor(x)); }

// The step (-1 or +1) towards the boundary nearest to x, and how far it is in step units.
int nearestSide(float x, float& distance) {
    const float fraction = x - std::floor(x);
    distance = std::min(fraction, 1 - fraction);
    return fraction < 0.5f ? -1 : 1;
}

// The hashes of one combination: its own, with `edge` > 0 the one with the invariant quantity
// nearest its step boundary moved across it, and each of these at the neighbouring pitch level
// too when asked.
void emit(const Quantities& q, uint32_t frame, const FingerprintParams& params, std::vector<Landmark>& out) {
    int v[4] = {level(q.ratio), level(q.first), level(q.second), level(q.span)};
    int pitches[2] = {level(q.pitch), level(q.pitch)};
    float fromBoundary = 1;
    pitches[1] += nearestSide(q.pitch, fromBoundary);
    const int pitchCount = fromBoundary < params.pitchEdge ? 2 : 1;
    for (int p = 0; p < pitchCount; ++p) out.push_back({packHash(v[0], v[1], v[2], v[3], pitches[p]), frame});
    if (params.edge <= 0) return;
    const float x[4] = {q.ratio, q.first, q.second, q.span};
    int closest = -1, step = 0;
    float distance = params.edge;
    for (int i = 0; i < 4; ++i) {
        float d = 0;
        const int side = nearestSide(x[i], d);
        if (d < distance) {
            distance = d;
            closest = i;
            step = side;
        }
    }
    if (closest < 0) return;
    v[closest] += step;
    for (int p = 0; p < pitchCount; ++p) out.push_back({packHash(v[0], v[1], v[2], v[3], pitches[p]), frame});
}

void addPairs(const std::vector<Peak>& peaks, const FingerprintParams& params, std::vector<Landmark>& out) {
    const int maxDt = std::min(params.pairMaxDt, 63);
    const int maxDf = std::min(params.pairMaxDf, 63);
    for (size_t i = 0; i < peaks.size(); ++i) {
        const Peak& a = peaks[i];
        int made = 0;
        for (size_t j = i + 1; j < peaks.size() && made < params.pairTargets; ++j) {
            const Peak& b = peaks[j];
            const int dt = b.frame - a.frame;
            if (dt > maxDt) break;
            const int df = b.bin - a.bin;
            if (dt < params.minDt || std::abs(df) > maxDf) continue;
            out.push_back({packPair(a.bin, df, dt), static_cast<uint32_t>(a.frame)});
            ++made;
        }
    }
}

}  // namespace

std::vector<Landmark> makeLandmarks(const std::vector<Peak>& peaks, const std::vector<Peak>& pairPeaks,
                                    const FingerprintParams& params) {
    std::vector<Landmark> out;
    const int targets = params.targets;
    out.reserve(peaks.size() * static_cast<size_t>(targets * (targets - 1) / 2) * (params.edge > 0 ? 2 : 1) *
                    (params.pitchEdge > 0 ? 2 : 1) +
                pairPeaks.size() * static_cast<size_t>(params.pairTargets));
    addPairs(pairPeaks, params, out);
    std::vector<const Peak*> zone;
    for (size_t i = 0; i < peaks.size(); ++i) {
        const Peak& a = peaks[i];
        zone.clear();
        for (size_t j = i + 1; j < peaks.size() && static_cast<int>(zone.size()) < targets; ++j) {
            const Peak& b = peaks[j];
            const int dt = b.frame - a.frame;
            if (dt > params.maxDt) break;
            if (dt >= params.minDt && std::abs(b.bin - a.bin) <= params.maxDf && std::abs(b.freq - a.freq) >= params.minDf)
                zone.push_back(&b);
        }
        for (size_t x = 0; x < zone.size(); ++x)
            for (size_t y = x + 1; y < zone.size(); ++y)
                emit(measure(a, *zone[x], *zone[y], params), static_cast<uint32_t>(a.frame), params, out);
    }
    return out;
}

}  // namespace melodex::server
