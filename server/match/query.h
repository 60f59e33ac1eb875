#pragma once

#include <string>
#include <vector>

#include "server/fingerprint/fingerprint_params.h"
#include "server/fingerprint/landmarks.h"
#include "server/fingerprint/signature.h"
#include "server/fingerprint/spectrogram.h"

namespace melodex::server {

// A recording prepared for matching: its landmarks, and its signature features at whatever
// speed a candidate was found at, each worked out once.
class Query {
public:
    Query(const std::vector<float>& samples, const FingerprintParams& params);

    const std::vector<Landmark>& landmarks() const { return landmarks_; }
    int frames() const { return frames_; }
    // Features of signature phase 0 and 1 (signature.h) of the recording played `speed` times
    // slower, that is at the catalogue's speed when it was recorded `speed` times fast. Each row
    // is scaled to unit spread per bit and clipped, so that no loud moment outweighs the rest.
    void features(double speed, const SignatureFeatures*& phase0, const SignatureFeatures*& phase1);

private:
    struct AtSpeed {
        double speed = 1.0;
        SignatureFeatures phases[2];
    };
    static AtSpeed analyse(const Spectrogram& gram, double speed);
    // The band powers of the recording brought back to the catalogue's speed: its spectrogram
    // read `speed` times slower in time and `speed` times higher in frequency.
    Spectrogram warped(double speed) const;

    FingerprintParams params_;
    std::vector<Landmark> landmarks_;
    int frames_ = 0;
    std::vector<float> power_;  // the recording's linear power spectrogram, frames x bins
    std::vector<AtSpeed> speeds_;
};

}  // namespace melodex::server
