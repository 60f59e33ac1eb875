#pragma once

#include <vector>

namespace melodex::server {

// Interleaved floating-point samples in [-1, 1] with their format.
struct PcmAudio {
    std::vector<float> samples;
    int sampleRate = 0;
    int channels = 0;

    size_t frames() const { return channels > 0 ? samples.size() / static_cast<size_t>(channels) : 0; }
    double seconds() const { return sampleRate > 0 ? static_cast<double>(frames()) / sampleRate : 0.0; }
};

// The rate of every signal the fingerprinter sees: phone recordings are 8 kHz.
constexpr int kFingerprintRate = 8000;

// Sample rates accepted from any source: below or above these a file is damaged or hostile
// (a rate of 1 Hz would have the resampler make 8000 samples of each one).
constexpr int kMinSampleRate = 4000;
constexpr int kMaxSampleRate = 768000;

}  // namespace melodex::server
