#include "server/fingerprint/fingerprinter.h"

#include "server/fingerprint/peaks.h"
#include "server/fingerprint/signature.h"

namespace melodex::server {

std::vector<Landmark> findLandmarks(const float* samples, size_t count, const FingerprintParams& params, Spectrogram& gram) {
    computeSpectrogram(samples, count, params, 0, gram);
    if (params.pairPeaksPerSecond <= params.peaksPerSecond) return makeLandmarks(findPeaks(gram, params), params);
    const std::vector<Peak> pairPeaks = findPeaks(gram, params, params.pairPeaksPerSecond);
    return makeLandmarks(strongestPeaks(pairPeaks, params, params.peaksPerSecond), pairPeaks, params);
}

Fingerprint fingerprint(const float* samples, size_t count, const FingerprintParams& params) {
    // Reused across tracks on the same thread: a long track's spectrogram is tens of megabytes.
    thread_local Spectrogram gram;
    Fingerprint out;
    out.landmarks = findLandmarks(samples, count, params, gram);
    out.signature = signatureBits(gram);
    return out;
}

}  // namespace melodex::server
