#pragma once

#include <cstdint>
#include <vector>

#include "server/fingerprint/fingerprint_params.h"
#include "server/fingerprint/spectrogram.h"

namespace melodex::server {

struct Peak {
    int frame = 0;
    int bin = 0;         // relative to params.minBin
    float strength = 0;  // contrast above the whitened neighbourhood
    // The peak's position refined between frames and bins (a parabola through the level and its
    // neighbours), in frames and in absolute FFT bins: ratios of these stay precise for small
    // distances, where whole frames and bins would be off by a large share.
    float time = 0;
    float freq = 0;
};

// Spectral whitening: each value minus the mean of its frequency neighbourhood in the same frame,
// so that a noise floor, a tilted spectrum or a band-limited channel does not decide which peaks win.
void whitenInto(const Spectrogram& gram, const FingerprintParams& params, std::vector<float>& out);

// Local maxima of the log-power spectrogram (so that a decaying note peaks at its onset, not all
// along its length) whose whitened contrast reaches params.minContrast, thinned to the
// `perSecond` (by default params.peaksPerSecond) highest-contrast ones per block; sorted by
// frame, then bin. Each peak carries its refined position.
std::vector<Peak> findPeaks(const Spectrogram& gram, const FingerprintParams& params, int perSecond);
inline std::vector<Peak> findPeaks(const Spectrogram& gram, const FingerprintParams& params) {
    return findPeaks(gram, params, params.peaksPerSecond);
}

// The `perSecond` highest-contrast of `peaks` (as findPeaks returns them) per block, in their order.
std::vector<Peak> strongestPeaks(const std::vector<Peak>& peaks, const FingerprintParams& params, int perSecond);

}  // namespace melodex::server
