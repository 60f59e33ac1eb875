// A window resized from outside (by the user or a phone's compositor)
// becomes the new display: every page is laid out for the new size exactly
// as if the program had started at it, and the back buffer grows only when
// the new size outgrows it.
#include <gtest/gtest.h>

#include <SDL2/SDL.h>
#include <SDL2/SDL_image.h>

#include <memory>
#include <string>

#include "app/screen/screen_manager.h"
#include "app/state.h"
#include "app/strings.h"
#include "platform/gdi/gdi.h"
#include "platform/window/form_factor.h"
#include "platform/window/window.h"
#include "platform/window/headless.h"
#include "platform/window/zoom.h"
#include "app/command_line.h"
#include "screens/result_screen.h"
#include "tags/tag_store.h"
#include "tests/support/headless_app.h"

namespace {

std::unique_ptr<HeadlessApp> StartAt(int width, int height) {
  HeadlessApp::Options options;
  options.width = width;
  options.height = height;
  auto app = std::make_unique<HeadlessApp>(options);
  EXPECT_TRUE(app->started());
  app->skipSplash();
  return app;
}

// "help me out" is two items down in a fresh menu, and stays highlighted after a visit.
void OpenHelp(HeadlessApp& app, bool freshMenu) {
  for (int i = 0; freshMenu && i < 2; ++i) app.key(VK_DOWN);
  app.key(VK_RETURN);
  ASSERT_EQ(app.screen(), SCREEN_HELP);
}

// A found song whose stored cover is larger than any page's room for it.
void ShowFoundSong() {
  SDL_Surface* cover = SDL_CreateRGBSurfaceWithFormat(0, 400, 300, 32, SDL_PIXELFORMAT_ARGB8888);
  SDL_Rect left{0, 0, 200, 300};
  SDL_FillRect(cover, nullptr, SDL_MapRGB(cover->format, 255, 128, 0));
  SDL_FillRect(cover, &left, SDL_MapRGB(cover->format, 0, 0, 255));
  ASSERT_EQ(IMG_SaveJPG(cover, TagArtPath(3).c_str(), 95), 0) << IMG_GetError();
  SDL_FreeSurface(cover);
  SongRecord record;
  record.tagNumber = 3;
  record.artist = DupWideString(L"Nightjar");
  record.trackTitle = DupWideString(L"Low Tide");
  record.album = DupWideString(L"Shorelines");
  record.ringer = DupString("http://store.test/ringer?id=1");
  record.fullSong = DupString("http://store.test/song?id=1");
  record.smsMessage = DupString("I just found Low Tide by Nightjar");
  PushScreen(SCREEN_MAIN_MENU);
  SwitchScreen(SCREEN_RESULT);
  static_cast<ResultScreen*>(g_apScreens[SCREEN_RESULT])->setRecord(&record);
  DispatchPending();
}

bool Same(const Surface& a, const Surface& b) { return a.width == b.width && a.height == b.height && a.pixels == b.pixels; }

// What a start at each size shows: the help page, then the menu with "help me
// out" highlighted, or the result page. One program at a time per process.
std::vector<Surface> Shown(const std::vector<std::pair<int, int>>& sizes, bool result) {
  std::vector<Surface> shown;
  for (const auto& [width, height] : sizes) {
    auto fresh = StartAt(width, height);
    if (result) {
      ShowFoundSong();
    } else {
      OpenHelp(*fresh, true);
      shown.push_back(fresh->pixels());
      fresh->key(VK_F1);
    }
    shown.push_back(fresh->pixels());
  }
  return shown;
}

TEST(WindowFit, AResizedWindowShowsEachPageAsAStartAtThatSizeShowsIt) {
  const std::vector<std::pair<int, int>> sizes{{480, 640}, {640, 360}, {360, 720}};
  const std::vector<Surface> pages = Shown(sizes, false);
  auto app = StartAt(240, 320);
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    SCOPED_TRACE(std::to_string(sizes[i].first) + " x " + std::to_string(sizes[i].second));
    OpenHelp(*app, i == 0);
    app->resize(sizes[i].first, sizes[i].second);
    EXPECT_EQ(g_nScreenWidth * 1000 + g_nScreenHeight, sizes[i].first * 1000 + sizes[i].second);
    EXPECT_TRUE(Same(app->pixels(), pages[2 * i])) << "the help page differs from a start at this size";
    app->key(VK_F1);
    EXPECT_TRUE(Same(app->pixels(), pages[2 * i + 1])) << "the menu differs from a start at this size";
  }
  app->tap(360 / 2, 387);  // taps find the items where the new layout put them
  EXPECT_EQ(app->screen(), SCREEN_HELP);

  const std::vector<std::pair<int, int>> resultSizes{{480, 640}, {320, 240}, {360, 720}, {240, 320}};
  app.reset();
  const std::vector<Surface> results = Shown(resultSizes, true);
  app = StartAt(240, 320);
  ShowFoundSong();
  for (std::size_t i = 0; i < resultSizes.size(); ++i) {
    app->resize(resultSizes[i].first, resultSizes[i].second);
    EXPECT_TRUE(Same(app->pixels(), results[i])) << "the result page at " << resultSizes[i].first << " x "
                                                 << resultSizes[i].second;
  }
}

