#pragma once

#include <string>
#include <vector>

#include "server/fingerprint/fingerprint_params.h"
#include "server/fingerprint/landmarks.h"
#include "server/fingerprint/signature.h"

namespace melodex::server {

// A recording prepared for matching: its landmarks, and its signature features at whatever
// speed a candidate was found at (the recording brought back to the catalogue's speed first),
// each worked out once.
class Query {
public:
    Query(std::vector<float> samples, const FingerprintParams& params);

    const std::vector<Landmark>& landmarks() const { return landmarks_; }
    // Features of signature phase 0 and 1 (signature.h) of the recording played `speed` times
    // slower, that is at the catalogue's speed when it was recorded `speed` times fast. Each row
    // is scaled to unit spread per bit and clipped, so that no loud moment outweighs the rest.
    bool features(double speed, const SignatureFeatures*& phase0, const SignatureFeatures*& phase1, std::string& error);

private:
    struct AtSpeed {
        double speed = 1.0;
        SignatureFeatures phases[2];
    };
    static AtSpeed analyse(const Spectrogram& gram, double speed);

    std::vector<float> samples_;
    FingerprintParams params_;
    std::vector<Landmark> landmarks_;
    std::vector<AtSpeed> speeds_;
};

}  // namespace melodex::server
