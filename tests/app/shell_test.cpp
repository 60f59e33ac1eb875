// The application shell driven as a user would: keys and taps into the
// window procedure, then what the screen shows and what lands in files.
#include <gtest/gtest.h>

#include <cwchar>
#include <filesystem>
#include <string>

#include "app/main_window.h"
#include "app/state.h"
#include "platform/window/headless.h"
#include "platform/window/window.h"
#include "tests/support/headless_app.h"

namespace {

TEST(Routing, TalkAndVolumeKeysNeverReachAScreen) {
  HeadlessApp app;
  ASSERT_TRUE(app.started());
  ASSERT_EQ(app.screen(), SCREEN_SPLASH);
  // Any key leaves the splash, so a key that got through would show.
  for (UINT vk : {VK_F3, VK_VOLUME_UP, VK_VOLUME_DOWN}) {
    app.key(vk);
    EXPECT_EQ(app.screen(), SCREEN_SPLASH) << "key " << vk;
  }
  app.key('5');
  EXPECT_EQ(app.screen(), SCREEN_MAIN_MENU);
}

TEST(Routing, CancelRequestAndUnknownMessagesReturnOneAndChangeNothing) {
  HeadlessApp app;
  ASSERT_TRUE(app.started());
  app.skipSplash();
  EXPECT_EQ(SendMessageW(g_hWnd, WM_USER + 1, 0, 0), 1);
  EXPECT_EQ(SendMessageW(g_hWnd, WM_KEYDOWN, VK_RETURN, 0), 1);
  EXPECT_EQ(SendMessageW(g_hWnd, WM_LBUTTONDOWN, 0, MAKELPARAM(100, 150)), 1);
  EXPECT_EQ(app.screen(), SCREEN_MAIN_MENU);
  EXPECT_EQ(SendMessageW(g_hWnd, MM_WIM_DATA, 0, 0), 0);
  EXPECT_NE(app.log().find("Melodex: got MM_WIM_DATA message\r\n"), std::string::npos);
}

TEST(Routing, TheCloseButtonHidesTheWindowAndTheProgramRunsOn) {
  HeadlessApp app;
  ASSERT_TRUE(app.started());
  PressCloseButton();
  EXPECT_FALSE(app.visible());
  int exitCode = -1;
  EXPECT_FALSE(app.quit(&exitCode));
}

TEST(SoftKeys, TheBottom55PixelsSplitAtTheMiddle) {
  HeadlessApp app;
  ASSERT_TRUE(app.started());
  app.skipSplash();
  app.key(VK_DOWN);
  app.key(VK_DOWN);
  app.key(VK_RETURN);  // help me out
  ASSERT_EQ(app.screen(), SCREEN_HELP);

  app.tap(119, 265);  // the line just above the bar: not a soft key
  EXPECT_EQ(app.screen(), SCREEN_HELP);
  app.tap(120, 266);  // right half: "Select" opens the page
  EXPECT_EQ(app.screen(), SCREEN_HELP);
  app.key(VK_F1);     // back to the list
  app.tap(119, 266);  // left half: "back" leaves for the menu
  EXPECT_EQ(app.screen(), SCREEN_MAIN_MENU);
}

TEST(Log, HoldsTheRunsLinesAndIsTruncatedAtEveryStart) {
  HeadlessApp::Options options;
  options.home = MakeTempFolder("melodex-log");
  {
    HeadlessApp app(options);
    ASSERT_TRUE(app.started());
    SendMessageW(g_hWnd, MM_WIM_DATA, 0, 0);
    SendMessageW(g_hWnd, MM_WIM_DATA, 0, 0);
    EXPECT_EQ(app.log(),
              "Melodex starting up\r\n"
              "Melodex: got MM_WIM_DATA message\r\n"
              "Melodex: got MM_WIM_DATA message\r\n");
  }
  {
    HeadlessApp app(options);
    ASSERT_TRUE(app.started());
    EXPECT_EQ(app.log(), "Melodex starting up\r\n");
  }
  std::filesystem::remove_all(options.home);
}

TEST(Log, AMissingDataFolderMeansNoLogThisRunAndOneNextRun) {
  HeadlessApp::Options options;
  options.freshHome = true;
  HeadlessApp app(options);
  ASSERT_TRUE(app.started());
  app.skipSplash();
  EXPECT_EQ(app.screen(), SCREEN_MAIN_MENU);
  EXPECT_TRUE(std::filesystem::is_directory(app.home()));  // created during start-up
  EXPECT_FALSE(std::filesystem::exists(app.home() / "log.txt"));
}

std::wstring OwnerIdWith(const std::string& settings) {
  HeadlessApp::Options options;
  options.settings = settings;
  HeadlessApp app(options);
  return app.started() && g_szOwnerID ? std::wstring(g_szOwnerID) : L"<not started>";
}

TEST(Settings, OwnerIdDefaultsAndBoundary) {
  EXPECT_EQ(OwnerIdWith(""), L"2422");
  EXPECT_EQ(OwnerIdWith("ownerID = \"alice\"\n"), L"alice");
  EXPECT_EQ(OwnerIdWith("ownerID = \"" + std::string(127, 'x') + "\"\n"), std::wstring(127, L'x'));
  EXPECT_EQ(OwnerIdWith("ownerID = \"" + std::string(128, 'x') + "\"\n"), L"2422");
  EXPECT_EQ(OwnerIdWith("ownerID = \"caf\xc3\xa9\"\n"), L"caf\u00e9");
}

TEST(Settings, WrongTypesAndBrokenFilesFallBackToDefaults) {
  EXPECT_EQ(OwnerIdWith("ownerID = 1234\n"), L"2422");
  EXPECT_EQ(OwnerIdWith("ownerID = [\"a\"]\n"), L"2422");
  EXPECT_EQ(OwnerIdWith("ownerID = \"unterminated\n"), L"2422");
  EXPECT_EQ(OwnerIdWith("\x01\x02 not toml at all ]]]"), L"2422");
}

TEST(Settings, BrowserPathComesFromTheSettingsOrDefaultsToXdgOpen) {
  {
    HeadlessApp app;
    ASSERT_TRUE(app.started());
    EXPECT_STREQ(g_szBrowserPath, L"xdg-open");
  }
  HeadlessApp::Options options;
  options.settings = "browserPath = \"/usr/bin/firefox\"\n";
  HeadlessApp app(options);
  ASSERT_TRUE(app.started());
  EXPECT_STREQ(g_szBrowserPath, L"/usr/bin/firefox");
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
  EXPECT_EQ(app.log(), log);  // the running program's log is untouched
}

}  // namespace
