#pragma once

// Degradations applied to query recordings in the evaluation.

#include <cstdint>
#include <string>
#include <vector>

namespace melodex::bench {

// Adds white or pink noise at `snrDb` relative to the signal's own power.
void addNoise(std::vector<float>& signal, double snrDb, bool pink, uint32_t seed);
// Fourth-order 300-3400 Hz band-pass (two high-pass and two low-pass biquads) at 8 kHz.
void bandPass(std::vector<float>& signal);
// GSM full-rate round trip through sox; false when sox is missing or fails.
bool gsmRoundTrip(std::vector<float>& signal, const std::string& workDir, std::string& error);

}  // namespace melodex::bench
