// The constant front of every recording body: a 4096-byte WAV header that
// the recorder copies once in front of its samples. Its quirks are part of
// the identification service's contract and are kept as they are: the RIFF
// size is stored most significant byte first, the bits-per-sample field
// holds 1, and the data chunk's size is 0.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

constexpr std::size_t WAV_HEADER_LENGTH = 4096;
using WavHeader = std::array<std::uint8_t, WAV_HEADER_LENGTH>;

namespace wav_header_detail {

constexpr std::uint32_t kRiffSize = 180088;  // the whole body less 8
constexpr std::uint32_t kPaddingSize = 4044;  // up to the data chunk at 4088
static_assert(44 + kPaddingSize == 4088);

constexpr void Text(WavHeader& h, std::size_t at, const char (&word)[5]) {
  for (std::size_t i = 0; i < 4; ++i) h[at + i] = static_cast<std::uint8_t>(word[i]);
}
constexpr void Little(WavHeader& h, std::size_t at, std::uint32_t value, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) h[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}
constexpr void Big(WavHeader& h, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) h[at + i] = static_cast<std::uint8_t>(value >> (8 * (3 - i)));
}

constexpr WavHeader Make() {
  WavHeader h{};
  Text(h, 0, "RIFF");
  Big(h, 4, kRiffSize);
  Text(h, 8, "WAVE");
  Text(h, 12, "fmt ");
  Little(h, 16, 16, 4);     // format chunk size
  Little(h, 20, 1, 2);      // PCM
  Little(h, 22, 1, 2);      // channels
  Little(h, 24, 8000, 4);   // samples per second
  Little(h, 28, 16000, 4);  // bytes per second
  Little(h, 32, 2, 2);      // block alignment
  Little(h, 34, 1, 2);      // bits-per-sample field, as the service expects it
  Text(h, 36, "PAD ");
  Little(h, 40, kPaddingSize, 4);
  Text(h, 4088, "data");
  Little(h, 4092, 0, 4);    // data size
  return h;
}

}  // namespace wav_header_detail

inline constexpr WavHeader WAV_HEADER_TEMPLATE = wav_header_detail::Make();
