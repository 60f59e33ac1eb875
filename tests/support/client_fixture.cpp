#include "tests/support/client_fixture.h"

#include <chrono>
#include <fstream>
#include <thread>

#include "app/strings.h"
#include "audio/audio_recorder.h"
#include "screens/result_screen.h"

SongRecord Song::record() const {
  SongRecord r;
  r.tagNumber = tag;
  r.album = DupWideString(L"Shorelines");
  r.artist = DupWideString(artist.c_str());
  r.trackTitle = DupWideString(track.c_str());
  r.ringer = DupString(links[0]);
  r.fullSong = DupString(links[1]);
  r.wallpaper = DupString(links[2]);
  r.recommend = DupString(links[3]);
  r.smsMessage = DupString(sms);
  return r;
}

void ClientTest::start(int width, int height, const std::string& settings, bool atSplash) {
  app_.reset();
  HeadlessApp::Options options;
  options.width = width;
  options.height = height;
  options.settings = settings.empty() ? "browserPath = \"true\"\n" : settings;
  app_ = std::make_unique<HeadlessApp>(options);
  ASSERT_TRUE(app_->started());
  started();
  if (!atSplash) app_->skipSplash();
}

void ClientTest::keys(std::initializer_list<UINT> codes) const {
  for (const UINT vk : codes) app_->key(vk);
}

void ClientTest::type(const std::string& digits) const {
  for (const char digit : digits) app_->key(static_cast<UINT>(digit));
}

void ClientTest::showResult(const SongRecord* record) const {
  PushScreen(SCREEN_MAIN_MENU);
  SwitchScreen(SCREEN_RESULT);
  page<ResultScreen>(SCREEN_RESULT).setRecord(record);
  DispatchPending();
}

const SongRecord* ClientTest::shown() const {
  return g_apScreens[SCREEN_RESULT] ? page<ResultScreen>(SCREEN_RESULT).record() : nullptr;
}

void ClientTest::writeFile(const std::string& name, const std::string& bytes) const {
  std::ofstream(app_->home() / name, std::ios::binary) << bytes;
}

bool ClientTest::stored(const std::string& name) const { return std::filesystem::exists(app_->home() / name); }

void ClientTest::awaitRecorder() const {
  for (int i = 0; i < 10000 && !(g_pRecorder && g_pRecorder.load()->state() == RECORDING_ACTIVE); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(g_pRecorder && g_pRecorder.load()->state() == RECORDING_ACTIVE);
}

::testing::AssertionResult ClientTest::Looks(const std::string& folder, const std::string& name) const {
  return MatchesReference(
      app_->pixels(), folder + "/reference/" + name + "-" + std::to_string(W()) + "x" + std::to_string(H()) + ".png");
}
