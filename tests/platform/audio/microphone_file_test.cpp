// A sound file as the microphone: decoded from several formats, mixed to
// mono and resampled to 8000 Hz, delivered by the virtual clock, silence
// after the end, the same samples for every recording.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/audio/fake_wave_in.h"
#include "platform/audio/microphone_file.h"
#include "platform/audio/wave_in.h"
#include "tests/platform/audio/test_sound_file.h"
#include "tests/platform/window/window_fixture.h"

namespace fs = std::filesystem;

namespace {

constexpr WAVEFORMATEX kFormat = {WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
constexpr int kResamplerShift = 3;  // samples of delay allowed for
constexpr int kLosslessTolerance = 40;  // of 32767: 16-bit input and the filter's ripple

class MicrophoneFile : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    RemoveFakeWaveIn();
    folder_ = fs::temp_directory_path() / ("melodex-mic-" + std::to_string(::getpid()));
    fs::create_directories(folder_);
  }
  void TearDown() override {
    ForgetMicrophoneFile();
    fs::remove_all(folder_);
    WindowTest::TearDown();
  }

  // Records `seconds` from the microphone by the virtual clock.
  std::vector<std::int16_t> record(double seconds) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(seconds * 8000));
    WAVEHDR header{};
    header.lpData = reinterpret_cast<LPSTR>(samples.data());
    header.dwBufferLength = static_cast<DWORD>(samples.size() * 2);
    HWAVEIN device = nullptr;
    EXPECT_EQ(waveInOpen(&device, WAVE_MAPPER, &kFormat, reinterpret_cast<DWORD_PTR>(hwnd_), 0, CALLBACK_WINDOW), 0u);
    EXPECT_EQ(waveInPrepareHeader(device, &header, sizeof header), 0u);
    EXPECT_EQ(waveInAddBuffer(device, &header, sizeof header), 0u);
    EXPECT_EQ(waveInStart(device), 0u);
    const std::size_t before = Only(MM_WIM_DATA).size();
    AdvanceClock(static_cast<int>(seconds * 1000));
    // The file is delivered on a thread of its own: wait for the hand-back.
    for (int i = 0; i < 200 && Only(MM_WIM_DATA).size() == before; ++i) WaitForPostedMessage(10);
    EXPECT_EQ(Only(MM_WIM_DATA).size(), before + 1);
    EXPECT_EQ(waveInUnprepareHeader(device, &header, sizeof header), 0u);
    EXPECT_EQ(waveInClose(device), 0u);
    return samples;
  }

  fs::path folder_;
};

TEST_F(MicrophoneFile, AStereo44100FileComesOutAsItsMonoMixAt8000) {
  const fs::path file = folder_ / "tones.wav";
  ASSERT_TRUE(test_sound::WriteStereoTones(file, 44100, 3.0));
  std::string error;
  ASSERT_TRUE(UseMicrophoneFile(file, &error)) << error;
  EXPECT_NEAR(static_cast<double>(MicrophoneFileSamples().size()), 24000, 2);

  const auto samples = record(2.0);
  int shift = 99;
  EXPECT_LE(test_sound::LargestError(samples, 100, samples.size(), kResamplerShift, &shift), kLosslessTolerance);
  EXPECT_LE(std::abs(shift), 1);
  EXPECT_EQ(record(2.0), samples) << "every recording hears the file from its beginning";
}

TEST_F(MicrophoneFile, AfterTheEndOfTheFileComesSilence) {
  const fs::path file = folder_ / "short.wav";
  ASSERT_TRUE(test_sound::WriteStereoTones(file, 22050, 0.5));
  std::string error;
  ASSERT_TRUE(UseMicrophoneFile(file, &error)) << error;
  const auto samples = record(1.0);
  EXPECT_LE(test_sound::LargestError(samples, 100, 3900, kResamplerShift, nullptr), kLosslessTolerance);
  EXPECT_TRUE(std::all_of(samples.begin() + 4010, samples.end(), [](std::int16_t s) { return s == 0; }));
}

TEST_F(MicrophoneFile, SamplesArriveAtThePaceOfTheVirtualClock) {
  const fs::path file = folder_ / "tones.wav";
  ASSERT_TRUE(test_sound::WriteStereoTones(file, 8000, 2.0));
  std::string error;
  ASSERT_TRUE(UseMicrophoneFile(file, &error)) << error;
  std::vector<std::int16_t> samples(16000);
  WAVEHDR header{};
  header.lpData = reinterpret_cast<LPSTR>(samples.data());
  header.dwBufferLength = 32000;
  HWAVEIN device = nullptr;
  ASSERT_EQ(waveInOpen(&device, WAVE_MAPPER, &kFormat, reinterpret_cast<DWORD_PTR>(hwnd_), 0, CALLBACK_WINDOW), 0u);
  ASSERT_EQ(waveInPrepareHeader(device, &header, sizeof header), 0u);
  ASSERT_EQ(waveInAddBuffer(device, &header, sizeof header), 0u);
  ASSERT_EQ(waveInStart(device), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(header.dwBytesRecorded, 0u) << "no virtual time has passed";
  AdvanceClock(500);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(header.dwBytesRecorded, 8000u);
  ASSERT_EQ(waveInReset(device), 0u);
  ASSERT_EQ(waveInClose(device), 0u);
}

TEST_F(MicrophoneFile, FlacOggVorbisOpusAndMp3AreReadToo) {
  struct Case {
    const char* name;
    int format;
    int rate;
    int tolerance;
  };
  for (const Case& c : {Case{"tones.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, kLosslessTolerance},
                        Case{"tones.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 1500},
                        Case{"tones.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000, 1500},
                        Case{"tones.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 1500}}) {
    SCOPED_TRACE(c.name);
    const fs::path file = folder_ / c.name;
    ASSERT_TRUE(test_sound::WriteStereoTones(file, c.rate, 1.5, c.format));
    std::string error;
    ASSERT_TRUE(UseMicrophoneFile(file, &error)) << error;
    const auto samples = record(1.0);
    // Lossy coders may add a start-up delay of their own.
    EXPECT_LE(test_sound::LargestError(samples, 400, samples.size(), c.tolerance > kLosslessTolerance ? 20 : kResamplerShift, nullptr), c.tolerance);
  }
}

TEST_F(MicrophoneFile, AnUnreadableFileIsRefusedAndTheMicrophoneStaysAsItWas) {
  std::string error;
  EXPECT_FALSE(UseMicrophoneFile(folder_ / "missing.wav", &error));
  EXPECT_NE(error.find("missing.wav"), std::string::npos);
  HWAVEIN device = nullptr;
  EXPECT_EQ(waveInOpen(&device, WAVE_MAPPER, &kFormat, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);

  const fs::path good = folder_ / "tones.wav";
  ASSERT_TRUE(test_sound::WriteStereoTones(good, 8000, 1.0));
  ASSERT_TRUE(UseMicrophoneFile(good, &error)) << error;
  const fs::path damaged = folder_ / "damaged.wav";
  std::ofstream(damaged) << "RIFF\x10\0\0\0WAVEfmt garbage that is not a sound file";
  error.clear();
  EXPECT_FALSE(UseMicrophoneFile(damaged, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(MicrophoneFileSamples().size(), 8000u);
  ASSERT_EQ(waveInOpen(&device, WAVE_MAPPER, &kFormat, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInClose(device), MMSYSERR_NOERROR);
}

}  // namespace
