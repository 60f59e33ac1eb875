// The start, menu, help and try-again pages as the user sees them, at the
// phone's 240 x 320 and at 480 x 640: pictures where the layout puts them,
// the soft-key band, its labels, the highlight.
#include <gtest/gtest.h>

#include <string>

#include "app/screen/screen_manager.h"
#include "app/screen/soft_key_bar.h"
#include "app/state.h"
#include "platform/window/window.h"
#include "screens/help_screen.h"
#include "screens/main_menu_screen.h"
#include "screens/try_again_screen.h"
#include "tests/support/gif_check.h"
#include "tests/support/headless_app.h"

namespace {

constexpr std::uint32_t kWhitePixel = 0xFFFFFF;
constexpr std::uint32_t kBandPixel = 0x0077C0;       // RGB(0, 119, 192)
constexpr std::uint32_t kHighlightPixel = 0xFFFC00;  // RGB(255, 252, 0)

struct Size {
  int width;
  int height;
};

class Pages : public ::testing::TestWithParam<Size> {
 protected:
  void SetUp() override {
    HeadlessApp::Options options;
    options.width = GetParam().width;
    options.height = GetParam().height;
    app = std::make_unique<HeadlessApp>(options);
    ASSERT_TRUE(app->started());
  }
  int W() const { return GetParam().width; }
  int H() const { return GetParam().height; }

  ::testing::AssertionResult Shows(int gifId, int x, int y, int w, int h) {
    return ShowsGif(*app, gifId, x, y, w, h);
  }

  ::testing::AssertionResult Filled(std::uint32_t colour, int left, int top, int right, int bottom) {
    for (int y = top; y < bottom; ++y)
      for (int x = left; x < right; ++x)
        if (app->pixel(x, y) != colour)
          return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is " << std::hex << app->pixel(x, y);
    return ::testing::AssertionSuccess();
  }

  void openHelp() {
    app->skipSplash();
    app->key(VK_DOWN);
    app->key(VK_DOWN);
    app->key(VK_RETURN);
    ASSERT_EQ(app->screen(), SCREEN_HELP);
  }

