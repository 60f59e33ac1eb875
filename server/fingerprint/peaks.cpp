#include "server/fingerprint/peaks.h"

#include <algorithm>

namespace melodex::server {

void whitenInto(const Spectrogram& gram, const FingerprintParams& params, std::vector<float>& out) {
    out.resize(gram.values.size());
    const int w = params.contrastHalfWidth;
    // Each bin's neighbourhood and the reciprocal of its size, the same for every frame: a
    // division per cell cost more than the rest of the whitening.
    std::vector<int> lo(static_cast<size_t>(gram.bins)), hi(lo.size());
    std::vector<double> inverse(lo.size());
    for (int b = 0; b < gram.bins; ++b) {
        lo[b] = std::max(0, b - w);
        hi[b] = std::min(gram.bins, b + w + 1);
        inverse[b] = 1.0 / (hi[b] - lo[b]);
    }
    std::vector<double> prefix(static_cast<size_t>(gram.bins) + 1);
    for (int f = 0; f < gram.frames; ++f) {
        const float* row = &gram.values[static_cast<size_t>(f) * gram.bins];
        float* dst = &out[static_cast<size_t>(f) * gram.bins];
        prefix[0] = 0;
        for (int b = 0; b < gram.bins; ++b) prefix[b + 1] = prefix[b] + row[b];
        for (int b = 0; b < gram.bins; ++b)
            dst[b] = row[b] - static_cast<float>((prefix[hi[b]] - prefix[lo[b]]) * inverse[b]);
    }
}

namespace {

// The largest level within +-timeRadius frames and +-freqRadius bins of every cell, computed as
// two separable passes (frequency, then time) that the compiler can vectorise.
void neighbourhoodMax(const Spectrogram& gram, int timeRadius, int freqRadius, std::vector<float>& across,
                      std::vector<float>& out) {
    const int bins = gram.bins;
    across.resize(gram.values.size());
    for (int t = 0; t < gram.frames; ++t) {
        const float* row = &gram.values[static_cast<size_t>(t) * bins];
        float* dst = &across[static_cast<size_t>(t) * bins];
        std::copy_n(row, bins, dst);
        // Each shift widens every bin's window by one on both sides, over the whole row at once.
        for (int s = 1; s <= freqRadius && s < bins; ++s) {
            for (int b = 0; b + s < bins; ++b) dst[b] = std::max(dst[b], row[b + s]);
            for (int b = s; b < bins; ++b) dst[b] = std::max(dst[b], row[b - s]);
        }
    }
    out.resize(gram.values.size());
    for (int t = 0; t < gram.frames; ++t) {
        const int t0 = std::max(0, t - timeRadius), t1 = std::min(gram.frames - 1, t + timeRadius);
        float* dst = &out[static_cast<size_t>(t) * bins];
        std::copy_n(&across[static_cast<size_t>(t0) * bins], bins, dst);
        for (int k = t0 + 1; k <= t1; ++k) {
            const float* src = &across[static_cast<size_t>(k) * bins];
            for (int b = 0; b < bins; ++b) dst[b] = std::max(dst[b], src[b]);
        }
    }
}

// Scratch space kept per thread: allocating and faulting in fresh megabytes for every track or
// query would cost more than the arithmetic.
struct Workspace {
    std::vector<float> contrast, across, localMax;
};

// Offset of a parabola's vertex through three levels, the middle one the largest: in (-0.5, 0.5).
float vertex(float before, float at, float after) {
    const float curvature = before - 2 * at + after;
    return curvature < 0 ? 0.5f * (before - after) / curvature : 0.0f;
}

void refine(const Spectrogram& gram, const FingerprintParams& params, Peak& p) {
    const float at = gram.at(p.frame, p.bin);
    p.freq = static_cast<float>(p.bin + params.minBin) + vertex(gram.at(p.frame, p.bin - 1), at, gram.at(p.frame, p.bin + 1));
    p.time = static_cast<float>(p.frame);
    if (p.frame > 0 && p.frame + 1 < gram.frames)
        p.time += vertex(gram.at(p.frame - 1, p.bin), at, gram.at(p.frame + 1, p.bin));
}

int peaksPerBlock(const FingerprintParams& params, int perSecond) {
    return std::max(1, static_cast<int>(perSecond * params.blockFrames * params.frameSeconds() + 0.5));
}

// Keeps the `count` highest-contrast peaks of a block.
void keepStrongest(std::vector<Peak>& block, int count) {
    if (static_cast<int>(block.size()) <= count) return;
    std::nth_element(block.begin(), block.begin() + count, block.end(),
                     [](const Peak& a, const Peak& b) { return a.strength > b.strength; });
    block.resize(count);
}

bool framesThenBins(const Peak& a, const Peak& b) { return a.frame != b.frame ? a.frame < b.frame : a.bin < b.bin; }

}  // namespace

std::vector<Peak> findPeaks(const Spectrogram& gram, const FingerprintParams& params, int perSecond) {
    std::vector<Peak> peaks;
    if (gram.frames == 0) return peaks;
    thread_local Workspace work;
    whitenInto(gram, params, work.contrast);
    const std::vector<float>& c = work.contrast;
    const int perBlock = peaksPerBlock(params, perSecond);
    neighbourhoodMax(gram, params.peakTimeRadius, params.peakFreqRadius, work.across, work.localMax);
    const std::vector<float>& localMax = work.localMax;
    std::vector<Peak> block;
    for (int start = 0; start < gram.frames; start += params.blockFrames) {
        const int end = std::min(gram.frames, start + params.blockFrames);
        block.clear();
        for (int t = start; t < end; ++t) {
            const size_t row = static_cast<size_t>(t) * gram.bins;
            for (int b = 1; b + 1 < gram.bins; ++b)
                if (gram.values[row + b] == localMax[row + b] && c[row + b] >= params.minContrast)
                    block.push_back({t, b, c[row + b], 0, 0});
        }
        keepStrongest(block, perBlock);
        for (Peak& p : block) refine(gram, params, p);
        peaks.insert(peaks.end(), block.begin(), block.end());
    }
    std::sort(peaks.begin(), peaks.end(), framesThenBins);
    return peaks;
}

std::vector<Peak> strongestPeaks(const std::vector<Peak>& peaks, const FingerprintParams& params, int perSecond) {
    const int perBlock = peaksPerBlock(params, perSecond);
    std::vector<Peak> out, block;
    out.reserve(peaks.size());
    for (auto from = peaks.begin(); from != peaks.end();) {
        const int blockIndex = from->frame / params.blockFrames;
        const auto to = std::find_if(from, peaks.end(), [&](const Peak& p) { return p.frame / params.blockFrames != blockIndex; });
        block.assign(from, to);
        keepStrongest(block, perBlock);
        std::sort(block.begin(), block.end(), framesThenBins);
        out.insert(out.end(), block.begin(), block.end());
        from = to;
    }
    return out;
}

}  // namespace melodex::server
