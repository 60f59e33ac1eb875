// The listening page as the user meets it: three seconds of the get-ready
// picture, the start sound, the scrolling waveform, the hand-over when the
// recorder's buffer is full, the try-again page when it cannot start, and
// every way of cancelling, with the back stack and the log.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "app/screen/screen_manager.h"
#include "app/screen/strip_page.h"
#include "audio/audio_recorder.h"
#include "platform/audio/fake_wave_in.h"
#include "platform/audio/sound.h"
#include "platform/window/headless.h"
#include "platform/window/window.h"
#include "screens/listening_screen.h"
#include "tests/support/client_fixture.h"
#include "tests/support/gif_check.h"
#include "tests/support/http_test_server.h"

namespace {

constexpr std::size_t kSamples = AudioRecorder::kSampleBytes / 2;

class Listening : public ClientTest {
 protected:
  // "ID song!" from the main menu, with the fake microphone unless `microphone` is false.
  void start(int width = 240, int height = 320, bool microphone = true, const FakeWaveInFailures& failures = {}) {
    if (microphone) InstallFakeWaveIn(failures);
    // A recording that reaches the searching page is sent where nothing listens.
    ClientTest::start(width, height,
                      "serverURL = \"http://127.0.0.1:" + std::to_string(ClosedPort()) + "/servlet/QuaverId\"\n");
    ClearPlayedSounds();
    app_->key(VK_RETURN);
    ASSERT_EQ(app_->screen(), SCREEN_LISTENING);
  }
  void TearDown() override {
    ClientTest::TearDown();
    RemoveFakeWaveIn();
  }

