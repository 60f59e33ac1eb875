#include "server/fingerprint/signature.h"

#include <cmath>

namespace melodex::server {

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
    // `older` and `previous` hold the levels of the two moments before this one.
    std::vector<float> older(kBands), previous(kBands), level(kBands), change(kBands), slowChange(kBands);
    for (int j = 0; j < out.frames; ++j) {
        const float* a = &gram.bandPower[static_cast<size_t>(phase + kFramesPerSignature * j) * kBands];
        const float* b = a + kBands;
        for (int k = 0; k < kBands; ++k) level[k] = std::log(a[k] + b[k]);
        if (j > 0) {
            float* x = &out.values[static_cast<size_t>(j) * kSignatureBits];
            float mean = 0;
            for (int k = 0; k < kBands; ++k) {
                change[k] = level[k] - previous[k];
                slowChange[k] = j > 1 ? level[k] - older[k] : change[k];
                mean += change[k];
            }
            mean /= kBands;
            for (int k = 0; k + 1 < kBands; ++k) {
                x[k] = slowChange[k] - slowChange[k + 1];
                x[16 + k] = change[k] - mean;
            }
        }
        older.swap(previous);
        previous.swap(level);
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
