// The listening page: three seconds of the get-ready picture, the start
// sound, the scrolling waveform, the hand-over when the recorder's buffer is
// full, the try-again page when it cannot start, and every way of cancelling.
#include "screens/listening_screen.h"

#include <cstring>
#include <thread>

#include "app/screen/strip_page.h"
#include "audio/audio_recorder.h"
#include "platform/audio/fake_wave_in.h"
#include "platform/audio/sound.h"
#include "tests/support/client_fixture.h"
#include "tests/support/http_test_server.h"

namespace {

constexpr std::size_t kSamples = 88000;

class Listening : public ClientTest, public ::testing::WithParamInterface<std::pair<int, int>> {
 protected:
  // "ID song!" from the main menu, with the fake microphone unless told otherwise.
  void start(int width = 240, int height = 320, bool microphone = true, const FakeWaveInFailures& failures = {}) {
    if (microphone) InstallFakeWaveIn(failures);
    // A recording that reaches the searching page is sent where nothing listens.
    ClientTest::start(width, height, "serverURL = \"http://127.0.0.1:" + std::to_string(ClosedPort()) + "/x\"\n");
    ClearPlayedSounds();
    app_->key(VK_RETURN);
  }
  void TearDown() override {
    ClientTest::TearDown();
    RemoveFakeWaveIn();
  }
  ListeningScreen& listening() const { return page<ListeningScreen>(SCREEN_LISTENING); }
  void record() const {
    app_->wait(3000);
    awaitRecorder();
  }
  std::string logSince(std::size_t offset) const { return app_->log().substr(offset); }
};

TEST_P(Listening, WaitsThreeSecondsThenRecordsUnderAMovingWaveform) {
  start(GetParam().first, GetParam().second);
  EXPECT_TRUE(Looks("screens", "listening-waiting"));
  app_->wait(2999);
  EXPECT_TRUE(PlayedSounds().empty());
  app_->wait(1);
  ASSERT_NO_FATAL_FAILURE(awaitRecorder());
  EXPECT_EQ(PlayedSounds(), std::vector<std::wstring>{L"#159"});
  EXPECT_TRUE(Looks("screens", "listening"));
  // 15 pixels left every 100 ms, on every tile: 240 after 16 ticks, then a whole turn.
  app_->wait(1600);
  EXPECT_TRUE(Looks("screens", "listening-scrolled"));
  app_->wait(100);
  EXPECT_TRUE(Looks("screens", "listening"));
  EXPECT_EQ(StripTileCount(320, 240), 3);

  // Ending the program while it records takes the buffer back from the device first.
  app_.reset();
  const auto calls = FakeWaveInCalls();
  EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
            (std::vector<std::string>{"reset", "unprepare", "close"}));
  EXPECT_FALSE(FakeWaveInCaptureConstant(1, kSamples));
}

INSTANTIATE_TEST_SUITE_P(Sizes, Listening, ::testing::Values(std::pair{240, 320}, std::pair{480, 640}));

