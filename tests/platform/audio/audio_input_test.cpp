// Wave input seen through the MM_WIM_DATA messages a window receives, from the
// fake device and from a sound file as the microphone. The fake device's
// failures are exercised by the recorder's tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/audio/fake_wave_in.h"
#include "platform/audio/microphone_file.h"
#include "platform/audio/wave_in.h"
#include "tests/platform/audio/test_sound_file.h"
#include "tests/platform/window/window_fixture.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

constexpr WAVEFORMATEX kFormat = {WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};

class WaveIn : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    InstallFakeWaveIn();
  }
  void TearDown() override {
    RemoveFakeWaveIn();
    ForgetMicrophoneFile();
    fs::remove_all(folder_);
    WindowTest::TearDown();
  }
  MMRESULT open() {
    return waveInOpen(&device_, WAVE_MAPPER, &kFormat, reinterpret_cast<DWORD_PTR>(hwnd_), 0, CALLBACK_WINDOW);
  }
  std::vector<Received> handedBack() {
    DispatchPending();
    return Only(MM_WIM_DATA);
  }

  void tones(const char* name, int rate, double seconds) {
    EXPECT_TRUE(test_sound::WriteStereoTones(folder_ / name, rate, seconds));
    std::string error;
    EXPECT_TRUE(UseMicrophoneFile(folder_ / name, &error)) << error;
  }
  // Records `seconds` by the virtual clock; `during` runs once capture started.
  std::vector<std::int16_t> record(double seconds, const std::function<void(const WAVEHDR&)>& during = nullptr) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(seconds * 8000));
    WAVEHDR header{reinterpret_cast<LPSTR>(samples.data()), static_cast<DWORD>(samples.size() * 2), 0, 0, 0, 0,
                   nullptr, 0};
    EXPECT_EQ(open(), 0u);
    waveInPrepareHeader(device_, &header, sizeof header);
    waveInAddBuffer(device_, &header, sizeof header);
    EXPECT_EQ(waveInStart(device_), 0u);
    if (during) during(header);
    const std::size_t before = Only(MM_WIM_DATA).size();
    AdvanceClock(static_cast<int>(seconds * 1000));
    // The file is delivered on a thread of its own: wait for the hand-back.
    for (int i = 0; i < 200 && Only(MM_WIM_DATA).size() == before; ++i) WaitForPostedMessage(10);
    EXPECT_EQ(Only(MM_WIM_DATA).size(), before + 1);
    waveInUnprepareHeader(device_, &header, sizeof header);
    EXPECT_EQ(waveInClose(device_), 0u);
    return samples;
  }

  std::vector<char> buffer_ = std::vector<char>(1600);  // 800 samples
  WAVEHDR header_{buffer_.data(), 1600, 0, 0, 0, 0, nullptr, 0};
  HWAVEIN device_ = nullptr;
  const fs::path folder_ = MakeTempFolder("melodex-mic");
};

