// A sound file used as the microphone (the --mic-file option): any format
// libsndfile reads (WAV, FLAC, Ogg Vorbis, Opus, MP3), converted to 8000 Hz
// mono 16-bit. Each recording hears the file from its beginning, at the pace
// of the platform's clock (real time on the sdl backend, the virtual clock
// on the headless backend), and silence after its end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Decodes the file now. False with *error set when it cannot be read; the
// microphone is then unchanged.
bool UseMicrophoneFile(const std::string& path, std::string* error);
// Back to the real microphone (or none).
void ForgetMicrophoneFile();

// The file's samples as the microphone delivers them.
const std::vector<std::int16_t>& MicrophoneFileSamples();  // valid until the file changes
