#include "server/fingerprint/signature.h"

#include <algorithm>
#include <cmath>

namespace melodex::server {
namespace {

// Moments (32 ms each) over which the slow half of the bits measures change: over 128 ms a
// room's reverberation, which smears every onset over tens of milliseconds, blurs a change far
// less than over one or two moments.
constexpr int kSlowMoments = 4;

}  // namespace

const std::vector<float>& SignatureFeatures::squareSums() const {
    if (!squareSums_.empty() || values.empty()) return squareSums_;
    squareSums_.assign(static_cast<size_t>(frames + 1) * kSignatureBits, 0.0f);
    for (int j = 0; j < frames; ++j)
        for (int k = 0; k < kSignatureBits; ++k)
            squareSums_[static_cast<size_t>(j + 1) * kSignatureBits + k] =
                squareSums_[static_cast<size_t>(j) * kSignatureBits + k] + row(j)[k] * row(j)[k];
    return squareSums_;
}

SignatureFeatures signatureFeatures(const Spectrogram& gram, int phase) {
    SignatureFeatures out;
    if (phase < 0 || gram.frames <= phase) return out;
    out.frames = (gram.frames - phase) / kFramesPerSignature;
    out.values.assign(static_cast<size_t>(out.frames) * kSignatureBits, 0.0f);
    // The levels of the last kSlowMoments moments, moment j's in row j % kSlowMoments: before
    // the first kSlowMoments, the slow change is taken from the first moment.
    std::vector<float> past(static_cast<size_t>(kSlowMoments) * kBands), level(kBands), change(kBands), slowChange(kBands);
    const auto pastLevel = [&](int j) { return &past[static_cast<size_t>(std::max(0, j) % kSlowMoments) * kBands]; };
    for (int j = 0; j < out.frames; ++j) {
        const float* a = &gram.bandPower[static_cast<size_t>(phase + kFramesPerSignature * j) * kBands];
        const float* b = a + kBands;
        for (int k = 0; k < kBands; ++k) level[k] = std::log(a[k] + b[k]);
        if (j > 0) {
            const float* previous = pastLevel(j - 1);
            const float* slowFrom = pastLevel(j - kSlowMoments);
            float* x = &out.values[static_cast<size_t>(j) * kSignatureBits];
            float mean = 0;
            for (int k = 0; k < kBands; ++k) {
                change[k] = level[k] - previous[k];
                slowChange[k] = level[k] - slowFrom[k];
                mean += change[k];
            }
            mean /= kBands;
            for (int k = 0; k + 1 < kBands; ++k) {
                x[k] = slowChange[k] - slowChange[k + 1];
                x[16 + k] = change[k] - mean;
            }
        }
        std::copy(level.begin(), level.end(), pastLevel(j));
    }
    return out;
}

std::vector<uint32_t> signatureBits(const Spectrogram& gram) {
    const SignatureFeatures features = signatureFeatures(gram, 0);
    std::vector<uint32_t> bits(static_cast<size_t>(features.frames), 0);
    for (int j = 0; j < features.frames; ++j) {
        const float* x = features.row(j);
        uint32_t word = 0;
        for (int k = 0; k < kSignatureBits; ++k) word |= static_cast<uint32_t>(x[k] > 0) << k;
        bits[static_cast<size_t>(j)] = word;
    }
    return bits;
}

}  // namespace melodex::server
