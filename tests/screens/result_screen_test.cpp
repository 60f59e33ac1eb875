// The result page as the user meets it: the found song's header, names,
// cover and store links at every width class, the not-found page, the
// side-scrolling names, keys, taps, the browser, and the back stack.
#include <gtest/gtest.h>

#include <SDL2/SDL.h>
#include <SDL2/SDL_image.h>

#include <chrono>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "app/screen/look.h"
#include "app/screen/screen_manager.h"
#include "app/state.h"
#include "app/strings.h"
#include "platform/gdi/gdi.h"
#include "platform/window/headless.h"
#include "platform/window/window.h"
#include "screens/result_screen.h"
#include "tests/support/gif_check.h"
#include "tests/support/headless_app.h"

namespace fs = std::filesystem;

namespace {

constexpr int kSuccessHeader = 144, kPlainHeader = 113, kNotFound = 124, kPlaceholder = 127, kGetLabel = 130;
constexpr int kRingtone = 133, kFullSong = 128, kWallpaper = 137, kIdPicks = 131, kShareId = 135;
constexpr int kBarHeight = 55;

struct Song {
  std::wstring artist = L"Nightjar";
  std::wstring track = L"Low Tide";
  const char* ringer = "http://store.test/ringer?id=1";
  const char* fullSong = "http://store.test/song?id=1";
  const char* wallpaper = "http://store.test/wallpaper?id=1";
  const char* recommend = "http://store.test/picks?id=1";
  int tag = 4;
};

SongRecord MakeRecord(const Song& song) {
  SongRecord record;
  record.tagNumber = song.tag;
  record.artist = DupWideString(song.artist.c_str());
  record.trackTitle = DupWideString(song.track.c_str());
  record.album = DupWideString(L"Shorelines");
  record.ringer = DupString(song.ringer);
  record.fullSong = DupString(song.fullSong);
  record.wallpaper = DupString(song.wallpaper);
  record.recommend = DupString(song.recommend);
  record.smsMessage = DupString("I just found Low Tide by Nightjar");
  return record;
}

// A JPEG cover of the given size: a blue left half and an orange right half.
void WriteCover(const fs::path& path, int width, int height) {
  SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, width, height, 32, SDL_PIXELFORMAT_ARGB8888);
  SDL_Rect left{0, 0, width / 2, height};
  SDL_Rect right{width / 2, 0, width - width / 2, height};
  SDL_FillRect(s, &left, SDL_MapRGB(s->format, 0, 0, 255));
  SDL_FillRect(s, &right, SDL_MapRGB(s->format, 255, 128, 0));
  ASSERT_EQ(IMG_SaveJPG(s, path.c_str(), 95), 0) << IMG_GetError();
  SDL_FreeSurface(s);
}

bool Near(std::uint32_t pixel, std::uint32_t want) {
  for (int shift : {0, 8, 16})
    if (std::abs(static_cast<int>((pixel >> shift) & 0xFF) - static_cast<int>((want >> shift) & 0xFF)) > 24)
      return false;
  return true;
}

class ResultPage : public ::testing::Test {
 protected:
  void start(int width = 240, int height = 320, const std::string& settings = "") {
    HeadlessApp::Options options;
    options.width = width;
    options.height = height;
    options.settings = settings;
    app_.reset();  // one application at a time
    app_ = std::make_unique<HeadlessApp>(options);
    ASSERT_TRUE(app_->started());
    app_->skipSplash();
  }

  // As an identification started from the main menu ends: the menu on the
  // back stack, the result page, then its record.
  void show(const SongRecord* record) {
    PushScreen(SCREEN_MAIN_MENU);
    SwitchScreen(SCREEN_RESULT);
    page().setRecord(record);
    DispatchPending();
  }
  void show(const Song& song) {
    const SongRecord record = MakeRecord(song);
    show(&record);
  }

  ResultScreen& page() const { return *static_cast<ResultScreen*>(g_apScreens[SCREEN_RESULT]); }
  int W() const { return app_->pixels().width; }
  int H() const { return app_->pixels().height; }

  ::testing::AssertionResult Shows(int gifId, int x, int y, int w, int h) const {
    return ShowsGif(*app_, gifId, x, y, w, h);
  }

  // The pixels of a rectangle of the window, to compare two moments.
  std::vector<std::uint32_t> Area(const RECT& r) const {
    std::vector<std::uint32_t> area;
    for (int y = r.top; y < r.bottom; ++y)
      for (int x = r.left; x < r.right; ++x) area.push_back(app_->pixel(x, y));
    return area;
  }

