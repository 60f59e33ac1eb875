// The result page: the found song at every width class, the not-found page,
// the store links, the cover, the side-scrolling names, keys, taps, the
// browser and the back stack.
#include "screens/result_screen.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_image.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/screen/look.h"
#include "platform/gdi/gdi.h"
#include "tests/support/client_fixture.h"

namespace fs = std::filesystem;

namespace {

constexpr int kPlaceholder = 127, kIdPicks = 131, kShareId = 135, kFullSong = 128, kRingtone = 133;
// The narrow layout's artist value box, edges included.
constexpr RECT kArtistBox{64, 43, 239, 61};

// A JPEG cover: a blue left half and an orange right half.
void WriteCover(const fs::path& path, int width, int height) {
  SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, width, height, 32, SDL_PIXELFORMAT_ARGB8888);
  SDL_Rect left{0, 0, width / 2, height}, right{width / 2, 0, width - width / 2, height};
  SDL_FillRect(s, &left, SDL_MapRGB(s->format, 0, 0, 255));
  SDL_FillRect(s, &right, SDL_MapRGB(s->format, 255, 128, 0));
  ASSERT_EQ(IMG_SaveJPG(s, path.c_str(), 95), 0) << IMG_GetError();
  SDL_FreeSurface(s);
}

// Names in the page's font at the narrow layout: 9 to 11 pixels wider than
// the value box, exactly as wide, and 20 to 40 pixels wider.
const std::wstring kLonger = std::wstring(17, L'o') + L"m", kFits = std::wstring(16, L'o') + L"m",
                   kFarLonger = std::wstring(18, L'o') + L"m";

class Result : public ClientTest, public ::testing::WithParamInterface<std::array<int, 4>> {
 protected:
  void show(const Song& song) const {
    const SongRecord record = song.record();
    showResult(&record);
  }
  ResultScreen& result() const { return page<ResultScreen>(SCREEN_RESULT); }
  bool Item(int gifId, int x, int y) const { return ShowsGif(*app_, gifId, x, y, 86, 19); }
  // "new ID!", then back here as a new identification would end.
  void leaveAndReturn() const {
    app_->key(VK_F2);
    SwitchScreen(SCREEN_RESULT);
    DispatchPending();
  }
};

// Width, height, and where the width class puts the links; the artist
// carries an "&", which is text, not a prefix.
TEST_P(Result, NamesCoverAndLinksStandWhereTheWidthClassPutsThem) {
  const auto [width, height, linksX, linksY] = GetParam();
  start(width, height);
  WriteCover(app_->home() / "4.jpg", 40, 30);
  show(Song{.artist = L"Rock & Roll"});
  EXPECT_TRUE(Looks("screens", "result"));
  for (int k = 0; k < 5; ++k)  // each item is tapped where it is drawn
    EXPECT_EQ(std::pair(result().itemRect(k).left, result().itemRect(k).top), std::pair(linksX, linksY + 15 + 19 * k));
}

INSTANTIATE_TEST_SUITE_P(WidthClasses, Result,
                         ::testing::Values(std::array{240, 320, 133, 93}, std::array{241, 320, 141, 58},
                                           std::array{320, 240, 220, 58}, std::array{321, 480, 263, 108}));

