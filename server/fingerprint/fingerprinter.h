#pragma once

#include <cstddef>
#include <vector>

#include "server/fingerprint/fingerprint_params.h"
#include "server/fingerprint/landmarks.h"

namespace melodex::server {

// The whole pipeline from 8 kHz mono samples to landmarks. With params.shifts > 1 the signal is
// analysed at that many phases spread over one hop and the landmarks of all phases are returned
// together (frames stay on the common grid), which removes the framing mismatch between a query
// and the catalogue.
std::vector<Landmark> fingerprint(const float* samples, size_t count, const FingerprintParams& params);

inline std::vector<Landmark> fingerprint(const std::vector<float>& samples, const FingerprintParams& params) {
    return fingerprint(samples.data(), samples.size(), params);
}

}  // namespace melodex::server
