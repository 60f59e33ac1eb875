#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "server/fingerprint/fingerprint_params.h"
#include "server/fingerprint/landmarks.h"
#include "server/fingerprint/spectrogram.h"

namespace melodex::server {

// What the index keeps of a track: its hashes, and its signature for checking a candidate
// moment by moment (signature.h).
struct Fingerprint {
    Fingerprint() = default;
    // Hashes alone, without a signature: enough to store and look up, never to be found.
    Fingerprint(std::vector<Landmark> hashes) : landmarks(std::move(hashes)) {}

    std::vector<Landmark> landmarks;
    std::vector<uint32_t> signature;
};

// The landmarks of 8 kHz mono samples; the spectrogram they came from is left in `gram`.
std::vector<Landmark> findLandmarks(const float* samples, size_t count, const FingerprintParams& params, Spectrogram& gram);

// The whole pipeline for a catalogue track.
Fingerprint fingerprint(const float* samples, size_t count, const FingerprintParams& params);

inline Fingerprint fingerprint(const std::vector<float>& samples, const FingerprintParams& params) {
    return fingerprint(samples.data(), samples.size(), params);
}

}  // namespace melodex::server
