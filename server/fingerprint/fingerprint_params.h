#pragma once

namespace melodex::server {

// Every tunable of the fingerprint pipeline in one place. The catalogue and the query share the
// framing and the hash layout; the query side keeps more peaks and pairs each anchor with more
// targets, so that catalogue peaks that survive noise in the recording still find their partners
// among the extra peaks the noise brings. Its pairs reach further down the peaks' ranking than
// its triplets: under talk or through a phone's chain, a catalogue peak often ranks below the
// noise's own peaks, and a pair that joins it is one lookup, where a triplet is one per two
// targets. Its triplets take only one target more than the catalogue's: beyond 4 targets they
// found next to nothing that the pairs had not.
struct FingerprintParams {
    int fftSize = 512;  // 64 ms at 8 kHz
    int hop = 128;      // 16 ms: a quarter of the window
    // ~156 Hz: much music carries most of its energy in the bass, where it stands above noise
    // spread over the band; a recording through a telephone line still has the band above 300 Hz.
    int minBin = 10;
    int maxBin = 218;   // ~3400 Hz: the telephone band's upper edge
    int contrastHalfWidth = 12;   // bins either side in the spectral whitening average
    int peakTimeRadius = 3;       // frames either side a peak must dominate
    int peakFreqRadius = 3;       // bins either side a peak must dominate
    float minContrast = 0.7f;     // natural-log units above the local average
    int blockFrames = 32;         // density is enforced per half-second block
    int peaksPerSecond = 18;
    // The pairs' own peaks, the strongest this many a second (of which the triplets' are the
    // strongest peaksPerSecond); 0: the triplets' peaks.
    int pairPeaksPerSecond = 0;
    // A pair hash joins an anchor peak with one of its next `pairTargets` peaks in the pair zone.
    int pairTargets = 5;
    int pairMaxDt = 63;           // pair zone, in frames and bins
    int pairMaxDf = 63;
    // A triplet hash joins an anchor peak with two later peaks among its next `targets` in the
    // target zone: every pair of them (so `targets` 3 gives 3 hashes an anchor, 4 gives 6).
    int targets = 3;
    int minDt = 1;                // target zone, in frames and bins
    int maxDt = 48;
    int maxDf = 60;
    // A target this close to the anchor's frequency (a held or repeated note) says little: left out.
    float minDf = 1.5f;
    // Quantisation of the hash's quantities (see landmarks.h).
    float ratioStep = 1.0f / 20.0f;   // time ratio of the two targets, in (0, 1]
    float octaveStep = 1.0f / 30.0f;  // frequency ratio target / anchor, in octaves
    float spanStep = 1.0f / 10.0f;    // log2(anchor frequency x time span), in octaves
    float pitchStep = 1.0f / 4.0f;    // log2(anchor frequency), in octaves
    // A query may also look a triplet up with its least certain speed-invariant quantity on the
    // other side of the nearest step boundary, when it lies within this share of a step of it
    // (a clip's query does not: the lookups found next to nothing that the pairs had not).
    float edge = 0.0f;
    // The query also looks a triplet up with the anchor's pitch level on the other side of the
    // nearest boundary when it lies within this share of a step of it: 0.3 of a quarter octave
    // covers speed changes of 6 % towards that boundary (the farther one is beyond the change).
    float pitchEdge = 0.0f;

    static FingerprintParams catalogue() { return FingerprintParams{}; }
    static FingerprintParams query() {
        FingerprintParams p;
        p.peaksPerSecond = 28;
        p.pairPeaksPerSecond = 40;
        p.pairTargets = 16;
        p.targets = 4;
        p.pitchEdge = 0.3f;
        return p;
    }
    // A long input plays tracks off speed under talk far more often than a phone's clip does, and
    // finding those rests on the speed search, which denser triplets feed: the monitor's windows
    // take 6 targets and look a triplet up across its least certain quantity's boundary too (with
    // a clip's triplets a generated mix lost a track of 34, and its boundaries moved).
    static FingerprintParams monitorWindow() {
        FingerprintParams p = query();
        p.targets = 6;
        p.edge = 0.15f;
        return p;
    }

    int bins() const { return maxBin - minBin; }
    double frameSeconds() const { return static_cast<double>(hop) / 8000.0; }
};

}  // namespace melodex::server
