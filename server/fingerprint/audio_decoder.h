#pragma once

#include <string>
#include <vector>

namespace melodex::server {

// The longest audio one file may decode to: beyond it a file is refused rather than filling memory.
constexpr double kMaxDecodedSeconds = 2 * 3600.0;

// Decodes the first audio stream of any file FFmpeg reads (MP3, AAC/M4A, FLAC, Ogg Vorbis, Opus,
// WAV, ...) straight to mono float samples at the fingerprint rate. Returns false with a reason:
// also for sample rates outside kMinSampleRate..kMaxSampleRate and audio longer than
// `maxSeconds` (kMaxDecodedSeconds unless a caller needs less).
bool decodeAudioFile(const std::string& path, std::vector<float>& samples, std::string& error,
                     double maxSeconds = kMaxDecodedSeconds);

}  // namespace melodex::server
