// The application shell driven as a user would: keys, taps and messages into
// the window procedure, then what the screen shows and what lands in files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/main_window.h"
#include "app/state.h"
#include "platform/window/headless.h"
#include "platform/window/window.h"
#include "tests/support/headless_app.h"

namespace {

TEST(Routing, KeysTapsMessagesAndTheCloseButton) {
  HeadlessApp app;
  ASSERT_TRUE(app.started());
  ASSERT_EQ(app.screen(), SCREEN_SPLASH);
  for (UINT vk : {VK_F3, VK_VOLUME_UP, VK_VOLUME_DOWN}) app.key(vk);  // any key that got through leaves the splash
  EXPECT_EQ(app.screen(), SCREEN_SPLASH) << "talk and volume keys never reach a screen";
  app.key('5');
  EXPECT_EQ(app.screen(), SCREEN_MAIN_MENU);
  EXPECT_EQ(SendMessageW(g_hWnd, WM_USER + 1, 0, 0), 1) << "a cancel request with nothing to cancel";
  EXPECT_EQ(SendMessageW(g_hWnd, WM_KEYDOWN, VK_RETURN, 0), 1) << "keys act on release";
  EXPECT_EQ(SendMessageW(g_hWnd, WM_LBUTTONDOWN, 0, MAKELPARAM(100, 150)), 1);
  EXPECT_EQ(app.screen(), SCREEN_MAIN_MENU);
  EXPECT_EQ(SendMessageW(g_hWnd, MM_WIM_DATA, 0, 0), 0);
  EXPECT_NE(app.log().find("Melodex: got MM_WIM_DATA message\r\n"), std::string::npos);

  app.key(VK_DOWN);
  app.key(VK_DOWN);
  app.key(VK_RETURN);  // help me out
  ASSERT_EQ(app.screen(), SCREEN_HELP);
  app.tap(119, 265);  // just above the soft-key bar: no soft key
  app.tap(120, 266);  // the right half, "Select", opens the page
  EXPECT_EQ(app.screen(), SCREEN_HELP);
  app.key(VK_F1);     // back to the list
  app.tap(119, 266);  // the left half, "back", leaves for the menu
  EXPECT_EQ(app.screen(), SCREEN_MAIN_MENU);

  PressCloseButton();
  EXPECT_FALSE(app.visible());
  int exitCode = -1;
  EXPECT_FALSE(app.quit(&exitCode)) << "the close button hides the program, which runs on";
}

TEST(Log, HoldsTheRunsLinesIsTruncatedAtEveryStartAndNeedsTheDataFolder) {
  HeadlessApp::Options options;
  options.home = MakeTempFolder("melodex-log");
  for (int run = 0; run < 2; ++run) {
    HeadlessApp app(options);
    ASSERT_TRUE(app.started());
    if (run == 0) SendMessageW(g_hWnd, MM_WIM_DATA, 0, 0);
    EXPECT_EQ(app.log(), run == 0 ? "Melodex starting up\r\nMelodex: got MM_WIM_DATA message\r\n" : "Melodex starting up\r\n");
  }
  std::filesystem::remove_all(options.home);
  HeadlessApp::Options fresh;
  fresh.freshHome = true;
  HeadlessApp app(fresh);
  ASSERT_TRUE(app.started());
  EXPECT_TRUE(std::filesystem::is_directory(app.home())) << "made during start-up";
  EXPECT_FALSE(std::filesystem::exists(app.home() / "log.txt")) << "no log this run";
}

TEST(Settings, OwnerIdAndBrowserPathOrTheirDefaults) {
  const std::pair<std::string, std::wstring> owners[] = {
      {"", L"2422"}, {"ownerID = \"alice\"\n", L"alice"}, {"ownerID = \"caf\xc3\xa9\"\n", L"caf\u00e9"},
      {"ownerID = \"" + std::string(127, 'x') + "\"\n", std::wstring(127, L'x')},
      {"ownerID = \"" + std::string(128, 'x') + "\"\n", L"2422"},  // too long for its 128-character buffer
      {"ownerID = 1234\n", L"2422"}, {"ownerID = [\"a\"]\n", L"2422"}, {"ownerID = \"unterminated\n", L"2422"},
      {"\x01\x02 not toml at all ]]]", L"2422"}};
  for (const auto& [settings, owner] : owners) {
    HeadlessApp::Options options;
    options.settings = settings;
    HeadlessApp app(options);
    ASSERT_TRUE(app.started());
    EXPECT_EQ(std::wstring(g_szOwnerID), owner) << settings;
    EXPECT_EQ(std::wstring(g_szBrowserPath), L"xdg-open");
  }
  HeadlessApp::Options options;
  options.settings = "browserPath = \"/usr/bin/firefox\"\n";
  HeadlessApp app(options);
  EXPECT_EQ(std::wstring(g_szBrowserPath), L"/usr/bin/firefox");
}

TEST(SingleInstance, ASecondLaunchBringsTheFirstForwardInsteadOfStarting) {
  HeadlessApp app;
  ASSERT_TRUE(app.started());
  app.skipSplash();
  app.key(VK_ESCAPE);  // the menu hides the program
  ASSERT_FALSE(app.visible());
  const std::string log = app.log();
  const std::string command = std::string(MELODEX_BINARY) + " --backend headless --home " +
                              (app.root() / "second").string() + " --script /dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(app.root() / "second" / "log.txt"));
  WaitForPostedMessage(5000);
  app.wait(10);
  EXPECT_TRUE(app.visible());
  EXPECT_EQ(app.log(), log) << "the running program's log is untouched";
}

}  // namespace
