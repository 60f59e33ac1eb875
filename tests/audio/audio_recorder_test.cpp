// The recorder in a running program, over the fake device: the body it
// builds, each result code with its log lines in order, the cancel and
// hand-back paths, and the faults it must not have (a device left open after
// a failed set-up or start, a device touched after a racing cancel, a buffer
// freed under a capturing device).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "app/state.h"
#include "audio/audio_recorder.h"
#include "platform/audio/fake_wave_in.h"
#include "platform/window/headless.h"
#include "tests/support/headless_app.h"

namespace {

using Calls = std::vector<std::string>;
constexpr std::size_t kSamples = AudioRecorder::kSampleBytes / 2;

class Recorder : public ::testing::Test {
 protected:
  void start(const FakeWaveInFailures& failures = {}) {
    InstallFakeWaveIn(failures);
    app_ = std::make_unique<HeadlessApp>();
    ASSERT_TRUE(app_->started());
    // Owned by the program from here, as the recording thread's would be.
    g_pRecorder = new AudioRecorder(g_hWnd);
    recorder_ = g_pRecorder;
    mark_ = app_->log().size();
  }
  void TearDown() override {
    app_.reset();
    RemoveFakeWaveIn();
  }

  // The log lines written since start() or the last call.
  std::string newLog() {
    const std::string log = app_->log();
    std::string fresh = log.substr(mark_);
    mark_ = log.size();
    return fresh;
  }
  // The device fills the buffer; the program handles the hand-back.
  void capture(const std::vector<std::int16_t>& samples) {
    ASSERT_TRUE(FakeWaveInCapture(samples.data(), samples.size()));
    DispatchPending();
  }
  std::vector<std::int16_t> body() const {
    std::vector<std::int16_t> samples(kSamples);
    std::memcpy(samples.data(), recorder_->buffer() + WAV_HEADER_LENGTH, AudioRecorder::kSampleBytes);
    return samples;
  }

