#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "server/fingerprint/spectrogram.h"

namespace melodex::server {

// A dense description of every moment, kept for every track beside its hashes: 32 bits every
// two spectrogram frames (32 ms). Bits 0-15: the sign of the change over two moments (64 ms) of
// the level difference between neighbouring bands; bits 16-31: the sign of each band's change in
// level from one moment to the next against the change of all bands together. A change over 64
// ms stands further above noise's own flicker; the other half keeps the finer steps of speech and
// onsets. Noise flips some bits but leaves the rest agreeing with the catalogue far beyond chance
// over an 11-second recording, which is what tells a weak true match from a chance alignment of a
// few hashes.
constexpr int kSignatureBits = 32;
constexpr int kFramesPerSignature = 2;

// Real-valued features behind the bits: `frames` rows of kSignatureBits values.
struct SignatureFeatures {
    int frames = 0;
    std::vector<float> values;
    const float* row(int frame) const { return &values[static_cast<size_t>(frame) * kSignatureBits]; }
};

// Adds to `sum` one frame's features signed by a signature word's bits (+x where a bit is set, -x
// where it is not), and to `squares` their squares: over independent bits, sum / sqrt(squares)
// is a z-score of how far the features agree with the words.
inline void addSignedFeatures(const float* x, uint32_t word, float& sum, float& squares) {
    for (int k = 0; k < kSignatureBits; ++k) {
        // The sign bit flipped where the word's bit is clear: no branch in the loop.
        const uint32_t flip = (((word >> k) & 1u) ^ 1u) << 31;
        uint32_t bits;
        std::memcpy(&bits, &x[k], sizeof bits);
        bits ^= flip;
        float signed_;
        std::memcpy(&signed_, &bits, sizeof signed_);
        sum += signed_;
        squares += x[k] * x[k];
    }
}

// Signature frame j covers spectrogram frames phase + 2j and phase + 2j + 1; frame 0 has no
// predecessor, so its features are zero.
SignatureFeatures signatureFeatures(const Spectrogram& gram, int phase);
// The bits of a catalogue track (phase 0).
std::vector<uint32_t> signatureBits(const Spectrogram& gram);

}  // namespace melodex::server