  std::unique_ptr<HeadlessApp> app_;
};

// The three anchors of each width class, as the page lays them out.
struct Layout {
  int width, height;
  int artX, artY;    // below the 43-pixel header
  int linksX, linksY;
};

class ResultLayouts : public ResultPage, public ::testing::WithParamInterface<Layout> {};

TEST_P(ResultLayouts, HeaderCoverAndLinksStandAtTheirAnchors) {
  const Layout l = GetParam();
  start(l.width, l.height);
  WriteCover(app_->home() / "4.jpg", 40, 30);
  show(Song{});

  EXPECT_TRUE(Shows(kSuccessHeader, l.width / 2 - 160, 0, 320, 43));
  // A cover that fits is drawn at its own size at the anchor.
  EXPECT_TRUE(Near(app_->pixel(l.artX + 5, l.artY + 5), 0x0000FF));
  EXPECT_TRUE(Near(app_->pixel(l.artX + 34, l.artY + 24), 0xFF8000));
  EXPECT_EQ(app_->pixel(l.artX + 41, l.artY + 15), 0xFFFFFFu) << "the cover is not enlarged";
  EXPECT_EQ(app_->pixel(l.artX + 15, l.artY + 31), 0xFFFFFFu);

  EXPECT_TRUE(Shows(kGetLabel, l.linksX, l.linksY, 24, 15));
  const int items[] = {kRingtone, kFullSong, kWallpaper, kIdPicks, kShareId};
  ASSERT_EQ(page().itemCount(), 5);
  for (int k = 0; k < 5; ++k) {
    const int y = l.linksY + 15 + 19 * k;
    // The first item is selected, so it shows its highlighted (orange) image.
    EXPECT_TRUE(Shows(items[k] + (k == 0 ? 1 : 0), l.linksX, y, 86, 19)) << "item " << k;
    const RECT& r = page().itemRect(k);
    EXPECT_EQ(r.left, l.linksX);
    EXPECT_EQ(r.top, y);
    EXPECT_EQ(r.right, l.linksX + 86);
    EXPECT_EQ(r.bottom, y + 19);
  }
  // The soft keys "back" (30 x 12) and "new ID!".
  EXPECT_TRUE(Shows(161, 10, H() - kBarHeight + 27 - 6, 30, 12));
  EXPECT_EQ(app_->pixel(l.width / 2, H() - 5), 0x0077C0u);

  // Down moves the orange highlight to the next item.
  app_->key(VK_DOWN);
  EXPECT_TRUE(Shows(kRingtone, l.linksX, l.linksY + 15, 86, 19));
  EXPECT_TRUE(Shows(kFullSong + 1, l.linksX, l.linksY + 34, 86, 19));
}