  std::unique_ptr<HeadlessApp> app_;
  AudioRecorder* recorder_ = nullptr;
  std::size_t mark_ = 0;
};

std::vector<std::int16_t> Ramp(int from) {
  std::vector<std::int16_t> samples(kSamples);
  for (std::size_t i = 0; i < kSamples; ++i) samples[i] = static_cast<std::int16_t>(from + static_cast<int>(i));
  return samples;
}

TEST_F(Recorder, TwoRecordingsFillTheBodyBehindAnUntouchedHeader) {
  start();
  EXPECT_EQ(recorder_->bufferSize(), 180096u);
  EXPECT_EQ(std::memcmp(recorder_->buffer(), WAV_HEADER_TEMPLATE.data(), WAV_HEADER_LENGTH), 0);
  EXPECT_EQ(recorder_->state(), RECORDING_IDLE);

  ASSERT_EQ(recorder_->recordAudio(), RECORD_STARTED);
  EXPECT_EQ(recorder_->state(), RECORDING_ACTIVE);
  EXPECT_EQ(newLog(),
            "AudioRecorder::recordAudio: opening device\r\n"
            "AudioRecorder::recordAudio: setting up buffer\r\n"
            "AudioRecorder::recordAudio: beginning recording\r\n");
  capture(Ramp(-30000));
  EXPECT_EQ(newLog(), "Melodex: got MM_WIM_DATA message\r\n");
  EXPECT_EQ(recorder_->state(), RECORDING_IDLE);
  EXPECT_EQ(FakeWaveInCalls(), (Calls{"open", "prepare", "add", "start", "close"}));
  EXPECT_EQ(body(), Ramp(-30000));

  ASSERT_EQ(recorder_->recordAudio(), RECORD_STARTED);
  capture(Ramp(7));
  EXPECT_EQ(body(), Ramp(7)) << "every sample byte is fresh";
  EXPECT_EQ(std::memcmp(recorder_->buffer(), WAV_HEADER_TEMPLATE.data(), WAV_HEADER_LENGTH), 0);
}

struct OpenFailure {
  MMRESULT code;
  int result;
  const char* line;
};

class RecorderOpenFailure : public Recorder, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(RecorderOpenFailure, MapsTheCodeAndLogsWhy) {
  FakeWaveInFailures failures;
  failures.open = GetParam().code;
  start(failures);
  EXPECT_EQ(recorder_->recordAudio(), GetParam().result);
  EXPECT_EQ(newLog(), std::string("AudioRecorder::recordAudio: opening device\r\n"
                                  "AudioRecorder::recordAudio: error opening audio device!\r\n") +
                          GetParam().line);
  EXPECT_EQ(recorder_->state(), RECORDING_IDLE);
  EXPECT_EQ(FakeWaveInCalls(), (Calls{"open"}));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, RecorderOpenFailure,
    ::testing::Values(OpenFailure{5, 1, "AudioRecorder::handleRecordError: no device!\r\n"},
                      OpenFailure{6, 1, "AudioRecorder::handleRecordError: no driver!\r\n"},
                      OpenFailure{7, 3, "AudioRecorder::handleRecordError: unable to allocate or lock memory!\r\n"},
                      OpenFailure{11, 2, "AudioRecorder::handleRecordError: audio record alignment error!\r\n"},
                      OpenFailure{1, 5, "AudioRecorder::handleRecordError: unknown error!\r\n"},
                      OpenFailure{32, 5, "AudioRecorder::handleRecordError: unknown error!\r\n"}),
    [](const auto& info) { return "Code" + std::to_string(info.param.code); });

TEST_F(Recorder, AFailedBufferSetUpClosesTheDevice) {
  FakeWaveInFailures failures;
  failures.prepare = MMSYSERR_NOMEM;
  start(failures);
  EXPECT_EQ(recorder_->recordAudio(), RECORD_NO_MEMORY);
  EXPECT_EQ(newLog(),
            "AudioRecorder::recordAudio: opening device\r\n"
            "AudioRecorder::recordAudio: setting up buffer\r\n"
            "AudioRecorder::recordAudio: error setting up buffer!\r\n"
            "AudioRecorder::handleRecordError: unable to allocate or lock memory!\r\n");
  EXPECT_EQ(FakeWaveInCalls(), (Calls{"open", "prepare", "unprepare", "close"}));
  EXPECT_EQ(recorder_->state(), RECORDING_IDLE);

  failures = {};
  failures.addBuffer = MMSYSERR_INVALPARAM;
  InstallFakeWaveIn(failures);
  EXPECT_EQ(recorder_->recordAudio(), RECORD_ALIGNMENT_ERROR);
  EXPECT_EQ(FakeWaveInCalls(), (Calls{"open", "prepare", "add", "unprepare", "close"}));
  DispatchPending();
  EXPECT_EQ(newLog().find("MM_WIM_DATA"), std::string::npos) << "no buffer was queued, none comes back";
}

TEST_F(Recorder, AFailedStartClosesTheDeviceAndStaysActiveUntilReset) {
  FakeWaveInFailures failures;
  failures.start = MMSYSERR_ERROR;
  start(failures);
  EXPECT_EQ(recorder_->recordAudio(), RECORD_OTHER_ERROR);
  EXPECT_EQ(newLog(),
            "AudioRecorder::recordAudio: opening device\r\n"
            "AudioRecorder::recordAudio: setting up buffer\r\n"
            "AudioRecorder::recordAudio: beginning recording\r\n"
            "AudioRecorder::recordAudio: error starting recording!\r\n"
            "AudioRecorder::handleRecordError: unknown error!\r\n");
  EXPECT_EQ(FakeWaveInCalls(), (Calls{"open", "prepare", "add", "start", "reset", "unprepare", "close"}));
  // The buffer that the reset handed back ends no recording.
  DispatchPending();
  EXPECT_EQ(newLog(), "Melodex: got MM_WIM_DATA message\r\n");
  EXPECT_EQ(recorder_->state(), RECORDING_ACTIVE);

  EXPECT_EQ(recorder_->recordAudio(), RECORD_NOT_IDLE);
  recorder_->reset();
  EXPECT_EQ(newLog(),
            "AudioRecorder::recordAudio: recorder not idle!\r\n"
            "AudioRecorder::reset: reseting state to RECORDING_IDLE\r\n");
  InstallFakeWaveIn();
  EXPECT_EQ(recorder_->recordAudio(), RECORD_STARTED);
  capture(Ramp(1));
  EXPECT_EQ(recorder_->state(), RECORDING_IDLE) << "the next hand-back ends a recording again";
}

TEST_F(Recorder, RecordingWhileActiveLeavesTheDeviceAlone) {
  start();
  ASSERT_EQ(recorder_->recordAudio(), RECORD_STARTED);
  newLog();
  EXPECT_EQ(recorder_->recordAudio(), RECORD_NOT_IDLE);
  EXPECT_EQ(newLog(), "AudioRecorder::recordAudio: recorder not idle!\r\n");
  EXPECT_EQ(FakeWaveInCalls(), (Calls{"open", "prepare", "add", "start"}));
  EXPECT_EQ(recorder_->handleRecordError(0), RECORD_STARTED);
  EXPECT_EQ(newLog(), "");
}

TEST_F(Recorder, CancelStopsResetsAndClosesAndTheLateHandBackOnlyIdles) {
  start();
  recorder_->cancelRecording();
  EXPECT_EQ(newLog(),
            "AudioRecorder::cancelRecording: cancelling recording\r\n"
            "AudioRecorder::cancelRecording: no recording in progress!\r\n");
  EXPECT_TRUE(FakeWaveInCalls().empty());

  ASSERT_EQ(recorder_->recordAudio(), RECORD_STARTED);
  ASSERT_TRUE(FakeWaveInCaptureConstant(3, 1000));
  newLog();
  recorder_->cancelRecording();
  EXPECT_EQ(newLog(),
            "AudioRecorder::cancelRecording: cancelling recording\r\n"
            "AudioRecorder::cancelRecording: stopping recording\r\n"
            "AudioRecorder::cancelRecording: resetting\r\n"
            "AudioRecorder::cancelRecording: closing\r\n"
            "AudioRecorder::cancelRecording: resetting state\r\n");
  EXPECT_EQ(recorder_->state(), RECORDING_IDLE);
  DispatchPending();
  EXPECT_EQ(newLog(), "Melodex: got MM_WIM_DATA message\r\n");
  EXPECT_EQ(FakeWaveInCalls(), (Calls{"open", "prepare", "add", "start", "stop", "reset", "close"}))
      << "the device was already closed";
}

TEST_F(Recorder, ADestroyedRecorderTakesItsBufferBackFromACapturingDevice) {
  start();
  ASSERT_EQ(recorder_->recordAudio(), RECORD_STARTED);
  // Leaving the listening screen resets the state while the device still captures.
  recorder_->reset();
  delete g_pRecorder.exchange(nullptr);
  EXPECT_EQ(FakeWaveInCalls(), (Calls{"open", "prepare", "add", "start", "reset", "unprepare", "close"}));
  EXPECT_FALSE(FakeWaveInCaptureConstant(1, kSamples)) << "nothing is written into the released buffer";
}

TEST_F(Recorder, ACancelWhileTheDeviceIsBeingOpenedStopsTheRecordingThatFollows) {
  FakeWaveInFailures slow;
  slow.delayMs = 40;  // each device call takes a while
  start(slow);
  int result = -1;
  std::thread recording([&] { result = recorder_->recordAudio(); });
  // Lands while the buffer is being queued, before the state says active.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  recorder_->cancelRecording();
  recording.join();
  EXPECT_EQ(result, RECORD_STARTED);
  EXPECT_EQ(recorder_->state(), RECORDING_IDLE) << "the cancel waited for the start and then stopped it";
  EXPECT_EQ(FakeWaveInCalls(), (Calls{"open", "prepare", "add", "start", "stop", "reset", "close"}));
  EXPECT_EQ(newLog().find("handleRecordError"), std::string::npos);
}

}  // namespace
