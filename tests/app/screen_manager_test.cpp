// Screen switching and the back stack, with test screens placed in the two
// slots that have no screen class of their own (0 and 2).
#include <gtest/gtest.h>

#include <thread>

#include "app/screen/screen.h"
#include "app/screen/screen_manager.h"
#include "app/state.h"
#include "platform/window/window.h"
#include "tests/support/headless_app.h"

namespace {

struct Counts {
  int activated = 0;
  int deactivated = 0;
  int painted = 0;
  int destroyed = 0;
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

class ScreenManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(app.started());
    app.skipSplash();
    g_apScreens[0] = new CountingScreen(&a);
    g_apScreens[2] = new CountingScreen(&b);
  }
  HeadlessApp app;
  Counts a;
  Counts b;
};

TEST_F(ScreenManagerTest, SwitchingBackAndForthActivatesButCreatesOnce) {
  Screen* const first = g_apScreens[0];
  SwitchScreen(0);
  SwitchScreen(2);
  SwitchScreen(0);
  app.wait(10);
  EXPECT_EQ(g_apScreens[0], first);
  EXPECT_EQ(a.activated, 2);
  EXPECT_EQ(a.deactivated, 1);
  EXPECT_EQ(b.activated, 1);
  EXPECT_EQ(b.deactivated, 1);
  EXPECT_EQ(app.screen(), 0);
}

TEST_F(ScreenManagerTest, SwitchingToTheCurrentScreenDoesNothing) {
  SwitchScreen(0);
  app.wait(10);
  const int paints = a.painted;
  SwitchScreen(0);
  app.wait(10);
  EXPECT_EQ(a.activated, 1);
  EXPECT_EQ(a.deactivated, 0);
  EXPECT_EQ(a.painted, paints);
}

TEST_F(ScreenManagerTest, NegativeIndexIsIgnoredAndNoneLeavesNoScreen) {
  SwitchScreen(0);
  SwitchScreen(-1);
  EXPECT_EQ(app.screen(), 0);
  SwitchScreen(SCREEN_NONE);
  EXPECT_EQ(app.screen(), SCREEN_NONE);
  EXPECT_EQ(a.deactivated, 1);
  // Without a current screen, keys and taps are ignored.
  app.key(VK_RETURN);
  app.tap(10, 300);
  EXPECT_EQ(app.screen(), SCREEN_NONE);
}

TEST_F(ScreenManagerTest, AMissingScreenClassKeepsTheCurrentScreenAndLogs) {
  // Slot 2 emptied again: no screen class serves that index.
  delete g_apScreens[2];
  g_apScreens[2] = nullptr;
  SwitchScreen(0);
  SwitchScreen(2);
  EXPECT_EQ(app.screen(), 0);
  EXPECT_EQ(a.deactivated, 0);
  EXPECT_NE(app.log().find("SwitchScreen: no screen for index 2\r\n"), std::string::npos);
}

TEST_F(ScreenManagerTest, ASwitchFromAWorkerThreadHappensOnTheInterfaceThread) {
  std::thread worker([] { SwitchScreen(2); });
  worker.join();
  EXPECT_EQ(app.screen(), SCREEN_MAIN_MENU);  // not yet: it was posted
  app.wait(10);
  EXPECT_EQ(app.screen(), 2);
  EXPECT_EQ(b.activated, 1);
}

TEST(ScreenManagerShutdown, DestroysEveryScreenOnceAndLeavesNoneCurrent) {
  Counts a;
  {
    HeadlessApp app;
    ASSERT_TRUE(app.started());
    g_apScreens[0] = new CountingScreen(&a);
    SwitchScreen(0);
  }
  EXPECT_EQ(a.deactivated, 1);
  EXPECT_EQ(a.destroyed, 1);
  EXPECT_EQ(g_nCurrentScreen, SCREEN_NONE);
  for (Screen* screen : g_apScreens) EXPECT_EQ(screen, nullptr);
}

TEST(BackStack, PushesAreDedupedCappedAndPopsEndAtNone) {
  g_nBackTop = -1;
  PushScreen(3);
  PushScreen(3);
  EXPECT_EQ(g_nBackTop, 0);
  PushScreen(8);
  PushScreen(3);
  EXPECT_EQ(g_nBackTop, 2);
  EXPECT_EQ(PopScreen(), 3);
  EXPECT_EQ(PopScreen(), 8);
  EXPECT_EQ(PopScreen(), 3);
  EXPECT_EQ(PopScreen(), SCREEN_NONE);
  EXPECT_EQ(g_nBackTop, -1);

  for (int i = 0; i < 12; ++i) PushScreen(i % 2 == 0 ? 3 : 6);
  EXPECT_EQ(g_nBackTop, BACK_STACK_SIZE - 1);
  EXPECT_EQ(PopScreen(), 6);  // the tenth push; the last two were dropped
  g_nBackTop = -1;
}

}  // namespace
