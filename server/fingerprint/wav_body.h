#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "server/fingerprint/pcm_audio.h"

namespace melodex::server {

// Size of the body the phone client posts: a 4096-byte header and 11 s of 8 kHz 16-bit samples.
constexpr size_t kClientBodySize = 180096;
constexpr size_t kClientHeaderSize = 4096;

// Shortest recording worth looking up.
constexpr double kMinimumQuerySeconds = 1.0;

enum class WavStatus { Ok, Empty, NotWav, Unsupported, Truncated, TooShort };

struct WavParse {
    WavStatus status = WavStatus::Ok;
    std::string message;  // human-readable reason when status is not Ok
    PcmAudio audio;
};

// Reads a RIFF/WAVE body: the phone client's form (big-endian RIFF size, a bits field of 1 and
// a data size of 0 meaning "the rest of the body") as well as ordinary PCM or float WAV files.
// The sample width is taken from the block alignment, which both forms state correctly.
WavParse parseWavBody(const uint8_t* data, size_t size);

// The phone client's body for 8 kHz mono samples in [-1, 1]: its fixed header, then exactly
// 88000 16-bit samples (cut or padded with silence). Used by tools that replay recordings.
std::vector<uint8_t> buildClientBody(const std::vector<float>& samples8k);

}  // namespace melodex::server
