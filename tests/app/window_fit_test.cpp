// The window's fit to its display: a window resized from outside shows every
// page exactly as a start at the new size does; form factor and zoom.
#include <gtest/gtest.h>

#include <SDL2/SDL.h>
#include <SDL2/SDL_image.h>

#include <algorithm>
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
  const HBITMAP original = g_hbmBack;
  app_->resize(320, 240);  // a rotation, and a smaller window: the square back buffer still serves
  app_->resize(200, 200);
  EXPECT_EQ(g_hbmBack, original);
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    SCOPED_TRACE(std::to_string(sizes[i].first) + " x " + std::to_string(sizes[i].second));
    openHelp(i == 0);
    app_->resize(sizes[i].first, sizes[i].second);
    EXPECT_EQ(g_nScreenWidth * 1000 + g_nScreenHeight, sizes[i].first * 1000 + sizes[i].second);
    BITMAP back{};
    GetObjectW(g_hbmBack, sizeof back, &back);
    EXPECT_EQ(back.bmWidth * 1000 + back.bmHeight, std::max(sizes[i].first, sizes[i].second) * 1001)
        << "the back buffer grows to the square of the longer side when outgrown";
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

// A zoomed window: a click on the window pixels that show "manage IDs"
// (client pixel 120, 164) chooses it, as on the real window.
TEST_F(WindowFit, AClickOnAZoomedWindowChoosesTheItemUnderIt) {
  HeadlessApp::Options zoomed;
  zoomed.zoom = 2;
  app_ = std::make_unique<HeadlessApp>(zoomed);
  app_->skipSplash();
  TapWindowPixel(2 * 120 + 1, 2 * 164 + 1);
  EXPECT_EQ(app_->screen(), SCREEN_HISTORY);
}

// The form factor comes from the machine or the display size; auto zoom takes
// about half the display at the desktop's own scale, and an explicit zoom wins.
TEST(Zoom, FormFactorAutoZoomAndAnExplicitZoomFollowTheDisplayAndTheDesktop) {
  const struct {
    int width, height;
    std::string machineInfo, chassis;
    bool phone;
  } machines[] = {
      {360, 720, "", "", true}, {720, 360, "", "", true}, {1920, 1048, "", "", false}, {360, 1100, "", "", false},
      // What the machine says of itself wins over the display size.
      {1080, 2160, "PRETTY_HOSTNAME=phone\nCHASSIS=handset\n", "", true}, {1920, 1200, "CHASSIS=\"tablet\"\n", "", true},
      {800, 600, "CHASSIS=desktop\n", "", false}, {1080, 2160, "", std::string("handset\0", 8), true},
      {1080, 2160, "", std::string("laptop\0", 7), false}};
  for (const auto& r : machines)
    EXPECT_EQ(IsPhoneFormFactor(r.width, r.height, r.machineInfo, r.chassis), r.phone) << r.width << " " << r.machineInfo;

  const int rows[][3] = {{768, 1, 1},  {728, 1, 1},  {1080, 1, 2}, {1044, 1, 2}, {1440, 1, 2},  // usable height,
                         {2160, 1, 3}, {768, 2, 2},  {1080, 2, 2}, {1440, 2, 2}, {2160, 2, 4}};  // scale, zoom
  for (const auto& [usableHeight, scale, zoom] : rows)
    EXPECT_EQ(ChooseZoom(usableHeight, 320, scale), zoom) << usableHeight << " at scale " << scale;
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

  // The value of --zoom (none: no option) and the zoom chosen; -1: refused.
  const std::pair<const char*, int> options[] = {
      {nullptr, kAutoZoom}, {"auto", kAutoZoom}, {"3", 3}, {"9", -1}, {"big", -1}};
  for (const auto& [value, zoom] : options) {
    char* argv[] = {const_cast<char*>("melodex"), const_cast<char*>("--zoom"), const_cast<char*>(value)};
    CommandLine parsed;
    const bool goesOn = ParseCommandLine(value ? 3 : 1, argv, &parsed) == -1;
    EXPECT_EQ(goesOn ? parsed.platform.zoom : -1, zoom) << (value ? value : "no --zoom");
  }
}

}  // namespace