// Store links open in a browser (here one that makes a file of the link's name).
TEST_F(Result, OnlyPresentLinksMakeItemsWhichOpenInTheBrowserByKeyAndByTap) {
  start(240, 320, "browserPath = \"touch\"\n");
  const auto link = [&](const char* name) { return (app_->root() / name).string(); };
  const auto opened = [&](const char* name) {
    for (int i = 0; i < 300 && !fs::exists(link(name)); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return fs::exists(link(name));
  };
  const std::string picks = link("picks"), picks2 = link("picks2"), song = link("song"), wallpaper = link("wallpaper");
  Song found{.links = {"null", "", nullptr, picks.c_str()}};
  show(found);
  EXPECT_EQ(result().itemCount(), 2);
  EXPECT_TRUE(Item(kIdPicks + 1, 133, 108) && Item(kShareId, 133, 127));
  EXPECT_TRUE(ShowsGif(*app_, kPlaceholder, 10, 88, 60, 50)) << "no cover file: the placeholder";
  app_->key(VK_UP);  // round to the last item, and back
  EXPECT_TRUE(Item(kShareId + 1, 133, 127));
  app_->key(VK_DOWN);
  app_->key(VK_RETURN);
  EXPECT_TRUE(opened("picks"));
  found.links[3] = "null";  // "Share ID" is always there
  show(found);
  EXPECT_EQ(result().itemCount(), 1);
  EXPECT_TRUE(Item(kShareId + 1, 133, 108));
  // A tap highlights the third item at once and opens it 100 ms later; the page stays.
  show(Song{.links = {"null", song.c_str(), wallpaper.c_str(), picks2.c_str()}});
  const uint64_t before = VirtualNowMs();
  app_->tap(133 + 80, 93 + 15 + 2 * 19 + 15);
  EXPECT_GE(VirtualNowMs() - before, 100u);
  EXPECT_TRUE(Item(kIdPicks + 1, 133, 146));
  EXPECT_TRUE(opened("picks2") && !fs::exists(song) && !fs::exists(wallpaper));
  EXPECT_EQ(app_->screen(), SCREEN_RESULT);
  EXPECT_NE(app_->log().find("LaunchURL: successfully called ShellExecuteEx\r\n"), std::string::npos);
}

TEST_F(Result, OnlySoftKeysActWithoutASongAndEvenOverAnItemFollowTheBackStack) {
  for (const auto& [w, h] : {std::pair{240, 320}, std::pair{480, 640}}) {
    start(w, h);
    showResult(nullptr);
    EXPECT_TRUE(Looks("screens", "result-not-found"));
    keys({VK_DOWN, VK_RETURN});
    app_->tap(w / 2, h / 2);
    EXPECT_EQ(std::pair(app_->screen(), result().selected()), std::pair(SCREEN_RESULT, 0));
    app_->key(VK_F1);
    EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
  }
  start(240, 220);  // so short that the last items reach into the soft-key band
  show(Song{});
  const RECT share = result().itemRect(4);
  ASSERT_GT(share.bottom, 220 - 55);
  app_->tap(share.left + 5, share.bottom - 2);
  ASSERT_EQ(app_->screen(), SCREEN_LISTENING) << "the right half of the band is \"new ID!\"";
  EXPECT_EQ(std::pair(g_nBackTop, g_anBackStack[1]), std::pair(1, SCREEN_RESULT));
  // The new identification ends on a new result: the first "back" pops the
  // 6 that "new ID!" pushed and stays, the second leaves.
  SwitchScreen(SCREEN_RESULT);
  app_->key(VK_ESCAPE);
  EXPECT_EQ(app_->screen(), SCREEN_RESULT);
  app_->key(VK_LEFT);
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
}

TEST_F(Result, TheCoverComesFromTheTagFileOncePerVisitShrunkToItsRoom) {
  start();
  // Far larger than the room left of the links (118 x 177): shrunk to 118 x 59, the links uncovered.
  WriteCover(app_->home() / "4.jpg", 600, 300);
  show(Song{});
  EXPECT_TRUE(Looks("screens", "result-cover"));
  const Surface shrunk = app_->pixels();
  WriteCover(app_->home() / "4.jpg", 30, 30);
  app_->wait(3000);
  EXPECT_TRUE(app_->pixels().pixels == shrunk.pixels) << "a new file shows on the next visit only";
  leaveAndReturn();
  EXPECT_TRUE(ChangesOnlyWithin(shrunk, app_->pixels(), RECT{10, 88, 127, 146}));
  std::ofstream(app_->home() / "4.jpg", std::ios::binary) << "not a picture";
  leaveAndReturn();
  EXPECT_TRUE(ShowsGif(*app_, kPlaceholder, 10, 88, 60, 50));
}

TEST_F(Result, ALongNameSlidesRestsAndStartsAgainButBesideAnotherPassesOnce) {
  start();
  show(Song{.artist = kLonger, .track = kFits});
  ASSERT_TRUE(result().artistOverflow() >= 9 && result().artistOverflow() <= 11) << result().artistOverflow();
  ASSERT_EQ(result().trackOverflow(), 0) << "the track is exactly as wide as its box";
  // 100 ms, then a second's rest at the start, which leaves the keys working.
  app_->wait(600);
  app_->key(VK_DOWN);
  EXPECT_TRUE(Item(kFullSong + 1, 133, 127));
  const Surface still = app_->pixels();
  // Only the artist moves, 3 pixels every 200 ms; the end shows for a second, then the
  // name jumps back, rests, and moves on again: a name that alone is too long keeps cycling.
  const int steps[][2] = {{699, 0}, {1, 3}, {200, 6}, {200, 9}, {200, 12}, {999, 12}, {1, 0}, {1199, 0}, {1, 3}};
  for (const auto& [ms, offset] : steps) {
    app_->wait(ms);
    EXPECT_EQ(result().artistOffset(), offset);
    EXPECT_TRUE(offset == 0 ? ::testing::AssertionResult(app_->pixels().pixels == still.pixels)
                            : ChangesOnlyWithin(still, app_->pixels(), kArtistBox))
        << ms;
  }
  // With both names too long, the artist passes once, then only the track moves.
  show(Song{.artist = kFarLonger, .track = kFarLonger});
  int artistMoves = 0, trackMoves = 0;
  for (int t = 0; t < 40000; t += 100) {
    app_->wait(100);
    if (t < 20000) {
      artistMoves += result().artistOffset() != 0;
    } else {
      ASSERT_EQ(result().artistOffset(), 0) << "at " << t << " ms";
      trackMoves += result().trackOffset() != 0;
    }
  }
  EXPECT_GT(artistMoves, 0) << "the first pass";
  EXPECT_GT(trackMoves, 0) << "the track keeps cycling";
  leaveAndReturn();  // a new visit lets the artist pass again
  app_->wait(1300);
  EXPECT_EQ(result().artistOffset(), 3);
}

}  // namespace
