#pragma once

// Degradations applied to query recordings in the evaluation.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace melodex::bench {

// The mean square of the samples from `begin` to `end` (0 for none).
double power(const float* begin, const float* end);
// Adds white or pink noise at `snrDb` relative to the signal's own power; returns the noise's
// root mean square as added, before any scaling that keeps the sum from clipping.
double addNoise(std::vector<float>& signal, double snrDb, bool pink, uint32_t seed);
// Fourth-order 300-3400 Hz band-pass (two high-pass and two low-pass biquads) at 8 kHz.
void bandPass(std::vector<float>& signal);
// Another recording playing underneath, `snrDb` quieter than the signal (`other` is cut or
// repeated to the signal's length).
void mixUnder(std::vector<float>& signal, const std::vector<float>& other, double snrDb);
// A phone across a room: the telephone band, a small room's reverberation and pink noise at +10 dB.
void room(std::vector<float>& signal, uint32_t seed);
// A small loudspeaker: nothing below ~600 Hz and a driven cone's soft clipping.
void loudspeaker(std::vector<float>& signal);
// `length` samples of music played `factor` times faster (pitch and tempo together, as a
// turntable or a radio playing fast does), starting at `start` in the 8 kHz source.
std::vector<float> speedChanged(const std::vector<float>& source, size_t start, size_t length, double factor);
// GSM full-rate round trip through sox; false when sox is missing or fails.
bool gsmRoundTrip(std::vector<float>& signal, const std::string& workDir, std::string& error);

}  // namespace melodex::bench