TEST_F(WaveIn, CallsCheckArgumentsBuffersComeBackAndAFileMicrophoneIsHeardAsItsMonoMixOrRefusedWhenUnreadable) {
  HWAVEIN device = nullptr;
  EXPECT_EQ(waveInOpen(nullptr, WAVE_MAPPER, &kFormat, 0, 0, CALLBACK_WINDOW), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveInOpen(&device, WAVE_MAPPER, nullptr, 0, 0, CALLBACK_WINDOW), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveInOpen(&device, 3, &kFormat, 0, 0, CALLBACK_WINDOW), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(waveInOpen(&device, WAVE_MAPPER, &kFormat, 0, 0, 0x30000), MMSYSERR_INVALFLAG);
  for (WAVEFORMATEX wrong : {WAVEFORMATEX{WAVE_FORMAT_PCM, 2, 8000, 32000, 4, 16, 0},
                             WAVEFORMATEX{WAVE_FORMAT_PCM, 1, 44100, 88200, 2, 16, 0},
                             WAVEFORMATEX{WAVE_FORMAT_PCM, 1, 8000, 8000, 1, 8, 0},
                             WAVEFORMATEX{3, 1, 8000, 16000, 2, 16, 0}})
    EXPECT_EQ(waveInOpen(&device, WAVE_MAPPER, &wrong, 0, 0, CALLBACK_WINDOW), WAVERR_BADFORMAT);
  EXPECT_EQ(device, nullptr);

  ASSERT_EQ(open(), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInAddBuffer(device_, &header_, sizeof header_), WAVERR_UNPREPARED);
  EXPECT_EQ(waveInPrepareHeader(device_, nullptr, sizeof header_), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveInPrepareHeader(device_, &header_, sizeof header_ - 1), MMSYSERR_INVALPARAM);
  WAVEHDR empty{};
  EXPECT_EQ(waveInPrepareHeader(device_, &empty, sizeof empty), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveInPrepareHeader(nullptr, &header_, sizeof header_), MMSYSERR_INVALHANDLE);

  // Buffers fill and come back to the window.
  ASSERT_EQ(waveInPrepareHeader(device_, &header_, sizeof header_), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInAddBuffer(device_, &header_, sizeof header_), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInStart(device_), MMSYSERR_NOERROR);
  std::vector<std::int16_t> captured(1000);
  for (std::size_t i = 0; i < captured.size(); ++i) captured[i] = static_cast<std::int16_t>(i * 7 - 3000);
  ASSERT_TRUE(FakeWaveInCapture(captured.data(), 799));
  EXPECT_TRUE(handedBack().empty());
  EXPECT_TRUE(header_.dwFlags & WHDR_INQUEUE);
  ASSERT_TRUE(FakeWaveInCapture(captured.data() + 799, 201));  // the rest finds no buffer: lost
  ASSERT_EQ(handedBack().size(), 1u);
  EXPECT_EQ(handedBack()[0].wParam, reinterpret_cast<WPARAM>(device_));
  EXPECT_EQ(handedBack()[0].lParam, reinterpret_cast<LPARAM>(&header_));
  EXPECT_EQ(header_.dwBytesRecorded, 1600u);
  EXPECT_EQ(header_.dwFlags, static_cast<DWORD>(WHDR_DONE | WHDR_PREPARED));
  EXPECT_EQ(std::memcmp(buffer_.data(), captured.data(), 1600), 0);

  // Stop hands back a part-filled buffer; a stopped device captures nothing.
  ASSERT_EQ(waveInAddBuffer(device_, &header_, sizeof header_), MMSYSERR_NOERROR);
  ASSERT_TRUE(FakeWaveInCaptureConstant(5, 100));
  EXPECT_EQ(waveInStop(device_), MMSYSERR_NOERROR);
  ASSERT_EQ(handedBack().size(), 2u);
  EXPECT_EQ(header_.dwBytesRecorded, 200u);
  EXPECT_FALSE(FakeWaveInCaptureConstant(5, 100));

  // Queued again: busy until a reset hands it back empty.
  ASSERT_EQ(waveInAddBuffer(device_, &header_, sizeof header_), MMSYSERR_NOERROR);
  EXPECT_EQ(header_.dwBytesRecorded, 0u);
  EXPECT_EQ(waveInAddBuffer(device_, &header_, sizeof header_), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveInUnprepareHeader(device_, &header_, sizeof header_), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveInClose(device_), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveInReset(device_), MMSYSERR_NOERROR);
  ASSERT_EQ(handedBack().size(), 3u);
  EXPECT_EQ(waveInUnprepareHeader(device_, &header_, sizeof header_), MMSYSERR_NOERROR);
  EXPECT_EQ(header_.dwFlags, static_cast<DWORD>(WHDR_DONE));
  EXPECT_EQ(waveInClose(device_), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInStart(device_), MMSYSERR_INVALHANDLE);

  RemoveFakeWaveIn();
  EXPECT_EQ(open(), MMSYSERR_NODRIVER) << "the headless backend has no device of its own";
  // A sound file as the microphone: one that cannot be read leaves it as it was.
  std::string error;
  EXPECT_FALSE(UseMicrophoneFile(folder_ / "missing.wav", &error));
  EXPECT_NE(error.find("missing.wav"), std::string::npos);
  EXPECT_EQ(open(), MMSYSERR_NODRIVER);
  tones("tones.wav", 8000, 1.0);
  std::ofstream(folder_ / "damaged.wav") << "RIFF\x10\0\0\0WAVEfmt garbage that is not a sound file";
  error.clear();
  EXPECT_FALSE(UseMicrophoneFile(folder_ / "damaged.wav", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(MicrophoneFileSamples().size(), 8000u);

  // A stereo file is heard as its mono mix at 8000 Hz, at the clock's pace, then silence; from its start each time.
  tones("tones.wav", 44100, 1.5);
  EXPECT_NEAR(static_cast<double>(MicrophoneFileSamples().size()), 12000, 2);
  const auto samples = record(2.0, [this](const WAVEHDR& header) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(header.dwBytesRecorded, 0u) << "no virtual time has passed";
    AdvanceClock(250);
    for (int i = 0; i < 2000 && header.dwBytesRecorded == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(header.dwBytesRecorded, 4000u) << "a quarter of a second";
  });
  int worst = 0;  // the resampler keeps the samples in place
  for (std::size_t n = 100; n < 11900; ++n)
    worst = std::max(worst, std::abs(int(std::lround(32767 * test_sound::Mix(n / 8000.0))) - samples[n]));
  EXPECT_LE(worst, 40) << "of 32767: 16-bit input and the filter's ripple";
  EXPECT_TRUE(std::all_of(samples.begin() + 12010, samples.end(), [](std::int16_t s) { return s == 0; }));
  EXPECT_EQ(record(2.0), samples) << "every recording hears the file from its beginning";
}

}  // namespace