// A recording that cannot start shows the try-again page; one that does is cancelled in either phase by Escape, the
// left soft key or a bottom-left tap.
TEST_F(Listening, ARecordingThatCannotStartShowsTheTryAgainPageAndEveryCancelActsInEitherPhase) {
  FakeWaveInFailures failedStart;
  failedStart.start = MMSYSERR_ERROR;
  for (const bool microphone : {false, true}) {
    start(240, 320, microphone, failedStart);
    app_->wait(3000);
    PumpWhile([&] { return app_->screen() == SCREEN_LISTENING; });
    ASSERT_EQ(app_->screen(), SCREEN_RECORD_FAILED);
    EXPECT_EQ(g_apScreens[SCREEN_SEARCHING], nullptr);
    EXPECT_EQ(g_nBackTop, 0) << "nothing was popped";
    EXPECT_TRUE(microphone || logSince(app_->log().find("Melodex starting up\r\n") + 21) ==
                                  "AudioRecorder::recordAudio: opening device\r\n"
                                  "AudioRecorder::recordAudio: error opening audio device!\r\n"
                                  "AudioRecorder::handleRecordError: no driver!\r\n"
                                  "AudioRecorder::reset: reseting state to RECORDING_IDLE\r\n")
        << app_->log();
  }
  start();
  for (auto cancel : {+[](HeadlessApp& a) { a.key(VK_ESCAPE); }, +[](HeadlessApp& a) { a.key(VK_F1); },
                      +[](HeadlessApp& a) { a.tap(10, 320 - 10); }}) {
    ASSERT_EQ(app_->screen(), SCREEN_LISTENING);
    for (const UINT vk : {VK_RETURN, VK_F2, VK_UP, UINT{'5'}}) app_->key(vk);
    app_->tap(200, 320 - 10);
    app_->tap(10, 320 - 55);
    EXPECT_EQ(app_->screen(), SCREEN_LISTENING) << "none of these cancel";
    cancel(*app_);
    EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
    app_->key(VK_RETURN);
  }
  app_->key(VK_ESCAPE);
  app_->wait(5000);
  EXPECT_TRUE(PlayedSounds().empty()) << "no sound, no recording";
  EXPECT_EQ(g_pRecorder.load(), nullptr);

  // The next recording still goes on to the searching page, with the whole buffer.
  app_->key(VK_RETURN);
  const std::size_t recording = app_->log().size();
  ASSERT_NO_FATAL_FAILURE(record());
  EXPECT_NE(listening().recorderThreadId(), std::this_thread::get_id()) << "the recorder starts on a thread of its own";
  ASSERT_TRUE(FakeWaveInCaptureConstant(1234, kSamples));
  DispatchPending();
  EXPECT_EQ(logSince(recording),
            "AudioRecorder::recordAudio: opening device\r\nAudioRecorder::recordAudio: setting up buffer\r\n"
            "AudioRecorder::recordAudio: beginning recording\r\nMelodex: got MM_WIM_DATA message\r\n"
            "AudioRecorder::reset: reseting state to RECORDING_IDLE\r\n");
  EXPECT_EQ(std::tuple(listening().phase(), g_nBackTop, g_apScreens[SCREEN_SEARCHING] != nullptr),
            std::tuple(int{ListeningScreen::PHASE_DONE}, 0, true));
  const BYTE* body = g_pRecorder.load()->buffer();
  EXPECT_EQ(std::memcmp(body, WAV_HEADER_TEMPLATE.data(), WAV_HEADER_LENGTH), 0);
  const auto* samples = reinterpret_cast<const std::int16_t*>(body + WAV_HEADER_LENGTH);
  EXPECT_TRUE(std::all_of(samples, samples + kSamples, [](std::int16_t s) { return s == 1234; }));
  // A cancel while it records returns at once, and the hand-back pops the menu's entry.
  app_->key(VK_F1);
  app_->key(VK_RETURN);
  ASSERT_NO_FATAL_FAILURE(record());
  app_->wait(3 * 100);
  const int offset = listening().scrollOffset();
  const std::size_t before = app_->log().size();
  app_->key(VK_ESCAPE);
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
  EXPECT_EQ(
      logSince(before),
      "ListeningScreen::cancelRecording: cancelling recording\r\n"
      "AudioRecorder::cancelRecording: cancelling recording\r\nAudioRecorder::cancelRecording: stopping recording\r\n"
      "AudioRecorder::cancelRecording: resetting\r\nAudioRecorder::cancelRecording: closing\r\n"
      "AudioRecorder::cancelRecording: resetting state\r\n"
      "AudioRecorder::reset: reseting state to RECORDING_IDLE\r\nMelodex: got MM_WIM_DATA message\r\n");
  EXPECT_EQ(g_nBackTop, -1);
  EXPECT_FALSE(listening().cancelled());

  // A second visit scrolls on from where the first stopped; the cancel
  // request from outside ends it, and is answered with 1 where there is nothing to cancel.
  app_->key(VK_RETURN);
  EXPECT_EQ(listening().phase(), ListeningScreen::PHASE_WAITING);
  ASSERT_NO_FATAL_FAILURE(record());
  app_->wait(100);
  EXPECT_EQ(listening().scrollOffset(), (offset + 15) % 255);
  PostMessageW(g_hWnd, WM_USER + 1, 0, 0);
  DispatchPending();
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
  EXPECT_EQ(SendMessageW(g_hWnd, WM_USER + 1, 0, 0), 1);

  // Started from another page (here as if from help), a cancel ends there.
  app_->key(VK_RETURN);
  PushScreen(SCREEN_HELP);
  ASSERT_NO_FATAL_FAILURE(record());
  app_->tap(30, 300);
  EXPECT_EQ(app_->screen(), SCREEN_HELP);
  EXPECT_EQ(g_nBackTop, 0);
}

}  // namespace
