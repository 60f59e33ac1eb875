// Screen switching and the back stack, with counting screens placed in the
// two slots that have no screen class of their own (0 and 2).
#include <gtest/gtest.h>

#include <thread>

#include "app/screen/screen.h"
#include "app/screen/screen_manager.h"
#include "app/state.h"
#include "platform/window/window.h"
#include "tests/support/headless_app.h"

namespace {

struct Counts {
  int activated = 0, deactivated = 0, painted = 0, destroyed = 0;
};

class CountingScreen : public Screen {
 public:
  explicit CountingScreen(Counts* counts) : Screen(g_hInst, g_hWnd), m_counts(counts) {}
  ~CountingScreen() override { ++m_counts->destroyed; }
  void paint(HDC*, RECT*) override { ++m_counts->painted; }
  void onActivate() override { ++m_counts->activated; }
  void onDeactivate() override { ++m_counts->deactivated; }

 private:
  Counts* m_counts;
};

TEST(ScreenManager, SwitchesActivateOnceEachOnTheInterfaceThreadAndEndWithEveryScreenDestroyed) {
  Counts a, b;
  {
    HeadlessApp app;
    ASSERT_TRUE(app.started());
    app.skipSplash();
    g_apScreens[0] = new CountingScreen(&a);
    g_apScreens[2] = new CountingScreen(&b);
    Screen* const first = g_apScreens[0];
    SwitchScreen(0);
    app.wait(10);
    const int paints = a.painted;
    SwitchScreen(0);  // the current screen: nothing happens
    SwitchScreen(-1);
    app.wait(10);
    EXPECT_EQ(a.painted, paints);
    std::thread([] { SwitchScreen(2); }).join();
    EXPECT_EQ(app.screen(), 0) << "a worker's switch is posted";
    app.wait(10);
    EXPECT_EQ(app.screen(), 2);
    SwitchScreen(0);
    EXPECT_EQ(g_apScreens[0], first) << "created once";
    EXPECT_EQ(std::make_pair(a.activated, a.deactivated), std::make_pair(2, 1));
    EXPECT_EQ(std::make_pair(b.activated, b.deactivated), std::make_pair(1, 1));

    delete g_apScreens[2];  // slot 2 emptied again: no screen class serves it
    g_apScreens[2] = nullptr;
    SwitchScreen(2);
    EXPECT_EQ(app.screen(), 0);
    EXPECT_NE(app.log().find("SwitchScreen: no screen for index 2\r\n"), std::string::npos);
    SwitchScreen(SCREEN_NONE);
    EXPECT_EQ(app.screen(), SCREEN_NONE);
    app.key(VK_RETURN);  // without a current screen, keys and taps are ignored
    app.tap(10, 300);
    EXPECT_EQ(app.screen(), SCREEN_NONE);
    SwitchScreen(0);
  }
  EXPECT_EQ(std::make_pair(a.deactivated, a.destroyed), std::make_pair(3, 1));
  EXPECT_EQ(g_nCurrentScreen, SCREEN_NONE);
  for (Screen* screen : g_apScreens) EXPECT_EQ(screen, nullptr);
}

TEST(BackStack, PushesAreDedupedAndCappedAndPopsEndAtNone) {
  g_nBackTop = -1;
  for (int screen : {3, 3, 8, 3}) PushScreen(screen);
  EXPECT_EQ(g_nBackTop, 2);
  for (int screen : {3, 8, 3, SCREEN_NONE}) EXPECT_EQ(PopScreen(), screen);
  EXPECT_EQ(g_nBackTop, -1);
  for (int i = 0; i < 12; ++i) PushScreen(i % 2 == 0 ? 3 : 6);
  EXPECT_EQ(g_nBackTop, BACK_STACK_SIZE - 1);
  EXPECT_EQ(PopScreen(), 6) << "the tenth push; the last two were dropped";
  g_nBackTop = -1;
}

}  // namespace
