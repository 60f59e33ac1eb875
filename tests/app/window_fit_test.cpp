// The window's fit to its display: a window resized from outside (by the user
// or a phone's compositor) shows every page exactly as a start at the new size
// does, and the back buffer grows only when outgrown; the phone form factor;
// the zoom chosen for a desktop, taps on the zoomed window and --zoom.
#include <gtest/gtest.h>

#include <SDL2/SDL.h>
#include <SDL2/SDL_image.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "platform/gdi/gdi.h"
#include "platform/window/form_factor.h"
#include "platform/window/zoom.h"
#include "tags/tag_store.h"
#include "tests/support/client_fixture.h"

namespace {

using Sizes = std::vector<std::pair<int, int>>;

class WindowFit : public ClientTest {
 protected:
  // "help me out" is two items down in a fresh menu, and stays highlighted after a visit.
  void openHelp(bool freshMenu) const {
    for (int i = 0; freshMenu && i < 2; ++i) app_->key(VK_DOWN);
    app_->key(VK_RETURN);
    ASSERT_EQ(app_->screen(), SCREEN_HELP);
  }
  // A found song whose stored cover is larger than any page's room for it.
  void showFoundSong() const {
    SDL_Surface* cover = SDL_CreateRGBSurfaceWithFormat(0, 400, 300, 32, SDL_PIXELFORMAT_ARGB8888);
    SDL_Rect left{0, 0, 200, 300};
    SDL_FillRect(cover, nullptr, SDL_MapRGB(cover->format, 255, 128, 0));
    SDL_FillRect(cover, &left, SDL_MapRGB(cover->format, 0, 0, 255));
    ASSERT_EQ(IMG_SaveJPG(cover, TagArtPath(Song().tag).c_str(), 95), 0) << IMG_GetError();
    SDL_FreeSurface(cover);
    const SongRecord record = Song().record();
    showResult(&record);
  }
  // What a start at each size shows: the help page then the menu with "help
  // me out" highlighted, or the result page.
  std::vector<Surface> startsAt(const Sizes& sizes, bool result) {
    std::vector<Surface> shown;
    for (const auto& [width, height] : sizes) {
      start(width, height);
      if (result) {
        showFoundSong();
      } else {
        openHelp(true);
        shown.push_back(app_->pixels());
        app_->key(VK_F1);
      }
      shown.push_back(app_->pixels());
    }
    return shown;
  }
};

bool Same(const Surface& a, const Surface& b) { return a.width == b.width && a.height == b.height && a.pixels == b.pixels; }

TEST_F(WindowFit, AResizedWindowShowsEachPageAsAStartAtThatSizeShowsIt) {
  const Sizes sizes{{480, 640}, {640, 360}, {360, 720}};
  const std::vector<Surface> pages = startsAt(sizes, false);
  start();
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    SCOPED_TRACE(std::to_string(sizes[i].first) + " x " + std::to_string(sizes[i].second));
    openHelp(i == 0);
    app_->resize(sizes[i].first, sizes[i].second);
    EXPECT_EQ(g_nScreenWidth * 1000 + g_nScreenHeight, sizes[i].first * 1000 + sizes[i].second);
    EXPECT_TRUE(Same(app_->pixels(), pages[2 * i])) << "the help page differs from a start at this size";
    app_->key(VK_F1);
    EXPECT_TRUE(Same(app_->pixels(), pages[2 * i + 1])) << "the menu differs from a start at this size";
  }
  app_->tap(360 / 2, 387);  // taps find the items where the new layout put them
  EXPECT_EQ(app_->screen(), SCREEN_HELP);

  const Sizes resultSizes{{480, 640}, {320, 240}, {360, 720}, {240, 320}};
  const std::vector<Surface> results = startsAt(resultSizes, true);
  start();
  showFoundSong();
  for (std::size_t i = 0; i < resultSizes.size(); ++i) {
    app_->resize(resultSizes[i].first, resultSizes[i].second);
    EXPECT_TRUE(Same(app_->pixels(), results[i])) << "the result page at " << W() << " x " << H();
  }
}

TEST_F(WindowFit, TheBackBufferIsReplacedOnlyWhenOutgrown) {
  start();
  const auto side = [] {
    BITMAP info{};
    GetObjectW(g_hbmBack, sizeof info, &info);
    return info.bmWidth * 1000 + info.bmHeight;
  };
  const HBITMAP original = g_hbmBack;
  EXPECT_EQ(side(), 320320);
  app_->resize(320, 240);  // a rotation, and a smaller window: the square still serves
  app_->resize(200, 200);
  EXPECT_EQ(g_hbmBack, original);
  EXPECT_EQ(side(), 320320);
  app_->resize(480, 640);
  EXPECT_NE(g_hbmBack, original);
  EXPECT_EQ(side(), 640640);
  openHelp(true);
  EXPECT_EQ(app_->pixel(10, 639), 0x0077C0u) << "the soft-key band at the bottom of the taller page is drawn";
}

TEST_F(WindowFit, AClickOnAZoomedWindowChoosesTheItemUnderIt) {
  HeadlessApp::Options options;
  options.zoom = 2;
  app_ = std::make_unique<HeadlessApp>(options);
  app_->skipSplash();
  TapWindowPixel(2 * 120 + 1, 2 * 164 + 1);  // "manage IDs", client pixel (120, 164)
  EXPECT_EQ(app_->screen(), SCREEN_HISTORY);
}

TEST(FormFactor, ComesFromTheMachineOrTheDisplaySize) {
  const struct {
    int width, height;
    std::string machineInfo, chassis;
    bool phone;
  } rows[] = {
      {360, 720, "", "", true}, {720, 360, "", "", true}, {1920, 1048, "", "", false}, {360, 1100, "", "", false},
      // What the machine says of itself wins over the display size.
      {1080, 2160, "PRETTY_HOSTNAME=phone\nCHASSIS=handset\n", "", true}, {1920, 1200, "CHASSIS=\"tablet\"\n", "", true},
      {800, 600, "CHASSIS=desktop\n", "", false}, {1080, 2160, "", std::string("handset\0", 8), true},
      {1080, 2160, "", std::string("laptop\0", 7), false}};
  for (const auto& r : rows)
    EXPECT_EQ(IsPhoneFormFactor(r.width, r.height, r.machineInfo, r.chassis), r.phone) << r.width << " " << r.machineInfo;
}

TEST(Zoom, AutoTakesAboutHalfTheDisplayAtTheDesktopsOwnScaleAndAnExplicitZoomWins) {
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

  struct Args {
    std::vector<std::string> args;
    int zoom;  // -1: refused
  };
  for (const Args& row : {Args{{}, kAutoZoom}, Args{{"--zoom", "auto"}, kAutoZoom}, Args{{"--zoom", "3"}, 3},
                          Args{{"--zoom", "9"}, -1}, Args{{"--zoom", "big"}, -1}}) {
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
