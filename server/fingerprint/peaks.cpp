#include "server/fingerprint/peaks.h"

#include <algorithm>

namespace melodex::server {

std::vector<float> whiten(const Spectrogram& spec, const FingerprintParams& params) {
    std::vector<float> out(spec.values.size());
    std::vector<double> prefix(static_cast<size_t>(spec.bins) + 1);
    const int w = params.contrastHalfWidth;
    for (int f = 0; f < spec.frames; ++f) {
        const float* row = &spec.values[static_cast<size_t>(f) * spec.bins];
        float* dst = &out[static_cast<size_t>(f) * spec.bins];
        prefix[0] = 0;
        for (int b = 0; b < spec.bins; ++b) prefix[b + 1] = prefix[b] + row[b];
        for (int b = 0; b < spec.bins; ++b) {
            const int lo = std::max(0, b - w);
            const int hi = std::min(spec.bins, b + w + 1);
            dst[b] = row[b] - static_cast<float>((prefix[hi] - prefix[lo]) / (hi - lo));
        }
    }
    return out;
}

namespace {

bool dominates(const std::vector<float>& c, int frames, int bins, int t, int b, const FingerprintParams& p) {
    const float v = c[static_cast<size_t>(t) * bins + b];
    const int t0 = std::max(0, t - p.peakTimeRadius), t1 = std::min(frames - 1, t + p.peakTimeRadius);
    const int b0 = std::max(0, b - p.peakFreqRadius), b1 = std::min(bins - 1, b + p.peakFreqRadius);
    for (int tt = t0; tt <= t1; ++tt) {
        const float* row = &c[static_cast<size_t>(tt) * bins];
        for (int bb = b0; bb <= b1; ++bb) {
            if (row[bb] > v) return false;
            // Ties go to the earliest, lowest cell so that a plateau yields one peak.
            if (row[bb] == v && (tt < t || (tt == t && bb < b))) return false;
        }
    }
    return true;
}

}  // namespace

std::vector<Peak> findPeaks(const Spectrogram& spec, const FingerprintParams& params) {
    std::vector<Peak> peaks;
    if (spec.frames == 0) return peaks;
    const std::vector<float> c = whiten(spec, params);
    const int perBlock = std::max(1, static_cast<int>(params.peaksPerSecond * params.blockFrames *
                                                          params.frameSeconds() + 0.5));
    std::vector<Peak> block;
    for (int start = 0; start < spec.frames; start += params.blockFrames) {
        const int end = std::min(spec.frames, start + params.blockFrames);
        block.clear();
        for (int t = start; t < end; ++t) {
            const float* level = &spec.values[static_cast<size_t>(t) * spec.bins];
            const float* contrast = &c[static_cast<size_t>(t) * spec.bins];
            for (int b = 1; b + 1 < spec.bins; ++b) {
                // Cheap tests first: most cells fail against their direct frequency neighbours.
                if (contrast[b] < params.minContrast || level[b] < level[b - 1] || level[b] < level[b + 1]) continue;
                if (dominates(spec.values, spec.frames, spec.bins, t, b, params)) block.push_back({t, b, contrast[b]});
            }
        }
        if (static_cast<int>(block.size()) > perBlock) {
            std::nth_element(block.begin(), block.begin() + perBlock, block.end(),
                             [](const Peak& a, const Peak& b) { return a.strength > b.strength; });
            block.resize(perBlock);
        }
        peaks.insert(peaks.end(), block.begin(), block.end());
    }
    std::sort(peaks.begin(), peaks.end(),
              [](const Peak& a, const Peak& b) { return a.frame != b.frame ? a.frame < b.frame : a.bin < b.bin; });
    return peaks;
}

}  // namespace melodex::server
