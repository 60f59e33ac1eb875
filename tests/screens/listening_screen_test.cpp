// The listening page as the user meets it: three seconds of the get-ready
// picture, the start sound, the scrolling waveform, the hand-over when the
// recorder's buffer is full, the try-again page without a microphone, and
// every way of cancelling, with the back stack and the log.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "app/screen/screen_manager.h"
#include "app/screen/strip_page.h"
#include "app/state.h"
#include "audio/audio_recorder.h"
#include "platform/audio/fake_wave_in.h"
#include "platform/audio/microphone_file.h"
#include "platform/audio/sound.h"
#include "platform/window/headless.h"
#include "platform/window/window.h"
#include "screens/listening_screen.h"
#include "tests/platform/audio/test_sound_file.h"
#include "tests/support/headless_app.h"
#include "tests/support/http_test_server.h"

namespace {

constexpr int kBanner = 113, kGetReady = 118, kCaption = 176, kWaveform = 120, kLogo = 175, kCancel = 177;
constexpr int kStripWidth = 240, kStripHeight = 49;
constexpr std::size_t kSamples = AudioRecorder::kSampleBytes / 2;

struct Size {
  int width;
  int height;
};

class Listening : public ::testing::Test {
 protected:
  void start(Size size = {240, 320}, bool fakeMicrophone = true, const FakeWaveInFailures& failures = {}) {
    if (fakeMicrophone) InstallFakeWaveIn(failures);
    HeadlessApp::Options options;
    options.width = size.width;
    options.height = size.height;
    // A recording that reaches the searching page is sent where nothing listens.
    options.settings = "serverURL = \"http://127.0.0.1:" + std::to_string(ClosedPort()) + "/servlet/QuaverId\"\n";
    app_ = std::make_unique<HeadlessApp>(options);
    ASSERT_TRUE(app_->started());
    ClearPlayedSounds();
    app_->skipSplash();
    app_->key(VK_RETURN);  // "ID song!"
    ASSERT_EQ(app_->screen(), SCREEN_LISTENING);
  }
  void TearDown() override {
    app_.reset();
    RemoveFakeWaveIn();
  }

  ListeningScreen& screen() const { return *static_cast<ListeningScreen*>(g_apScreens[SCREEN_LISTENING]); }
  AudioRecorder* recorder() const { return g_pRecorder; }