  ListeningScreen& listening() const { return page<ListeningScreen>(SCREEN_LISTENING); }
  // The recording thread runs in real time: wait for it to have started the recorder.
  void enterRecordingPhase() {
    app_->wait(ListeningScreen::kWaitMs);
    awaitRecorder();
  }
  void awaitRecorder() {
    for (int i = 0; i < 2000 && !(g_pRecorder && g_pRecorder.load()->state() == RECORDING_ACTIVE); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(g_pRecorder && g_pRecorder.load()->state() == RECORDING_ACTIVE);
  }
  void fillBuffer(std::int16_t value) {
    ASSERT_TRUE(FakeWaveInCaptureConstant(value, kSamples));
    DispatchPending();
  }
  std::string logSinceMenu() const {
    const std::string log = app_->log();
    return log.substr(log.find("Melodex starting up\r\n") + 21);
  }
};

struct Size {
  int width, height;
};
class ListeningPage : public Listening, public ::testing::WithParamInterface<Size> {};

TEST_P(ListeningPage, WaitsThreeSecondsThenRecordsUnderAMovingWaveform) {
  start(GetParam().width, GetParam().height);
  EXPECT_TRUE(Looks("screens", "listening-waiting"));
  app_->wait(2999);
  EXPECT_TRUE(PlayedSounds().empty());
  app_->wait(1);
  ASSERT_NO_FATAL_FAILURE(awaitRecorder());
  EXPECT_EQ(PlayedSounds(), std::vector<std::wstring>{L"#159"});
  EXPECT_TRUE(Looks("screens", "listening"));

  // 15 pixels left every 100 ms: 0, 15, ... 240, then 0 again, on every tile.
  const int third = (H() - 43) / 3;
  const int stripY = 43 + third + third / 2 - 49 / 2;
  for (int tick = 1; tick <= 17; ++tick) {
    app_->wait(ListeningScreen::kScrollMs);
    const int offset = tick * 15 % 255;
    ASSERT_EQ(listening().scrollOffset(), offset);
    ASSERT_TRUE(ShowsGif(*app_, 120, 0, stripY, W(), 49, offset, 240)) << "offset " << offset;
  }
  EXPECT_EQ(StripTileCount(320, 240), 3);

  // Ending the program while it records takes the buffer back from the device first.
  app_.reset();
  const auto calls = FakeWaveInCalls();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
            (std::vector<std::string>{"reset", "unprepare", "close"}));
  EXPECT_FALSE(FakeWaveInCaptureConstant(1, kSamples));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ListeningPage, ::testing::Values(Size{240, 320}, Size{480, 640}),
                         [](const auto& info) {
                           return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

TEST_F(Listening, AFullBufferGoesOnToTheSearchingPageWithTheRecording) {
  start();
  ASSERT_NO_FATAL_FAILURE(enterRecordingPhase());
  EXPECT_NE(listening().recorderThreadId(), std::this_thread::get_id()) << "the recorder starts on a thread of its own";
  fillBuffer(1234);
  EXPECT_EQ(logSinceMenu(),
            "AudioRecorder::recordAudio: opening device\r\n"
            "AudioRecorder::recordAudio: setting up buffer\r\n"
            "AudioRecorder::recordAudio: beginning recording\r\n"
            "Melodex: got MM_WIM_DATA message\r\n"
            "AudioRecorder::reset: reseting state to RECORDING_IDLE\r\n");
  // The searching page came; its request soon fails where nothing listens.
  EXPECT_NE(g_apScreens[SCREEN_SEARCHING], nullptr);
  EXPECT_EQ(listening().phase(), ListeningScreen::PHASE_DONE);
  const BYTE* body = g_pRecorder.load()->buffer();
  EXPECT_EQ(std::memcmp(body, WAV_HEADER_TEMPLATE.data(), WAV_HEADER_LENGTH), 0);
  const auto* samples = reinterpret_cast<const std::int16_t*>(body + WAV_HEADER_LENGTH);
  EXPECT_TRUE(std::all_of(samples, samples + kSamples, [](std::int16_t s) { return s == 1234; }));
  EXPECT_EQ(g_nBackTop, 0) << "the back stack keeps the menu";
}

TEST_F(Listening, ARecordingThatCannotStartShowsTheTryAgainPage) {
  FakeWaveInFailures failedStart;
  failedStart.start = MMSYSERR_ERROR;
  for (const bool microphone : {false, true}) {
    start(240, 320, microphone, failedStart);
    app_->wait(ListeningScreen::kWaitMs);
    PumpWhile([&] { return app_->screen() == SCREEN_LISTENING; });
    DispatchPending();
    ASSERT_EQ(app_->screen(), SCREEN_RECORD_FAILED);
    EXPECT_EQ(g_apScreens[SCREEN_SEARCHING], nullptr);
    EXPECT_EQ(g_nBackTop, 0) << "nothing was popped";
    if (!microphone) {
      EXPECT_EQ(logSinceMenu(),
                "AudioRecorder::recordAudio: opening device\r\n"
                "AudioRecorder::recordAudio: error opening audio device!\r\n"
                "AudioRecorder::handleRecordError: no driver!\r\n"
                "AudioRecorder::reset: reseting state to RECORDING_IDLE\r\n");
    }
    app_->key(VK_F2);
    EXPECT_EQ(app_->screen(), SCREEN_RECORD_FAILED);
    app_->key(VK_F1);
    EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
  }
}

TEST_F(Listening, EscapeTheLeftSoftKeyAndABottomLeftTapCancelTheWait) {
  start();
  for (auto cancel : {+[](HeadlessApp& a) { a.key(VK_ESCAPE); }, +[](HeadlessApp& a) { a.key(VK_F1); },
                      +[](HeadlessApp& a) { a.tap(10, 320 - 10); }}) {
    app_->key(VK_RETURN);
    ASSERT_EQ(app_->screen(), SCREEN_LISTENING);
    for (const UINT vk : {VK_RETURN, VK_F2, VK_UP, UINT{'5'}}) app_->key(vk);
    app_->tap(200, 320 - 10);
    app_->tap(10, 320 - 55);
    EXPECT_EQ(app_->screen(), SCREEN_LISTENING) << "none of these cancel";
    cancel(*app_);
    EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
  }
  app_->wait(5000);
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
  EXPECT_TRUE(PlayedSounds().empty()) << "no sound, no recording";
  EXPECT_EQ(g_pRecorder.load(), nullptr);

  // The next recording still goes on to the searching page, not back.
  app_->key(VK_RETURN);
  ASSERT_NO_FATAL_FAILURE(enterRecordingPhase());
  fillBuffer(1);
  EXPECT_NE(g_apScreens[SCREEN_SEARCHING], nullptr);
}

TEST_F(Listening, ACancelWhileRecordingReturnsAtOnceAndThenToWhereTheListeningStarted) {
  start();
  ASSERT_NO_FATAL_FAILURE(enterRecordingPhase());
  app_->wait(3 * ListeningScreen::kScrollMs);
  const int offset = listening().scrollOffset();
  const std::size_t before = app_->log().size();
  app_->key(VK_ESCAPE);
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
  EXPECT_EQ(app_->log().substr(before),
            "ListeningScreen::cancelRecording: cancelling recording\r\n"
            "AudioRecorder::cancelRecording: cancelling recording\r\n"
            "AudioRecorder::cancelRecording: stopping recording\r\n"
            "AudioRecorder::cancelRecording: resetting\r\n"
            "AudioRecorder::cancelRecording: closing\r\n"
            "AudioRecorder::cancelRecording: resetting state\r\n"
            "AudioRecorder::reset: reseting state to RECORDING_IDLE\r\n"
            "Melodex: got MM_WIM_DATA message\r\n");
  EXPECT_EQ(g_nBackTop, -1) << "the hand-back popped the menu's entry; the menu was already current";
  EXPECT_FALSE(listening().cancelled());

  // A second visit scrolls on from where the first stopped.
  app_->key(VK_RETURN);
  EXPECT_EQ(listening().phase(), ListeningScreen::PHASE_WAITING);
  ASSERT_NO_FATAL_FAILURE(enterRecordingPhase());
  app_->wait(ListeningScreen::kScrollMs);
  EXPECT_EQ(listening().scrollOffset(), (offset + 15) % 255);

  // The cancel request from outside; answered with 1 where it has nothing to cancel.
  PostMessageW(g_hWnd, WM_USER + 1, 0, 0);
  DispatchPending();
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
  EXPECT_EQ(SendMessageW(g_hWnd, WM_USER + 1, 0, 0), 1);

  // Started from another page (here as if from help), a cancel ends there.
  app_->key(VK_RETURN);
  PushScreen(SCREEN_HELP);
  ASSERT_NO_FATAL_FAILURE(enterRecordingPhase());
  app_->tap(30, 300);
  EXPECT_EQ(app_->screen(), SCREEN_HELP);
  EXPECT_EQ(g_nBackTop, 0);
}

}  // namespace
