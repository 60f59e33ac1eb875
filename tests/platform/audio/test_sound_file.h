// Sound files for microphone tests, written with libsndfile: a stereo tone
// pair whose mono mix at 8000 Hz is known exactly.
#pragma once

#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace test_sound {

constexpr double kPi = 3.14159265358979323846;

// The mono mix of the two channels below, at time t seconds, full scale 1.
inline double Mix(double t) { return 0.4 * std::sin(2 * kPi * 440 * t) + 0.1 * std::sin(2 * kPi * 1500 * t); }

// Writes `seconds` of 16-bit stereo at `rate`: the left channel carries 440 Hz
// and 1000 Hz, the right 440 Hz, the 1000 Hz tone inverted, and 1500 Hz, so
// that only a true average of the channels gives Mix.
inline bool WriteStereoTones(const std::string& path, int rate, double seconds,
                             int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16) {
  SF_INFO info{0, rate, 2, format, 0, 0};
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) return false;
  const auto frames = static_cast<sf_count_t>(seconds * rate);
  std::vector<float> data(static_cast<std::size_t>(frames) * 2);
  for (sf_count_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / rate, a = 0.4 * std::sin(2 * kPi * 440 * t);
    data[2 * i] = static_cast<float>(a + 0.2 * std::sin(2 * kPi * 1000 * t));
    data[2 * i + 1] = static_cast<float>(a - 0.2 * std::sin(2 * kPi * 1000 * t) + 0.2 * std::sin(2 * kPi * 1500 * t));
  }
  const bool written = sf_writef_float(file, data.data(), frames) == frames;
  sf_close(file);
  return written;
}

// The largest difference between `got` (8000 Hz samples) and Mix over samples
// [from, to), at the best shift within +-maxShift samples (the resampler's
// delay); *shift receives that shift.
inline int LargestError(const std::vector<std::int16_t>& got, std::size_t from, std::size_t to, int maxShift,
                        int* shift) {
  int best = 1 << 30;
  for (int s = -maxShift; s <= maxShift; ++s) {
    int worst = 0;
    for (std::size_t n = from; n < to && n < got.size(); ++n)
      worst = std::max(worst, static_cast<int>(std::lround(std::fabs(32767.0 * Mix((double(n) - s) / 8000.0) - got[n]))));
    if (worst >= best) continue;
    best = worst;
    if (shift) *shift = s;
  }
  return best;
}

}  // namespace test_sound
