#pragma once

#include <string>
#include <vector>

#include "server/fingerprint/pcm_audio.h"

namespace melodex::server {

// Down-mixes interleaved audio to mono and resamples it to the fingerprint rate (libswresample).
// Returns false with a reason when the conversion cannot be set up.
bool toFingerprintRate(const PcmAudio& in, std::vector<float>& out, std::string& error);

}  // namespace melodex::server
