// The set-up the client tests share: one headless melodex at a size, past
// its splash screen, a found song to show, and the steps many tests take.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/screen/screen_manager.h"
#include "app/state.h"
#include "ident/song_record.h"
#include "platform/window/headless.h"
#include "platform/window/window.h"
#include "tests/support/headless_app.h"
#include "tests/support/reference_image.h"

// A found song as the service names it; a null link stays absent.
struct Song {
  int tag = 4;
  std::wstring artist = L"Nightjar";
  std::wstring track = L"Low Tide";
  // ringer, fullSong, wallpaper, recommend: the order of the page's link items.
  const char* links[4] = {"http://store.test/ringer", "http://store.test/song", "http://store.test/wallpaper",
                          "http://store.test/picks"};
  const char* sms = "I just found Low Tide by Nightjar";
  SongRecord record() const;
};

// The window shows a compiled-in GIF: every window pixel of the GIF's w x h
// rectangle at (x, y) is the GIF's own; pixels outside the window are not compared.
inline ::testing::AssertionResult ShowsGif(const HeadlessApp& app, int gifId, int x, int y, int w, int h) {
  const int width = app.pixels().width;
  const int height = app.pixels().height;
  int mismatches = 0;
  for (int j = 0; j < h; ++j)
    for (int i = 0; i < w; ++i) {
      if (x + i < 0 || y + j < 0 || x + i >= width || y + j >= height) continue;
      if (app.pixel(x + i, y + j) != GifPixel(gifId, i, j)) ++mismatches;
    }
  if (mismatches == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << mismatches << " pixels of GIF " << gifId << " differ at (" << x << ", " << y
                                       << ")";
}

class ClientTest : public ::testing::Test {
 protected:
  void TearDown() override { app_.reset(); }

  // A new program (any earlier one ends first), at the main menu unless
  // `atSplash`. Store links open in a browser that does nothing, unless
  // `settings` are given.
  void start(int width = 240, int height = 320, const std::string& settings = "", bool atSplash = false);
  void keys(std::initializer_list<UINT> codes) const;
  void type(const std::string& digits) const;
  // The result page showing `record` (null: not found), as an
  // identification started from the main menu ends.
  void showResult(const SongRecord* record) const;
  // The record the result page shows, or null.
  const SongRecord* shown() const;
  // The recording thread runs in real time: waits for it to start the recorder.
  void awaitRecorder() const;
  // Files in the program's data folder.
  void writeFile(const std::string& name, const std::string& bytes) const;
  bool stored(const std::string& name) const;
  // Called once a program has started: where a fixture sets up its fakes.
  virtual void started() {}
  // The window against tests/FOLDER/reference/NAME-WxH.png.
  ::testing::AssertionResult Looks(const std::string& folder, const std::string& name) const;

  template <typename Page>
  Page& page(int index) const {
    return *static_cast<Page*>(g_apScreens[index]);
  }
  int W() const { return app_->pixels().width; }
  int H() const { return app_->pixels().height; }

  std::unique_ptr<HeadlessApp> app_;
};
