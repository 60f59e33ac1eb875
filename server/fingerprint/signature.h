#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "server/fingerprint/spectrogram.h"

namespace melodex::server {

// A dense description of every moment, kept for every track beside its hashes: 32 bits every
// two spectrogram frames (32 ms). Bits 0-15: the sign of the change over four moments (128 ms)
// of the level difference between neighbouring bands; bits 16-31: the sign of each band's change
// in level from one moment to the next against the change of all bands together. A change over
// 128 ms stands further above noise's own flicker and a room's reverberation; the other half keeps
// the finer steps of speech and onsets. Noise flips some bits but leaves the rest agreeing with
// the catalogue far beyond chance over an 11-second recording, which is what tells a weak true
// match from a chance alignment of a few hashes.
constexpr int kSignatureBits = 32;
constexpr int kFramesPerSignature = 2;

// Real-valued features behind the bits: `frames` rows of kSignatureBits values.
struct SignatureFeatures {
    int frames = 0;
    std::vector<float> values;
    const float* row(int frame) const { return &values[static_cast<size_t>(frame) * kSignatureBits]; }
    // Running sums of each feature's squares, (frames + 1) x kSignatureBits, so that any range of
    // frames has its sums at once. Worked out on first use, once the values are final, and kept
    // for every check against the same features (by one thread: the first use writes them).
    const std::vector<float>& squareSums() const;

private:
    mutable std::vector<float> squareSums_;
};

// `x` signed by a mask: its sign bit flipped where the mask's is set, with no branch.
inline float signedBy(float x, uint32_t flip) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    bits ^= flip;
    float out;
    std::memcpy(&out, &bits, sizeof out);
    return out;
}

// The flip masks that sign 8 features by one byte of a signature word (+x where a bit is set, -x
// where it is clear): a table, so that the 8 features are signed together.
using SignMasks = std::array<std::array<uint32_t, 8>, 256>;
constexpr SignMasks makeSignMasks() {
    SignMasks m{};
    for (uint32_t b = 0; b < 256; ++b)
        for (uint32_t i = 0; i < 8; ++i) m[b][i] = (((b >> i) & 1u) ^ 1u) << 31;
    return m;
}
inline constexpr SignMasks kSignMasks = makeSignMasks();

// Adds to `sum` one frame's features signed by a signature word's bits, and to `squares` their
// squares: over independent bits, sum / sqrt(squares) is a z-score of how far the features agree
// with the words.
inline void addSignedFeatures(const float* x, uint32_t word, float& sum, float& squares) {
    for (int k = 0; k < kSignatureBits; ++k) {
        sum += signedBy(x[k], (((word >> k) & 1u) ^ 1u) << 31);
        squares += x[k] * x[k];
    }
}

// Adds to each of `sums` its feature of one frame signed by the word's bit, 8 features at a time.
inline void addSignedFeatures(const float* x, uint32_t word, std::array<float, kSignatureBits>& sums) {
    for (int q = 0; q < kSignatureBits / 8; ++q) {
        const std::array<uint32_t, 8>& flips = kSignMasks[(word >> (8 * q)) & 0xffu];
        for (int i = 0; i < 8; ++i)
            sums[static_cast<size_t>(8 * q + i)] += signedBy(x[8 * q + i], flips[static_cast<size_t>(i)]);
    }
}

// Where a recording's features fall on a track's signature when its frame 0 lies on track frame
// `offsetFrames`: recording frame p + 2j lies on track frame p + 2j + offset, so the features of
// the phase p of the offset's parity fall on the track's words, their first on `firstWord`.
struct WordAlignment {
    int phase = 0;
    long firstWord = 0;
};
inline WordAlignment wordAlignment(long offsetFrames) {
    const int phase = static_cast<int>(offsetFrames & 1);
    return {phase, (offsetFrames + phase) / kFramesPerSignature};
}

// Signature frame j covers spectrogram frames phase + 2j and phase + 2j + 1; frame 0 has no
// predecessor, so its features are zero.
SignatureFeatures signatureFeatures(const Spectrogram& gram, int phase);
// The bits of a catalogue track (phase 0).
std::vector<uint32_t> signatureBits(const Spectrogram& gram);

}  // namespace melodex::server
