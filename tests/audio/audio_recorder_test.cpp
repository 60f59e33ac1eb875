// The recorder in a running program, over the fake device: what it records,
// what it logs, and the device never left open, touched after a racing cancel
// or capturing into a freed buffer.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <numeric>
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
  void start() {
    InstallFakeWaveIn();
    app_ = std::make_unique<HeadlessApp>();
    ASSERT_TRUE(app_->started());
    g_pRecorder = new AudioRecorder(g_hWnd);  // the program's from here, as the recording thread's would be
    recorder_ = g_pRecorder;
    mark_ = app_->log().size();
  }
  void TearDown() override {
    app_.reset();
    RemoveFakeWaveIn();
  }
  // The log lines written since the last call, without the common prefix.
  std::string newLog() {
    std::string fresh = app_->log().substr(mark_);
    mark_ += fresh.size();
    for (std::size_t at; (at = fresh.find("AudioRecorder::")) != std::string::npos;) fresh.erase(at, 15);
    return fresh;
  }

  std::unique_ptr<HeadlessApp> app_;
  AudioRecorder* recorder_ = nullptr;
  std::size_t mark_ = 0;
};

TEST_F(Recorder, EachFailureGivesItsCodeLogsWhyAndLeavesNoDeviceOpenThenRecordingsFillTheBodyBehindTheWavHeader) {
  start();
  using F = FakeWaveInFailures;
  const std::string failedOpen = "recordAudio: error opening audio device!\r\nhandleRecordError: ";
  const std::string setUp = "recordAudio: setting up buffer\r\nrecordAudio: error setting up buffer!\r\nhandleRecordError: ";
  // A failure injected into one device call: the result, the log lines after
  // "opening device", and the calls the recorder made.
  const struct {
    MMRESULT FakeWaveInFailures::*call;
    MMRESULT code;
    int result;
    const char* log;
    Calls calls;
  } table[] = {
      {&F::open, 5, RECORD_NO_DEVICE, "no device!", {"open"}},
      {&F::open, 6, RECORD_NO_DEVICE, "no driver!", {"open"}},
      {&F::open, 7, RECORD_NO_MEMORY, "unable to allocate or lock memory!", {"open"}},
      {&F::open, 11, RECORD_ALIGNMENT_ERROR, "audio record alignment error!", {"open"}},
      {&F::open, 1, RECORD_OTHER_ERROR, "unknown error!", {"open"}},
      {&F::open, 32, RECORD_OTHER_ERROR, "unknown error!", {"open"}},
      {&F::prepare, MMSYSERR_NOMEM, RECORD_NO_MEMORY, "unable to allocate or lock memory!",
       {"open", "prepare", "unprepare", "close"}},
      {&F::addBuffer, MMSYSERR_INVALPARAM, RECORD_ALIGNMENT_ERROR, "audio record alignment error!",
       {"open", "prepare", "add", "unprepare", "close"}},
  };
  for (const auto& f : table) {
    SCOPED_TRACE(f.log);
    F failures;
    failures.*f.call = f.code;
    InstallFakeWaveIn(failures);
    EXPECT_EQ(recorder_->recordAudio(), f.result);
    EXPECT_EQ(newLog(), "recordAudio: opening device\r\n" + (f.calls.size() > 1 ? setUp : failedOpen) + f.log + "\r\n");
    EXPECT_EQ(FakeWaveInCalls(), f.calls);
    DispatchPending();
    EXPECT_EQ(newLog(), "") << "no buffer was queued, none comes back";
    EXPECT_EQ(recorder_->state(), RECORDING_IDLE);
  }

  // A failed start: the reset hands the buffer back, which ends no recording;
  // the recorder stays active until reset.
  F begin;
  begin.start = MMSYSERR_ERROR;
  InstallFakeWaveIn(begin);
  EXPECT_EQ(recorder_->recordAudio(), RECORD_OTHER_ERROR);
  EXPECT_EQ(newLog(), "recordAudio: opening device\r\nrecordAudio: setting up buffer\r\nrecordAudio: beginning recording\r\n"
                      "recordAudio: error starting recording!\r\nhandleRecordError: unknown error!\r\n");
  EXPECT_EQ(FakeWaveInCalls(), (Calls{"open", "prepare", "add", "start", "reset", "unprepare", "close"}));
  DispatchPending();
  EXPECT_EQ(newLog(), "Melodex: got MM_WIM_DATA message\r\n");
  EXPECT_EQ(recorder_->state(), RECORDING_ACTIVE);
  EXPECT_EQ(recorder_->recordAudio(), RECORD_NOT_IDLE);
  recorder_->reset();
  EXPECT_EQ(newLog(), "recordAudio: recorder not idle!\r\nreset: reseting state to RECORDING_IDLE\r\n");
  InstallFakeWaveIn();
  EXPECT_EQ(recorder_->recordAudio(), RECORD_STARTED);
  ASSERT_TRUE(FakeWaveInCaptureConstant(1, kSamples));
  DispatchPending();
  EXPECT_EQ(recorder_->state(), RECORDING_IDLE) << "the next hand-back ends a recording again";

  // Two recordings fill the body behind the fixed WAV header.
  std::string header("RIFF\x00\x02\xBF\x78WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1F\0\0"
                     "\x80\x3E\0\0\x02\0\x01\0PAD \xCC\x0F\0\0", 44);
  header += std::string(4044, '\0') + std::string("data\0\0\0\0", 8);  // RIFF size big-endian, 1 bit, no data size
  InstallFakeWaveIn();
  newLog();
  EXPECT_EQ(recorder_->bufferSize(), 180096u);
  for (const std::int16_t from : {-30000, 7}) {
    std::vector<std::int16_t> ramp(kSamples);
    std::iota(ramp.begin(), ramp.end(), from);  // wraps around past 32767
    ASSERT_EQ(recorder_->recordAudio(), RECORD_STARTED);
    EXPECT_EQ(recorder_->state(), RECORDING_ACTIVE);
    EXPECT_EQ(newLog(), "recordAudio: opening device\r\nrecordAudio: setting up buffer\r\nrecordAudio: beginning recording\r\n");
    ASSERT_TRUE(FakeWaveInCapture(ramp.data(), kSamples));
    DispatchPending();
    EXPECT_EQ(newLog(), "Melodex: got MM_WIM_DATA message\r\n");
    EXPECT_EQ(recorder_->state(), RECORDING_IDLE);
    EXPECT_EQ(std::memcmp(recorder_->buffer() + WAV_HEADER_LENGTH, ramp.data(), AudioRecorder::kSampleBytes), 0)
        << "every sample byte is fresh";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(recorder_->buffer()), WAV_HEADER_LENGTH), header);
  }
  EXPECT_EQ(FakeWaveInCalls(), (Calls{"open", "prepare", "add", "start", "close", "open", "prepare", "add", "start", "close"}));
}

