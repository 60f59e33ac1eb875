#pragma once

namespace melodex::server {

// Every tunable of the fingerprint pipeline in one place. The catalogue and the query share the
// framing and the hash layout; the query side keeps more peaks and pairs each anchor with more
// targets, so that catalogue peaks that survive noise in the recording still find their partners.
struct FingerprintParams {
    int fftSize = 512;  // 64 ms at 8 kHz
    int hop = 128;      // 16 ms: a quarter of the window
    int minBin = 19;    // ~300 Hz: below it phone microphones and loudspeakers add little
    int maxBin = 218;   // ~3400 Hz: the telephone band's upper edge
    int contrastHalfWidth = 12;   // bins either side in the spectral whitening average
    int peakTimeRadius = 3;       // frames either side a peak must dominate
    int peakFreqRadius = 3;       // bins either side a peak must dominate
    float minContrast = 0.7f;     // natural-log units above the local average
    int blockFrames = 32;         // density is enforced per half-second block
    int peaksPerSecond = 18;
    int fanOut = 5;               // targets per anchor
    int minDt = 1;                // target zone, in frames and bins
    int maxDt = 63;
    int maxDf = 63;
    int shifts = 1;               // analysis phases spread over one hop (query side)

    static FingerprintParams catalogue() { return FingerprintParams{}; }
    static FingerprintParams query() {
        FingerprintParams p;
        p.peaksPerSecond = 36;
        p.fanOut = 12;
        p.shifts = 2;
        return p;
    }

    int bins() const { return maxBin - minBin; }
    double frameSeconds() const { return static_cast<double>(hop) / 8000.0; }
};

}  // namespace melodex::server