  std::unique_ptr<HeadlessApp> app;
};

TEST_P(Pages, SplashIsCentredOnWhiteAndGivesWayToTheMenu) {
  const int x = W() / 2 - 232 / 2;
  const int y = H() / 2 - 212 / 2;
  EXPECT_TRUE(Shows(110, x, y, 232, 212));
  EXPECT_TRUE(Filled(kWhitePixel, 0, 0, W(), y));
  app->tap(W() / 2, H() / 2);  // a tap on the picture does nothing
  app->wait(2999);
  EXPECT_EQ(app->screen(), SCREEN_SPLASH);
  app->wait(1);
  EXPECT_EQ(app->screen(), SCREEN_MAIN_MENU);
}

TEST_P(Pages, MenuShowsBannerItemsAndLogoAndWrapsItsHighlight) {
  app->key(VK_F2);  // a soft key leaves the splash too
  ASSERT_EQ(app->screen(), SCREEN_MAIN_MENU);
  const int x = W() / 2 - 163 / 2;
  const int y0 = (H() - 43 - 16) / 2 - (4 * 29) / 2 + 43;
  EXPECT_TRUE(Shows(113, W() / 2 - 160, 0, 320, 43));
  EXPECT_TRUE(Shows(171, x, y0, 163, 29));
  EXPECT_TRUE(Shows(115, x, y0 + 29, 163, 29));
  EXPECT_TRUE(Shows(117, x, y0 + 87, 163, 29));
  EXPECT_TRUE(Shows(175, W() - 82, H() - 16, 82, 16));

  app->key(VK_UP);  // from the first item to "exit"
  EXPECT_TRUE(Shows(114, x, y0, 163, 29));
  EXPECT_TRUE(Shows(174, x, y0 + 87, 163, 29));
  app->key(VK_DOWN);
  EXPECT_TRUE(Shows(171, x, y0, 163, 29));

  app->key(VK_F1);  // soft keys are not the menu's: nothing changes
  app->tap(5, H() - 5);
  EXPECT_EQ(app->screen(), SCREEN_MAIN_MENU);
  EXPECT_TRUE(Shows(171, x, y0, 163, 29));

  app->tap(x + 10, y0 + 2 * 29 + 10);  // "help me out"
  EXPECT_EQ(app->screen(), SCREEN_HELP);
  app->key(VK_ESCAPE);
  EXPECT_EQ(app->screen(), SCREEN_MAIN_MENU);
  EXPECT_EQ(static_cast<MainMenuScreen*>(g_apScreens[SCREEN_MAIN_MENU])->selectedItem(), 2);
}

TEST_P(Pages, HelpListHasTheBandLabelsAndHighlight) {
  openHelp();
  const int bandTop = H() - 55;
  EXPECT_TRUE(Filled(kBandPixel, 0, bandTop, 8, H()));
  EXPECT_TRUE(Filled(kBandPixel, 0, bandTop, W(), bandTop + 20));
  EXPECT_NE(app->pixel(0, bandTop - 1), kBandPixel);
  const int labelTop = bandTop + 27 - 6;
  EXPECT_TRUE(Shows(161, 10, labelTop, 30, 12));
  EXPECT_TRUE(Shows(164, W() - 40 - 10, labelTop, 40, 12));
  EXPECT_TRUE(Shows(145, W() / 2 - 160, 0, 320, 43));
  // The first topic is selected: its row is the highlight colour edge to edge.
  EXPECT_EQ(app->pixel(0, 44), kHighlightPixel);
  EXPECT_EQ(app->pixel(W() - 1, 44), kHighlightPixel);

  app->key(VK_UP);  // wraps to "About Melodex"
  EXPECT_EQ(static_cast<HelpScreen*>(g_apScreens[SCREEN_HELP])->selectedTopic(), 3);
  EXPECT_EQ(app->pixel(0, 44), kWhitePixel);
}

TEST_P(Pages, HelpPageWrapsItsTextAndDropsTheRightLabel) {
  openHelp();
  app->key(VK_RETURN);
  auto* help = static_cast<HelpScreen*>(g_apScreens[SCREEN_HELP]);
  ASSERT_TRUE(help->pageOpen());
  const int bandTop = H() - 55;
  EXPECT_TRUE(Filled(kBandPixel, W() / 2, bandTop, W(), H()));
  // Text fills the box between the margins, several lines deep, and nothing
  // is drawn in the margins.
  int inkedRows = 0;
  for (int y = 43; y < bandTop; ++y) {
    bool inked = false;
    for (int x = 10; x < W() - 10; ++x) inked |= app->pixel(x, y) != kWhitePixel;
    inkedRows += inked;
  }
  EXPECT_GT(inkedRows, 60);
  EXPECT_TRUE(Filled(kWhitePixel, 0, 43, 10, bandTop));
  EXPECT_TRUE(Filled(kWhitePixel, W() - 10, 43, W(), bandTop));

  // The first page is longer than the box on the small screen: Down and Up
  // move it by whole lines, never past its ends.
  const auto before = app->pixels().pixels;
  app->key(VK_DOWN);
  if (H() == 320) {
    EXPECT_EQ(help->pageScroll(), 30);
    EXPECT_NE(app->pixels().pixels, before);
    for (int i = 0; i < 30; ++i) app->key(VK_DOWN);
    const int end = help->pageScroll();
    EXPECT_EQ(end % 30, 0);
    EXPECT_GT(end, 30);
    app->key(VK_DOWN);  // the last line is in view: no further
    EXPECT_EQ(help->pageScroll(), end);
    bool lastLineInked = false;
    for (int y = H() - 55 - 30; y < H() - 55; ++y)
      for (int x = 10; x < W() - 10; ++x) lastLineInked |= app->pixel(x, y) != kWhitePixel;
    EXPECT_TRUE(lastLineInked);
    for (int i = 0; i < 30; ++i) app->key(VK_UP);
  }
  EXPECT_EQ(help->pageScroll(), 0);
  EXPECT_EQ(app->pixels().pixels, before);

  app->key(VK_F2);  // no "Select" on a page
  EXPECT_TRUE(help->pageOpen());
  app->key(VK_F1);
  EXPECT_FALSE(help->pageOpen());
  EXPECT_EQ(app->screen(), SCREEN_HELP);
  EXPECT_TRUE(Shows(164, W() - 50, bandTop + 21, 40, 12));
  app->key(VK_F1);
  EXPECT_EQ(app->screen(), SCREEN_MAIN_MENU);
}

TEST_P(Pages, AboutPageFitsWithoutScrolling) {
  openHelp();
  app->key(VK_UP);
  app->key(VK_RETURN);
  auto* help = static_cast<HelpScreen*>(g_apScreens[SCREEN_HELP]);
  ASSERT_TRUE(help->pageOpen());
  app->key(VK_DOWN);
  EXPECT_EQ(help->pageScroll(), 0);
}

TEST_P(Pages, AnUnknownLabelLeavesTheBandBare) {
  openHelp();
  g_pSoftKeyBar->setLeftKey(9999);
  g_pSoftKeyBar->setRightKey(9999);
  RedrawWindow(g_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
  EXPECT_TRUE(Filled(kBandPixel, 0, H() - 55, W(), H()));
  app->key(VK_F1);  // the keys still work without their labels
  EXPECT_EQ(app->screen(), SCREEN_MAIN_MENU);
}

TEST_P(Pages, TryAgainShowsItsPictureAndOnlyOk) {
  app->skipSplash();
  SwitchScreen(SCREEN_RECORD_FAILED);
  app->wait(1);
  const int bandTop = H() - 55;
  const int y = (H() - 43 - 55) / 2 - 114 / 2 + 43;
  EXPECT_TRUE(Shows(125, W() / 2 - 104, y, 208, 114));
  EXPECT_TRUE(Shows(166, 10, bandTop + 21, 24, 12));
  EXPECT_TRUE(Filled(kBandPixel, W() / 2, bandTop, W(), H()));

  for (UINT vk : {VK_F2, VK_RETURN, VK_UP, VK_DOWN, VK_ESCAPE}) app->key(vk);
  app->tap(W() - 5, H() - 5);
  EXPECT_EQ(app->screen(), SCREEN_RECORD_FAILED);
  app->tap(5, H() - 5);
  EXPECT_EQ(app->screen(), SCREEN_MAIN_MENU);
}

TEST_P(Pages, TheTwoTryAgainPagesAreSeparateAndKeepTheirMessage) {
  app->skipSplash();
  SwitchScreen(SCREEN_SEND_FAILED);
  static_cast<TryAgainScreen*>(g_apScreens[SCREEN_SEND_FAILED])->setMessage(L"Error sending recording to the server!");
  app->key(VK_F1);
  SwitchScreen(SCREEN_RECORD_FAILED);
  ASSERT_NE(g_apScreens[SCREEN_SEND_FAILED], g_apScreens[SCREEN_RECORD_FAILED]);
  EXPECT_EQ(static_cast<TryAgainScreen*>(g_apScreens[SCREEN_SEND_FAILED])->message(),
            L"Error sending recording to the server!");
  EXPECT_EQ(static_cast<TryAgainScreen*>(g_apScreens[SCREEN_RECORD_FAILED])->message(), L"");
}

INSTANTIATE_TEST_SUITE_P(Sizes, Pages, ::testing::Values(Size{240, 320}, Size{480, 640}),
                         [](const auto& info) {
                           return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

}  // namespace