TEST_F(Recorder, RecordingWhileActiveOrCancellingEvenWhileTheDeviceOpensLeaveTheDeviceAsTheyShould) {
  start();
  recorder_->cancelRecording();
  EXPECT_EQ(newLog(), "cancelRecording: cancelling recording\r\ncancelRecording: no recording in progress!\r\n");
  ASSERT_EQ(recorder_->recordAudio(), RECORD_STARTED);
  newLog();
  EXPECT_EQ(recorder_->recordAudio(), RECORD_NOT_IDLE);
  EXPECT_EQ(recorder_->handleRecordError(0), RECORD_STARTED);
  EXPECT_EQ(newLog(), "recordAudio: recorder not idle!\r\n");
  ASSERT_TRUE(FakeWaveInCaptureConstant(3, 1000));
  recorder_->cancelRecording();
  EXPECT_EQ(newLog(), "cancelRecording: cancelling recording\r\ncancelRecording: stopping recording\r\n"
                      "cancelRecording: resetting\r\ncancelRecording: closing\r\ncancelRecording: resetting state\r\n");
  EXPECT_EQ(recorder_->state(), RECORDING_IDLE);
  DispatchPending();
  EXPECT_EQ(newLog(), "Melodex: got MM_WIM_DATA message\r\n") << "the late hand-back only idles";
  EXPECT_EQ(FakeWaveInCalls(), (Calls{"open", "prepare", "add", "start", "stop", "reset", "close"}));

  // A cancel while the device is being opened waits for the start and then stops it.
  FakeWaveInFailures slow;
  slow.delayMs = 40;  // each device call takes a while
  InstallFakeWaveIn(slow);
  int result = -1;
  std::thread recording([&] { result = recorder_->recordAudio(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // lands while the buffer is being queued
  recorder_->cancelRecording();
  recording.join();
  EXPECT_EQ(result, RECORD_STARTED);
  EXPECT_EQ(recorder_->state(), RECORDING_IDLE);
  EXPECT_EQ(FakeWaveInCalls(), (Calls{"open", "prepare", "add", "start", "stop", "reset", "close"}));
  EXPECT_EQ(newLog().find("handleRecordError"), std::string::npos);
  DispatchPending();

  // Leaving the listening screen resets the state while the device still captures.
  InstallFakeWaveIn();
  ASSERT_EQ(recorder_->recordAudio(), RECORD_STARTED);
  recorder_->reset();
  delete g_pRecorder.exchange(nullptr);
  EXPECT_EQ(FakeWaveInCalls(), (Calls{"open", "prepare", "add", "start", "reset", "unprepare", "close"}));
  EXPECT_FALSE(FakeWaveInCaptureConstant(1, kSamples)) << "nothing is written into the released buffer";
}

}  // namespace
