#pragma once

// Generated test inputs: signals (tones, melodies, noise) and the files and request bodies built
// from them, and pictures.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace melodex::server::test {

std::vector<float> tone(double hz, double seconds);
// A random melody with a bass line and percussive noise, different for every seed.
std::vector<float> melody(uint32_t seed, double seconds, int rate = 8000);
// Adds white noise at the given signal-to-noise ratio in dB.
void addWhiteNoise(std::vector<float>& signal, double snrDb, uint32_t seed);

std::vector<int16_t> toPcm16(const std::vector<float>& samples);
// A plain 16-bit PCM WAV file (interleaved samples).
std::vector<uint8_t> wavFile(const std::vector<float>& samples, int rate, int channels = 1);
void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
// The phone client's request body, byte by byte as the client builds it: its fixed 4096-byte
// header and 88000 samples at 8 kHz.
std::vector<uint8_t> clientBody(const std::vector<float>& samples8k);

// A JPEG or PNG of the given size filled with a gradient; the size of a JPEG ({0, 0}: unreadable).
std::vector<uint8_t> makeJpeg(int width, int height);
std::vector<uint8_t> makePng(int width, int height);
std::pair<int, int> jpegSize(const std::string& jpeg);

}  // namespace melodex::server::test
