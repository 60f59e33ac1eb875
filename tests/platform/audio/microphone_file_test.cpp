// A sound file as the microphone: decoded from several formats, mixed to
// mono and resampled to 8000 Hz, delivered by the virtual clock, silence
// after its end, the same samples for every recording.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/audio/fake_wave_in.h"
#include "platform/audio/microphone_file.h"
#include "platform/audio/wave_in.h"
#include "tests/platform/audio/test_sound_file.h"
#include "tests/platform/window/window_fixture.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

constexpr WAVEFORMATEX kFormat = {WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
constexpr int kLossless = 40;  // of 32767: 16-bit input and the filter's ripple

class MicrophoneFile : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    RemoveFakeWaveIn();
  }
  void TearDown() override {
    ForgetMicrophoneFile();
    fs::remove_all(folder_);
    WindowTest::TearDown();
  }
  fs::path tones(const char* name, int rate, double seconds, int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16) {
    EXPECT_TRUE(test_sound::WriteStereoTones(folder_ / name, rate, seconds, format));
    std::string error;
    EXPECT_TRUE(UseMicrophoneFile(folder_ / name, &error)) << error;
    return folder_ / name;
  }
  // Records `seconds` by the virtual clock; `during` runs once capture started.
  std::vector<std::int16_t> record(double seconds, const std::function<void(const WAVEHDR&)>& during = nullptr) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(seconds * 8000));
    WAVEHDR header{reinterpret_cast<LPSTR>(samples.data()), static_cast<DWORD>(samples.size() * 2), 0, 0, 0, 0, nullptr, 0};
    HWAVEIN device = nullptr;
    EXPECT_EQ(waveInOpen(&device, WAVE_MAPPER, &kFormat, reinterpret_cast<DWORD_PTR>(hwnd_), 0, CALLBACK_WINDOW), 0u);
    waveInPrepareHeader(device, &header, sizeof header);
    waveInAddBuffer(device, &header, sizeof header);
    EXPECT_EQ(waveInStart(device), 0u);
    if (during) during(header);
    const std::size_t before = Only(MM_WIM_DATA).size();
    AdvanceClock(static_cast<int>(seconds * 1000));
    // The file is delivered on a thread of its own: wait for the hand-back.
    for (int i = 0; i < 200 && Only(MM_WIM_DATA).size() == before; ++i) WaitForPostedMessage(10);
    EXPECT_EQ(Only(MM_WIM_DATA).size(), before + 1);
    waveInUnprepareHeader(device, &header, sizeof header);
    EXPECT_EQ(waveInClose(device), 0u);
    return samples;
  }

  const fs::path folder_ = MakeTempFolder("melodex-mic");
};

TEST_F(MicrophoneFile, AStereoFileIsHeardAsItsMonoMixAt8000FromItsStartEachTime) {
  tones("tones.wav", 44100, 3.0);
  EXPECT_NEAR(static_cast<double>(MicrophoneFileSamples().size()), 24000, 2);
  const auto samples = record(2.0);
  int shift = 99;
  EXPECT_LE(test_sound::LargestError(samples, 100, samples.size(), 3, &shift), kLossless);
  EXPECT_LE(std::abs(shift), 1);
  EXPECT_EQ(record(2.0), samples) << "every recording hears the file from its beginning";
}

TEST_F(MicrophoneFile, SamplesComeAtThePaceOfTheVirtualClockThenSilence) {
  tones("short.wav", 22050, 0.5);
  const auto samples = record(1.0, [this](const WAVEHDR& header) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(header.dwBytesRecorded, 0u) << "no virtual time has passed";
    AdvanceClock(250);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(header.dwBytesRecorded, 4000u) << "a quarter of a second";
  });
  EXPECT_LE(test_sound::LargestError(samples, 100, 3900, 3, nullptr), kLossless);
  EXPECT_TRUE(std::all_of(samples.begin() + 4010, samples.end(), [](std::int16_t s) { return s == 0; }));
}

TEST_F(MicrophoneFile, FlacOggVorbisOpusAndMp3AreReadToo) {
  for (const auto& [name, format, rate, tolerance] :
       {std::tuple("tones.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, kLossless),
        std::tuple("tones.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 1500),
        std::tuple("tones.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000, 1500),
        std::tuple("tones.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 1500)}) {
    SCOPED_TRACE(name);
    tones(name, rate, 1.5, format);
    const auto samples = record(1.0);
    // Lossy coders may add a start-up delay of their own.
    EXPECT_LE(test_sound::LargestError(samples, 400, samples.size(), tolerance > kLossless ? 20 : 3, nullptr), tolerance);
  }
}

TEST_F(MicrophoneFile, AnUnreadableFileIsRefusedAndTheMicrophoneStaysAsItWas) {
  std::string error;
  EXPECT_FALSE(UseMicrophoneFile(folder_ / "missing.wav", &error));
  EXPECT_NE(error.find("missing.wav"), std::string::npos);
  HWAVEIN device = nullptr;
  EXPECT_EQ(waveInOpen(&device, WAVE_MAPPER, &kFormat, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
  tones("tones.wav", 8000, 1.0);
  std::ofstream(folder_ / "damaged.wav") << "RIFF\x10\0\0\0WAVEfmt garbage that is not a sound file";
  error.clear();
  EXPECT_FALSE(UseMicrophoneFile(folder_ / "damaged.wav", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(MicrophoneFileSamples().size(), 8000u);
  ASSERT_EQ(waveInOpen(&device, WAVE_MAPPER, &kFormat, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInClose(device), MMSYSERR_NOERROR);
}

}  // namespace