INSTANTIATE_TEST_SUITE_P(WidthClasses, ResultLayouts,
                         ::testing::Values(Layout{240, 320, 10, 88, 133, 93}, Layout{241, 320, 10, 88, 141, 58},
                                           Layout{320, 240, 10, 88, 220, 58}, Layout{321, 480, 100, 153, 263, 108},
                                           Layout{480, 640, 100, 153, 263, 108}),
                         [](const auto& info) {
                           return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

TEST_F(ResultPage, WithoutRecordTheNotFoundPictureIsCentredAndOnlySoftKeysAct) {
  for (const auto& [w, h] : {std::pair{240, 320}, std::pair{480, 640}}) {
    start(w, h);
    show(nullptr);
    EXPECT_TRUE(Shows(kPlainHeader, w / 2 - 160, 0, 320, 43));
    EXPECT_TRUE(Shows(kNotFound, w / 2 - 92, (h - kBarHeight - 43) / 2 - 51 + 43, 184, 103));
    app_->key(VK_DOWN);
    app_->key(VK_RETURN);
    app_->tap(w / 2, h / 2);
    EXPECT_EQ(app_->screen(), SCREEN_RESULT);
    EXPECT_EQ(page().selected(), 0);
    app_->key(VK_F1);
    EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
  }
}

TEST_F(ResultPage, AbsentEmptyAndNullLinksMakeNoItem) {
  start(240, 320);
  Song song;
  song.ringer = "null";
  song.fullSong = "";
  song.wallpaper = nullptr;
  show(song);
  // Only "ID Picks" and "Share ID"; the cover is missing, so the placeholder shows.
  ASSERT_EQ(page().itemCount(), 2);
  EXPECT_TRUE(Shows(kIdPicks + 1, 133, 108, 86, 19));
  EXPECT_TRUE(Shows(kShareId, 133, 127, 86, 19));
  EXPECT_TRUE(Shows(kPlaceholder, 10, 88, 60, 50));

  // Up on the first item wraps to the last, Down on the last back to the first.
  app_->key(VK_UP);
  EXPECT_EQ(page().selected(), 1);
  EXPECT_TRUE(Shows(kShareId + 1, 133, 127, 86, 19));
  app_->key(VK_DOWN);
  EXPECT_EQ(page().selected(), 0);

  // A record whose links are all gone still offers "Share ID".
  song.recommend = "null";
  show(song);
  EXPECT_EQ(page().itemCount(), 1);
  EXPECT_TRUE(Shows(kShareId + 1, 133, 108, 86, 19));
}

TEST_F(ResultPage, StoreLinksOpenInTheBrowserByKeyAndByTap) {
  const fs::path dir = fs::temp_directory_path() / ("melodex-browser-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path script = dir / "browser";
  const fs::path seen = dir / "seen";
  std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << seen.string() << "'\n";
  fs::permissions(script, fs::perms::owner_all);
  start(240, 320, "browserPath = \"" + script.string() + "\"\n");
  Song song;
  song.ringer = "null";  // "Full Song" is item 0, "ID Picks" item 2
  show(song);

  app_->key(VK_RETURN);
  // Each link starts its own browser process: let the first one write before
  // the second starts, so that the order they are seen in is the order chosen.
  for (int i = 0; i < 200 && ReadFile(seen).empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  // Tapping "ID Picks" highlights it at once and opens it 100 ms later.
  const RECT picks = page().itemRect(2);
  const uint64_t before = VirtualNowMs();
  app_->tap(picks.left + 10, picks.top + 5);
  EXPECT_GE(VirtualNowMs() - before, 100u);
  EXPECT_EQ(page().selected(), 2);
  EXPECT_TRUE(Shows(kIdPicks + 1, 133, 108 + 38, 86, 19));
  EXPECT_EQ(app_->screen(), SCREEN_RESULT) << "the page stays while the browser runs";

  std::string urls;
  for (int i = 0; i < 200 && std::count(urls.begin(), urls.end(), '\n') < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    urls = ReadFile(seen);
  }
  EXPECT_EQ(urls, "http://store.test/song?id=1\nhttp://store.test/picks?id=1\n");
  EXPECT_NE(app_->log().find("LaunchURL: successfully called ShellExecuteEx\r\n"), std::string::npos);
  fs::remove_all(dir);
}

TEST_F(ResultPage, ATapInTheSoftKeyBandIsASoftKeyEvenOverAnItem) {
  // So short a window that the last items reach into the soft-key band.
  start(240, 220);
  show(Song{});
  const RECT share = page().itemRect(4);
  ASSERT_GT(share.bottom, H() - kBarHeight);
  app_->tap(share.left + 5, share.bottom - 2);
  EXPECT_EQ(app_->screen(), SCREEN_LISTENING) << "the right half of the band is \"new ID!\"";
}

TEST_F(ResultPage, NewIdAndBackFollowTheBackStack) {
  start(240, 320);
  show(Song{});
  app_->key(VK_F2);  // "new ID!"
  ASSERT_EQ(app_->screen(), SCREEN_LISTENING);
  ASSERT_EQ(g_nBackTop, 1);
  EXPECT_EQ(g_anBackStack[1], SCREEN_RESULT);

  // The new identification completes: a new result over the old one.
  SwitchScreen(SCREEN_RESULT);
  const SongRecord next = MakeRecord(Song{.artist = L"Second", .tag = 5});
  page().setRecord(&next);
  DispatchPending();
  app_->key(VK_ESCAPE);  // pops the 6 that "new ID!" pushed: nothing visible happens
  EXPECT_EQ(app_->screen(), SCREEN_RESULT);
  app_->key(VK_LEFT);
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
}

TEST_F(ResultPage, TheCoverComesFromTheTagFileOncePerVisitShrunkToItsRoom) {
  start(240, 320);
  // Far larger than the room left of the links (118 x 177 at 240 x 320).
  WriteCover(app_->home() / "4.jpg", 600, 300);
  show(Song{});
  EXPECT_TRUE(Near(app_->pixel(10 + 2, 88 + 2), 0x0000FF));
  EXPECT_TRUE(Near(app_->pixel(10 + 115, 88 + 2), 0xFF8000));
  // 600 x 300 into 118 x 177 keeps its proportions: 118 x 59.
  EXPECT_EQ(app_->pixel(10 + 50, 88 + 60), 0xFFFFFFu);
  EXPECT_TRUE(Shows(kRingtone + 1, 133, 108, 86, 19)) << "the links stay uncovered";

  // Loaded once per visit: a new file shows only after leaving and coming back.
  WriteCover(app_->home() / "4.jpg", 30, 30);
  app_->wait(3000);
  EXPECT_TRUE(Near(app_->pixel(10 + 100, 88 + 2), 0xFF8000));
  app_->key(VK_F2);
  SwitchScreen(SCREEN_RESULT);
  DispatchPending();
  EXPECT_EQ(app_->pixel(10 + 100, 88 + 2), 0xFFFFFFu);

  // A file that does not decode shows the placeholder.
  std::ofstream(app_->home() / "4.jpg", std::ios::binary) << "not a picture";
  app_->key(VK_F2);
  SwitchScreen(SCREEN_RESULT);
  DispatchPending();
  EXPECT_TRUE(Shows(kPlaceholder, 10, 88, 60, 50));
}

TEST_F(ResultPage, LabelsAndNamesFitTheirBoxesOnASmallScreen) {
  start(240, 320);
  show(Song{.artist = L"Hollow Tide", .track = L"Hollow Tide"});
  auto ink = [&](const RECT& r) {
    int n = 0;
    for (int y = r.top; y < r.bottom; ++y)
      for (int x = r.left; x < r.right; ++x) n += app_->pixel(x, y) != 0xFFFFFFu;
    return n;
  };
  // Label boxes (0, 43, 59, 62) and (0, 63, 59, 83); value boxes from x = 64.
  EXPECT_GT(ink(RECT{0, 43, 59, 62}), 0);
  EXPECT_EQ(ink(RECT{0, 43, 2, 83}), 0) << "\"Artist:\" and \"Track:\" start inside their boxes";
  EXPECT_GT(ink(RECT{64, 43, 240, 61}), 0);
  EXPECT_EQ(ink(RECT{64, 61, 240, 62}), 0) << "the artist's letters end above the bottom of its box";
  EXPECT_EQ(ink(RECT{64, 82, 240, 83}), 0) << "so do the track's";
}

TEST_F(ResultPage, NamesAreDrawnAsTheyAre) {
  start(480, 640);
  show(Song{.artist = L"Rock & Roll", .track = L"&"});
  // Drawn with prefix processing, "&" would vanish and "R" would be underlined;
  // compare with the same text drawn plainly.
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = CreateCompatibleBitmap(dc, 480, 640);
  HGDIOBJ previous = SelectObject(dc, bitmap);
  FontHandle font = CreatePageFont(30);
  SelectObject(dc, font.get());
  const RECT all{0, 0, 480, 640};
  // The wide layout's artist value box.
  const RECT box{124, 43, 480, 72};
  auto differences = [&](UINT format) {
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    RECT target = box;
    DrawTextW(dc, L"Rock & Roll", -1, &target, format);
    int count = 0;
    for (int y = box.top; y < box.bottom; ++y)
      for (int x = box.left; x < box.right; ++x) count += app_->pixel(x, y) != (GetPixel(dc, x, y) & 0xFFFFFF);
    return count;
  };
  EXPECT_EQ(differences(DT_VCENTER | DT_NOPREFIX), 0);
  EXPECT_GT(differences(DT_VCENTER), 0) << "prefix processing would have changed the name";
  SelectObject(dc, previous);
  DeleteObject(bitmap);
  DeleteDC(dc);
}

// The value boxes of the 240-pixel layout: artist (64, 43, 240, 62), track (64, 63, 240, 83).
constexpr RECT kArtistBox{64, 43, 240, 62};
constexpr int kBoxWidth = 176;

// The names' font in the two smaller width classes.
constexpr int kCompactFont = 19;

// A name whose text is `extra` pixels wider than the narrow layout's value
// box (within a pixel), built from letters of the page's own font.
std::wstring NameWiderBy(int extraMin, int extraMax) {
  HDC dc = CreateCompatibleDC(nullptr);
  FontHandle font = CreatePageFont(kCompactFont);
  HGDIOBJ previous = SelectObject(dc, font.get());
  std::wstring found;
  const std::wstring pieces[] = {L"i", L"l", L"r", L"t", L"a", L"m", L" ", L"."};
  std::wstring base;
  for (int n = 0; n < 60 && found.empty(); ++n) {
    for (const auto& piece : pieces) {
      const std::wstring name = base + piece;
      SIZE size{};
      GetTextExtentPoint32W(dc, name.c_str(), static_cast<int>(name.size()), &size);
      const int extra = size.cx - kBoxWidth;
      if (extra >= extraMin && extra <= extraMax) {
        found = name;
        break;
      }
    }
    base += L"o";
  }
  SelectObject(dc, previous);
  DeleteDC(dc);
  return found;
}

TEST_F(ResultPage, ALongArtistSlidesThreePixelsAStepRestsAndStartsAgain) {
  start(240, 320);
  const std::wstring artist = NameWiderBy(9, 11);
  ASSERT_FALSE(artist.empty());
  show(Song{.artist = artist});
  ASSERT_GE(page().artistOverflow(), 9);
  ASSERT_LE(page().artistOverflow(), 11);
  const auto start = Area(kArtistBox);

  // 100 ms: back at the start, resting a second; then a step every 200 ms.
  app_->wait(100);
  app_->wait(1199);
  EXPECT_EQ(page().artistOffset(), 0);
  for (int offset : {3, 6, 9, 12}) {
    app_->wait(offset == 3 ? 1 : 200);
    EXPECT_EQ(page().artistOffset(), offset);
  }
  EXPECT_NE(Area(kArtistBox), start) << "the name has moved";
  // The end shows for a second, then the name jumps back and rests again.
  app_->wait(999);
  EXPECT_EQ(page().artistOffset(), 12);
  app_->wait(1);
  EXPECT_EQ(page().artistOffset(), 0);
  EXPECT_EQ(Area(kArtistBox), start);
  app_->wait(1199);
  EXPECT_EQ(page().artistOffset(), 0);
  app_->wait(1);
  EXPECT_EQ(page().artistOffset(), 3) << "a name that alone is too long keeps cycling";
}

TEST_F(ResultPage, KeysWorkWhileANameRests) {
  start(240, 320);
  show(Song{.artist = NameWiderBy(30, 60)});
  app_->wait(500);  // inside the first rest
  app_->key(VK_DOWN);
  EXPECT_EQ(page().selected(), 1);
  EXPECT_TRUE(Shows(kFullSong + 1, 133, 127, 86, 19));
}

TEST_F(ResultPage, WithBothNamesTooLongTheArtistPassesOnceThenStays) {
  start(240, 320);
  const std::wstring name = NameWiderBy(20, 40);
  show(Song{.artist = name, .track = name});
  int artistMoves = 0;
  for (int t = 0; t < 20000; t += 100) {
    app_->wait(100);
    artistMoves += page().artistOffset() != 0;
  }
  EXPECT_GT(artistMoves, 0) << "the first pass";
  int trackMoves = 0;
  for (int t = 0; t < 20000; t += 100) {
    app_->wait(100);
    ASSERT_EQ(page().artistOffset(), 0) << "at " << t << " ms";
    trackMoves += page().trackOffset() != 0;
  }
  EXPECT_GT(trackMoves, 0) << "the track keeps cycling";

  // A new visit lets the artist pass again.
  app_->key(VK_F2);
  SwitchScreen(SCREEN_RESULT);
  DispatchPending();
  app_->wait(1300);
  EXPECT_EQ(page().artistOffset(), 3);
}

TEST_F(ResultPage, ANameExactlyAsWideAsItsBoxNeverMoves) {
  // Middle layout: the artist box is R - 114 - (R - 110) / 4 wide; pick the
  // window width at which it equals the name's width.
  HDC dc = CreateCompatibleDC(nullptr);
  FontHandle font = CreatePageFont(kCompactFont);
  HGDIOBJ previous = SelectObject(dc, font.get());
  std::wstring name;
  int width = 0;
  for (const wchar_t* candidate : {L"The Tidewater", L"Tidewater Band", L"The Tidewater Band"}) {
    SIZE size{};
    GetTextExtentPoint32W(dc, candidate, static_cast<int>(std::wcslen(candidate)), &size);
    for (int R = 241; R <= 320 && !width; ++R)
      if (R - 114 - (R - 110) / 4 == size.cx) width = R;
    if (width) {
      name = candidate;
      break;
    }
  }
  SelectObject(dc, previous);
  DeleteDC(dc);
  ASSERT_NE(width, 0) << "no candidate name fits a middle-layout box exactly";

  start(width, 320);
  show(Song{.artist = name});
  EXPECT_EQ(page().artistOverflow(), 0);
  const int q = 5 + (width - 110) / 4;
  const RECT box{q + 4, 43, width - 105, 62};
  const auto first = Area(box);
  for (int t = 0; t < 6000; t += 100) {
    app_->wait(100);
    ASSERT_EQ(Area(box), first) << "at " << t << " ms";
  }
}

}  // namespace