  // The recording thread runs in real time: wait for it to have started the recorder.
  bool recorderStarted() {
    for (int i = 0; i < 2000; ++i) {
      if (recorder() && recorder()->state() == RECORDING_ACTIVE) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }
  // Until the window procedure has had a message posted by another thread.
  bool screenBecomes(int index) {
    PumpWhile([&] { return app_->screen() != index; });
    return app_->screen() == index;
  }
  void enterRecordingPhase() {
    app_->wait(ListeningScreen::kWaitMs);
    ASSERT_TRUE(recorderStarted());
  }
  // The fake microphone fills the whole buffer.
  void fillBuffer(std::int16_t value) {
    ASSERT_TRUE(FakeWaveInCaptureConstant(value, kSamples));
    DispatchPending();
  }
  std::string logSinceMenu() const {
    const std::string log = app_->log();
    return log.substr(log.find("Melodex starting up\r\n") + 21);
  }

  ::testing::AssertionResult Shows(int gifId, int x, int y, int w, int h, int gifX = 0) const {
    int mismatches = 0;
    const Surface& pixels = app_->pixels();
    for (int j = 0; j < h; ++j)
      for (int i = 0; i < w; ++i) {
        if (x + i < 0 || y + j < 0 || x + i >= pixels.width || y + j >= pixels.height) continue;
        // The waveform strip repeats, so its picture wraps round.
        const int gx = gifId == kWaveform ? (gifX + i) % kStripWidth : i;
        if (app_->pixel(x + i, y + j) != GifPixel(gifId, gx, j)) ++mismatches;
      }
    if (mismatches == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << mismatches << " pixels of GIF " << gifId << " differ at (" << x << ", " << y
                                         << ")";
  }

  std::unique_ptr<HeadlessApp> app_;
};

class ListeningPage : public Listening, public ::testing::WithParamInterface<Size> {};

TEST_P(ListeningPage, WaitsThreeSecondsThenPlaysTheSoundAndScrollsTheWaveform) {
  const int W = GetParam().width;
  const int H = GetParam().height;
  start(GetParam());
  EXPECT_TRUE(Shows(kBanner, W / 2 - 160, 0, 320, 43));
  EXPECT_TRUE(Shows(kGetReady, W / 2 - 103, (H - 43) / 2 - 54 + 43, 206, 108));
  app_->wait(2999);
  EXPECT_EQ(screen().phase(), ListeningScreen::PHASE_WAITING);
  EXPECT_TRUE(PlayedSounds().empty());

  app_->wait(1);
  ASSERT_TRUE(recorderStarted());
  EXPECT_EQ(screen().phase(), ListeningScreen::PHASE_RECORDING);
  EXPECT_EQ(PlayedSounds(), std::vector<std::wstring>{L"#159"});
  const int third = (H - 43) / 3;
  const int stripY = 43 + third + third / 2 - kStripHeight / 2;
  EXPECT_TRUE(Shows(kBanner, W / 2 - 160, 0, 320, 43));
  EXPECT_TRUE(Shows(kCaption, W / 2 - 80, 43 + third / 2 - 15, 160, 30));
  EXPECT_TRUE(Shows(kLogo, W - 82, H - 16, 82, 16));
  EXPECT_TRUE(Shows(kCancel, 20, H - 24, 67, 24));
  const int offset = screen().scrollOffset();
  EXPECT_TRUE(Shows(kWaveform, 0, stripY, W, kStripHeight, offset)) << "offset " << offset;

  app_->wait(ListeningScreen::kScrollMs);
  const int moved = (offset + 15) % 255;
  EXPECT_EQ(screen().scrollOffset(), moved);
  EXPECT_TRUE(Shows(kWaveform, 0, stripY, W, kStripHeight, moved)) << "the strip moved 15 pixels left";
}

INSTANTIATE_TEST_SUITE_P(Sizes, ListeningPage, ::testing::Values(Size{240, 320}, Size{480, 640}),
                         [](const auto& info) {
                           return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

TEST_F(Listening, TheWaveformCyclesThroughSeventeenOffsets) {
  start();
  enterRecordingPhase();
  const int first = screen().scrollOffset();
  std::vector<int> offsets;
  for (int frame = 0; frame < 17; ++frame) {
    offsets.push_back((screen().scrollOffset() - first + 255) % 255);
    app_->wait(ListeningScreen::kScrollMs);
  }
  std::vector<int> expected;
  for (int i = 0; i < 17; ++i) expected.push_back(i * 15);
  EXPECT_EQ(offsets, expected);
  EXPECT_EQ(screen().scrollOffset(), first) << "after 240 comes 0: a cycle of 17 frames";

  EXPECT_EQ(StripTileCount(240, kStripWidth), 2);
  EXPECT_EQ(StripTileCount(320, kStripWidth), 3);
  EXPECT_EQ(StripTileCount(480, kStripWidth), 4);
}

TEST_F(Listening, AFullBufferGoesOnToTheSearchingScreenAndKeepsTheRecording) {
  start();
  enterRecordingPhase();
  EXPECT_NE(screen().recorderThreadId(), std::this_thread::get_id()) << "the recorder starts on a thread of its own";
  fillBuffer(1234);
  EXPECT_EQ(logSinceMenu(),
            "AudioRecorder::recordAudio: opening device\r\n"
            "AudioRecorder::recordAudio: setting up buffer\r\n"
            "AudioRecorder::recordAudio: beginning recording\r\n"
            "Melodex: got MM_WIM_DATA message\r\n"
            "AudioRecorder::reset: reseting state to RECORDING_IDLE\r\n");
  // On to the searching page, whose request soon fails where nothing listens.
  EXPECT_NE(g_apScreens[SCREEN_SEARCHING], nullptr);
  EXPECT_TRUE(app_->screen() == SCREEN_SEARCHING || app_->screen() == SCREEN_SEND_FAILED) << app_->screen();
  EXPECT_EQ(screen().phase(), ListeningScreen::PHASE_DONE);
  EXPECT_EQ(recorder()->state(), RECORDING_IDLE);
  const auto* samples = reinterpret_cast<const std::int16_t*>(recorder()->buffer() + WAV_HEADER_LENGTH);
  EXPECT_TRUE(std::all_of(samples, samples + kSamples, [](std::int16_t s) { return s == 1234; }));
  EXPECT_EQ(g_nBackTop, 0) << "the back stack keeps the menu";
}

TEST_F(Listening, WithoutAMicrophoneTheTryAgainPageOffersOk) {
  start({240, 320}, false);
  app_->wait(ListeningScreen::kWaitMs);
  ASSERT_TRUE(screenBecomes(SCREEN_RECORD_FAILED));
  EXPECT_EQ(logSinceMenu(),
            "AudioRecorder::recordAudio: opening device\r\n"
            "AudioRecorder::recordAudio: error opening audio device!\r\n"
            "AudioRecorder::handleRecordError: no driver!\r\n"
            "AudioRecorder::reset: reseting state to RECORDING_IDLE\r\n");
  const int bandTop = 320 - 55;
  EXPECT_TRUE(Shows(125, 240 / 2 - 104, (320 - 43 - 55) / 2 - 57 + 43, 208, 114));
  EXPECT_TRUE(Shows(166, 10, bandTop + 21, 24, 12)) << "OK! on the left";
  app_->key(VK_F2);
  EXPECT_EQ(app_->screen(), SCREEN_RECORD_FAILED);
  app_->key(VK_F1);
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
}

TEST_F(Listening, AFailedStartShowsTryAgainAndItsReturnedBufferIsNoRecording) {
  FakeWaveInFailures failures;
  failures.start = MMSYSERR_ERROR;
  start({240, 320}, true, failures);
  app_->wait(ListeningScreen::kWaitMs);
  ASSERT_TRUE(screenBecomes(SCREEN_RECORD_FAILED));
  DispatchPending();
  EXPECT_EQ(app_->screen(), SCREEN_RECORD_FAILED);
  EXPECT_EQ(g_apScreens[SCREEN_SEARCHING], nullptr) << "the searching page never came";
  EXPECT_EQ(g_nBackTop, 0) << "nothing was popped";
}

TEST_F(Listening, EscapeTheLeftSoftKeyAndABottomLeftTapCancelWhileWaiting) {
  start();
  for (auto cancel : {+[](HeadlessApp& a) { a.key(VK_ESCAPE); }, +[](HeadlessApp& a) { a.key(VK_F1); },
                      +[](HeadlessApp& a) { a.tap(10, 320 - 10); }}) {
    app_->key(VK_RETURN);
    ASSERT_EQ(app_->screen(), SCREEN_LISTENING);
    // None of these cancel.
    app_->key(VK_RETURN);
    app_->key(VK_F2);
    app_->key(VK_UP);
    app_->key('5');
    app_->tap(200, 320 - 10);
    app_->tap(10, 320 - 55);
    EXPECT_EQ(app_->screen(), SCREEN_LISTENING);
    cancel(*app_);
    EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
  }
  app_->wait(5000);
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
  EXPECT_TRUE(PlayedSounds().empty()) << "no sound, no recording";
  EXPECT_EQ(recorder(), nullptr);
}

TEST_F(Listening, CancelWhileRecordingReturnsToTheMenuAtOnceThenPopsWhenTheBufferComesBack) {
  start();
  enterRecordingPhase();
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
  EXPECT_EQ(g_nBackTop, -1) << "the menu's entry was popped; the menu was already current";
  EXPECT_FALSE(screen().cancelled());
}

TEST_F(Listening, ACancelledRecordingReturnsToTheScreenThatStartedIt) {
  start();
  PushScreen(SCREEN_HELP);  // as if the help page had started the listening
  enterRecordingPhase();
  app_->tap(30, 300);
  EXPECT_EQ(app_->screen(), SCREEN_HELP) << "the hand-back arrived and the back stack was popped";
  EXPECT_EQ(g_nBackTop, 0);
}

TEST_F(Listening, ACancelWhileWaitingDoesNotSpoilTheNextRecording) {
  start();
  app_->key(VK_ESCAPE);
  ASSERT_EQ(app_->screen(), SCREEN_MAIN_MENU);
  app_->key(VK_RETURN);
  enterRecordingPhase();
  fillBuffer(1);
  EXPECT_NE(g_apScreens[SCREEN_SEARCHING], nullptr) << "the recording goes on to the searching screen, not back";
  EXPECT_EQ(g_nBackTop, 0);
}

TEST_F(Listening, TheCancelRequestMessageCancelsOnlyThisPage) {
  start();
  enterRecordingPhase();
  PostMessageW(g_hWnd, WM_USER + 1, 0, 0);
  DispatchPending();
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
  EXPECT_EQ(SendMessageW(g_hWnd, WM_USER + 1, 0, 0), 1);
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
}

TEST_F(Listening, ASecondVisitScrollsOnFromWhereTheFirstStopped) {
  start();
  enterRecordingPhase();
  app_->wait(3 * ListeningScreen::kScrollMs);
  const int offset = screen().scrollOffset();
  app_->key(VK_ESCAPE);
  app_->key(VK_RETURN);
  EXPECT_EQ(screen().phase(), ListeningScreen::PHASE_WAITING);
  enterRecordingPhase();
  app_->wait(ListeningScreen::kScrollMs);
  EXPECT_EQ(screen().scrollOffset(), (offset + 15) % 255);
}

TEST_F(Listening, EndingTheProgramWhileRecordingTakesTheBufferBackFirst) {
  start();
  enterRecordingPhase();
  app_.reset();
  const auto calls = FakeWaveInCalls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
            (std::vector<std::string>{"reset", "unprepare", "close"}));
  EXPECT_FALSE(FakeWaveInCaptureConstant(1, kSamples));
}

TEST_F(Listening, AMusicFileAsTheMicrophoneEndsUpInTheBody) {
  const std::filesystem::path folder = MakeTempFolder("melodex-listen");
  const auto file = folder / "music.wav";
  ASSERT_TRUE(test_sound::WriteStereoTones(file, 44100, 12.0));
  std::string error;
  ASSERT_TRUE(UseMicrophoneFile(file, &error)) << error;
  start({240, 320}, false);
  enterRecordingPhase();
  // The file plays from the clock's reading when capture starts, just after
  // the recorder reports itself active: keep the clock moving until it is in.
  app_->wait(11000);
  PumpWhile([&] {
    if (screen().phase() == ListeningScreen::PHASE_DONE) return false;
    app_->wait(100);
    return true;
  });
  ForgetMicrophoneFile();
  std::filesystem::remove_all(folder);
  ASSERT_EQ(screen().phase(), ListeningScreen::PHASE_DONE);

  const auto* body = recorder()->buffer();
  EXPECT_EQ(std::memcmp(body, WAV_HEADER_TEMPLATE.data(), WAV_HEADER_LENGTH), 0);
  std::vector<std::int16_t> samples(kSamples);
  std::memcpy(samples.data(), body + WAV_HEADER_LENGTH, AudioRecorder::kSampleBytes);
  EXPECT_LE(test_sound::LargestError(samples, 100, kSamples, 3, nullptr), 40);
}

}  // namespace