TEST(WindowFit, TheBackBufferIsReplacedOnlyWhenOutgrown) {
  auto app = StartAt(240, 320);
  const auto side = [] {
    BITMAP info{};
    GetObjectW(g_hbmBack, sizeof info, &info);
    return info.bmWidth * 1000 + info.bmHeight;
  };
  const HBITMAP original = g_hbmBack;
  EXPECT_EQ(side(), 320320);
  app->resize(320, 240);  // a rotation, and a smaller window: the square still serves
  app->resize(200, 200);
  EXPECT_EQ(g_hbmBack, original);
  EXPECT_EQ(side(), 320320);
  app->resize(480, 640);
  EXPECT_NE(g_hbmBack, original);
  EXPECT_EQ(side(), 640640);
  OpenHelp(*app, true);
  EXPECT_EQ(app->pixel(10, 639), 0x0077C0u) << "the soft-key band at the bottom of the taller page is drawn";
}

TEST(WindowFit, PhoneFormFactorComesFromTheMachineOrTheDisplaySize) {
  EXPECT_TRUE(IsPhoneFormFactor(360, 720, "", ""));
  EXPECT_TRUE(IsPhoneFormFactor(720, 360, "", ""));
  EXPECT_FALSE(IsPhoneFormFactor(1920, 1048, "", ""));
  EXPECT_FALSE(IsPhoneFormFactor(360, 1100, "", ""));
  // What the machine says of itself wins over the display size.
  EXPECT_TRUE(IsPhoneFormFactor(1080, 2160, "PRETTY_HOSTNAME=phone\nCHASSIS=handset\n", ""));
  EXPECT_TRUE(IsPhoneFormFactor(1920, 1200, "CHASSIS=\"tablet\"\n", ""));
  EXPECT_FALSE(IsPhoneFormFactor(800, 600, "CHASSIS=desktop\n", ""));
  EXPECT_TRUE(IsPhoneFormFactor(1080, 2160, "", std::string("handset\0", 8)));
  EXPECT_FALSE(IsPhoneFormFactor(1080, 2160, "", std::string("laptop\0", 7)));
}

TEST(WindowFit, AutoZoomTakesAboutHalfTheDisplayAtTheDesktopsOwnScale) {
  struct Row {
    int usableHeight;
    double scale;
    int zoom;
  };
  for (const Row& row : {Row{768, 1, 1}, Row{728, 1, 1}, Row{1080, 1, 2}, Row{1044, 1, 2}, Row{1440, 1, 2},
                         Row{2160, 1, 3}, Row{768, 2, 2}, Row{1080, 2, 2}, Row{1440, 2, 2}, Row{2160, 2, 4}})
    EXPECT_EQ(ChooseZoom(row.usableHeight, 320, row.scale), row.zoom) << row.usableHeight << " at scale " << row.scale;
  EXPECT_EQ(ChooseZoom(1080, 640, 1), 1) << "a taller client needs less zoom";

  EXPECT_EQ(DesktopScale(nullptr, ""), 1.0);
  EXPECT_EQ(DesktopScale("2", "Xft.dpi:\t96\n"), 2.0) << "GDK_SCALE wins";
  EXPECT_EQ(DesktopScale("", "Xft.antialias:\t1\nXft.dpi:\t192\n"), 2.0);
  EXPECT_EQ(DesktopScale("0", "Xft.dpi: 144\n"), 1.5);

  // Taps on the zoomed window land on the client pixel under them, never outside.
  const POINT inside = ClientPointFromWindow(241, 329, 2, 240, 320);
  EXPECT_EQ(inside.x * 1000 + inside.y, 120164);
  const POINT edge = ClientPointFromWindow(999, -5, 3, 240, 320);
  EXPECT_EQ(edge.x * 1000 + edge.y, 239000);
}

TEST(WindowFit, AnExplicitZoomWinsOverAuto) {
  struct Row {
    std::vector<std::string> args;
    int zoom;  // -1: refused
  };
  for (const Row& row : {Row{{}, kAutoZoom}, Row{{"--zoom", "auto"}, kAutoZoom}, Row{{"--zoom", "3"}, 3},
                         Row{{"--zoom", "9"}, -1}, Row{{"--zoom", "big"}, -1}}) {
    std::vector<char*> argv{const_cast<char*>("melodex")};
    for (const std::string& arg : row.args) argv.push_back(const_cast<char*>(arg.c_str()));
    CommandLine options;
    const bool goesOn = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &options) == -1;
    EXPECT_EQ(goesOn, row.zoom != -1);
    if (goesOn) {
      EXPECT_EQ(options.platform.zoom, row.zoom);
    }
  }
}

}  // namespace
