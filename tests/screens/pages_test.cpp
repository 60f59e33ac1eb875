// The start, menu, help and try-again pages at the phone's 240 x 320 and at 480 x 640.
#include "app/screen/soft_key_bar.h"
#include "screens/help_screen.h"
#include "screens/main_menu_screen.h"
#include "screens/try_again_screen.h"
#include "tests/support/client_fixture.h"

namespace {

class Pages : public ClientTest, public ::testing::WithParamInterface<std::pair<int, int>> {
 protected:
  void start(bool atSplash = false) { ClientTest::start(GetParam().first, GetParam().second, "", atSplash); }
};

TEST_P(Pages, SplashThenMenu) {
  start(true);
  EXPECT_TRUE(Looks("screens", "splash"));
  app_->tap(W() / 2, H() / 2);  // a tap on the picture does nothing
  app_->wait(2999);
  EXPECT_EQ(app_->screen(), SCREEN_SPLASH);
  app_->wait(1);
  EXPECT_TRUE(Looks("screens", "menu"));
  const int x = W() / 2 - 163 / 2, y0 = (H() - 43 - 16) / 2 - (4 * 29) / 2 + 43;
  app_->key(VK_UP);  // from the first item round to "exit"
  EXPECT_TRUE(ShowsGif(*app_, 114, x, y0, 163, 29) && ShowsGif(*app_, 174, x, y0 + 87, 163, 29));
  app_->key(VK_DOWN);
  app_->key(VK_F1);  // the soft keys are not the menu's
  app_->tap(5, H() - 5);
  EXPECT_TRUE(Looks("screens", "menu"));
  app_->tap(x + 10, y0 + 2 * 29 + 10);  // "help me out"
  EXPECT_EQ(app_->screen(), SCREEN_HELP);
  app_->key(VK_ESCAPE);
  EXPECT_EQ(page<MainMenuScreen>(SCREEN_MAIN_MENU).selectedItem(), 2);
  start(true);
  app_->key(VK_F2);  // any key leaves the splash
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
}

TEST_P(Pages, HelpTopicsAndPagesThenTryAgain) {
  start();
  keys({VK_DOWN, VK_DOWN, VK_RETURN});
  EXPECT_TRUE(Looks("screens", "help"));
  auto& help = page<HelpScreen>(SCREEN_HELP);
  keys({VK_UP, VK_RETURN, VK_DOWN});  // round to "About Melodex", which fits
  EXPECT_EQ(std::pair(help.selectedTopic(), help.pageScroll()), std::pair(3, 0));
  keys({VK_F1, VK_DOWN, VK_RETURN});
  EXPECT_TRUE(Looks("screens", "help-page"));
  // Longer than its box on the small screen: Down and Up move it by whole
  // lines, never past its ends.
  const auto top = app_->pixels().pixels;
  app_->key(VK_DOWN);
  EXPECT_EQ(help.pageScroll(), H() == 320 ? 30 : 0);
  for (int i = 0; i < 30; ++i) app_->key(VK_DOWN);
  EXPECT_TRUE(H() != 320 || Looks("screens", "help-page-end"));
  for (int i = 0; i < 31; ++i) app_->key(VK_UP);
  EXPECT_EQ(app_->pixels().pixels, top);
  app_->key(VK_F2);  // no "Select" on a page
  EXPECT_TRUE(help.pageOpen());
  app_->key(VK_F1);
  EXPECT_TRUE(Looks("screens", "help"));
  // Labels that do not exist leave the band bare; the keys still work.
  g_pSoftKeyBar->setLeftKey(9999);
  g_pSoftKeyBar->setRightKey(9999);
  RedrawWindow(g_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
  for (int y = H() - 55; y < H(); ++y)
    for (int x = 0; x < W(); ++x) ASSERT_EQ(app_->pixel(x, y), 0x0077C0u) << x << ", " << y;
  app_->key(VK_F1);
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
  // The try-again page offers only "OK".
  SwitchScreen(SCREEN_SEND_FAILED);
  page<TryAgainScreen>(SCREEN_SEND_FAILED).setMessage(L"Error sending recording to the server!");
  app_->wait(1);
  EXPECT_TRUE(Looks("screens", "try-again"));
  keys({VK_F2, VK_RETURN, VK_UP, VK_DOWN, VK_ESCAPE});
  app_->tap(W() - 5, H() - 5);
  EXPECT_EQ(app_->screen(), SCREEN_SEND_FAILED);
  app_->tap(5, H() - 5);
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
  // The page for a recording that cannot start is another, without that message.
  SwitchScreen(SCREEN_RECORD_FAILED);
  EXPECT_NE(g_apScreens[SCREEN_SEND_FAILED], g_apScreens[SCREEN_RECORD_FAILED]);
  EXPECT_EQ(page<TryAgainScreen>(SCREEN_SEND_FAILED).message(), L"Error sending recording to the server!");
  EXPECT_EQ(page<TryAgainScreen>(SCREEN_RECORD_FAILED).message(), L"");
}

INSTANTIATE_TEST_SUITE_P(Sizes, Pages, ::testing::Values(std::pair{240, 320}, std::pair{480, 640}));

}  // namespace
