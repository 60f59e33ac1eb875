#pragma once

#include <string>
#include <vector>

namespace melodex::server {

// Decodes the first audio stream of any file FFmpeg reads (MP3, AAC/M4A, FLAC, Ogg Vorbis, Opus,
// WAV, ...) straight to mono float samples at the fingerprint rate. Returns false with a reason.
bool decodeAudioFile(const std::string& path, std::vector<float>& samples, std::string& error);

}  // namespace melodex::server
