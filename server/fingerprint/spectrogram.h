#pragma once

#include <cstddef>
#include <vector>

#include "server/fingerprint/fingerprint_params.h"

namespace melodex::server {

// Bands of the signature (signature.h): kBands log-spaced bands over [minBin, maxBin).
constexpr int kBands = 17;

// Log-power spectrogram of the band [minBin, maxBin): frames() rows of bins() values, row-major;
// beside it the same as linear power, and the power of each frame in kBands wider bands
// (linear, frames x kBands).
struct Spectrogram {
    int frames = 0;
    int bins = 0;
    std::vector<float> values;
    std::vector<float> power;
    std::vector<float> bandPower;

    float at(int frame, int bin) const { return values[static_cast<size_t>(frame) * bins + bin]; }
};

// First bin of each band (relative to minBin), and the end of the last: log-spaced, so that each
// band spans the same musical interval.
std::vector<int> bandEdges(const FingerprintParams& params);

// Hann-windowed short-time FFT (FFTW, single precision). `offset` starts the first frame that many
// samples into the signal, which lets a query be analysed at several phases of the hop.
Spectrogram computeSpectrogram(const float* samples, size_t count, const FingerprintParams& params, int offset = 0);
// The same into an existing spectrogram, reusing its storage.
void computeSpectrogram(const float* samples, size_t count, const FingerprintParams& params, int offset, Spectrogram& out);

}  // namespace melodex::server
