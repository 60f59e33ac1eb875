#include "server/fingerprint/fingerprinter.h"

#include <algorithm>

#include "server/fingerprint/peaks.h"
#include "server/fingerprint/spectrogram.h"

namespace melodex::server {

std::vector<Landmark> fingerprint(const float* samples, size_t count, const FingerprintParams& params) {
    std::vector<Landmark> all;
    const int shifts = std::max(1, params.shifts);
    for (int s = 0; s < shifts; ++s) {
        const int offset = s * params.hop / shifts;
        thread_local Spectrogram gram;
        computeSpectrogram(samples, count, params, offset, gram);
        const std::vector<Landmark> landmarks = makeLandmarks(findPeaks(gram, params), params);
        all.insert(all.end(), landmarks.begin(), landmarks.end());
    }
    if (shifts > 1) {
        std::sort(all.begin(), all.end(),
                  [](const Landmark& a, const Landmark& b) { return a.hash != b.hash ? a.hash < b.hash : a.frame < b.frame; });
        all.erase(std::unique(all.begin(), all.end(),
                              [](const Landmark& a, const Landmark& b) { return a.hash == b.hash && a.frame == b.frame; }),
                  all.end());
    }
    return all;
}

}  // namespace melodex::server
