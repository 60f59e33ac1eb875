// The application shell driven as a user would: keys, taps and messages into
// the window procedure, then what the screen shows and what lands in files;
// screen switching and the back stack, with counting screens placed in the
// two slots that have no screen class of their own (0 and 2); and the text
// conversions the shell and the screens share.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "app/main_window.h"
#include "app/screen/screen.h"
#include "app/screen/screen_manager.h"
#include "app/state.h"
#include "app/strings.h"
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
  EXPECT_FALSE(WindowVisible());
  int exitCode = -1;
  EXPECT_FALSE(QuitPosted(&exitCode)) << "the close button hides the program, which runs on";
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
      {"", L"2422"}, {"ownerID = \"alice\"\nbrowserPath = \"/usr/bin/firefox\"\n", L"alice"},
      {"ownerID = \"caf\xc3\xa9\"\n", L"caf\u00e9"}, {"ownerID = \"" + std::string(127, 'x') + "\"\n", std::wstring(127, L'x')},
      {"ownerID = \"" + std::string(128, 'x') + "\"\n", L"2422"},  // too long for its 128-character buffer
      {"ownerID = 1234\n", L"2422"}, {"ownerID = 0\n", L"2422"},  // a number is no text, even one that ends in zero
      {"ownerID = [\"a\"]\n", L"2422"}, {"ownerID = \"unterminated\n", L"2422"},
      {"\x01\x02 not toml at all ]]]", L"2422"}};
  for (const auto& [settings, owner] : owners) {
    HeadlessApp::Options options;
    options.settings = settings;
    HeadlessApp app(options);
    ASSERT_TRUE(app.started());
    EXPECT_EQ(std::wstring(g_szOwnerID), owner) << settings;
    EXPECT_EQ(std::wstring(g_szBrowserPath), owner == L"alice" ? L"/usr/bin/firefox" : L"xdg-open");
  }
}

TEST(SingleInstance, ASecondLaunchBringsTheFirstForwardInsteadOfStarting) {
  HeadlessApp app;
  ASSERT_TRUE(app.started());
  app.skipSplash();
  app.key(VK_ESCAPE);  // the menu hides the program
  ASSERT_FALSE(WindowVisible());
  const std::string log = app.log();
  const std::string command = std::string(MELODEX_BINARY) + " --backend headless --home " +
                              (app.root() / "second").string() + " --script /dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(app.root() / "second" / "log.txt"));
  WaitForPostedMessage(5000);
  app.wait(10);
  EXPECT_TRUE(WindowVisible());
  EXPECT_EQ(app.log(), log) << "the running program's log is untouched";
}

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

template <typename Char>
std::basic_string<Char> Taken(Char* text) {
  const std::unique_ptr<Char, decltype(&std::free)> owned(text, &std::free);
  return text ? std::basic_string<Char>(text) : std::basic_string<Char>();
}

TEST(Strings, Utf8OrWindows1252AndBack) {
  const std::pair<const char*, std::wstring> wide[] = {
      {"Beyonc\xc3\xa9", L"Beyonc\u00e9"}, {"\xe6\x97\xa5\xe6\x9c\xac", L"\u65e5\u672c"}, {"", L""},
      {"\xf0\x9f\x8e\xb5", std::wstring(1, static_cast<wchar_t>(0x1F3B5))},  // one character, not a pair
      {"Caf\xe9", L"Caf\u00e9"}, {"\x93quoted\x94 \x80", L"\u201cquoted\u201d \u20ac"},
      {"\xc3(\xc3\xa9", L"\u00c3(\u00e9"},  // a broken sequence costs only its own bytes
      {"\xc0\xaf", L"\u00c0\u00af"}, {"\xed\xa0\x80", L"\u00ed\u00a0\u20ac"},  // overlong, surrogate: not UTF-8
  };
  for (const auto& [bytes, expected] : wide) EXPECT_EQ(Taken(AnsiToWide(bytes)), expected) << bytes;
  EXPECT_EQ(Taken(WideToAnsi(L"Mot\u00f6rhead \u65e5\u672c \U0001F3B5")),
            "Mot\xc3\xb6rhead \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x8e\xb5");
  EXPECT_EQ(Taken(DupString("abc")), "abc");
  EXPECT_EQ(Taken(DupWideString(L"\u00e9t\u00e9")), L"\u00e9t\u00e9");
  EXPECT_TRUE(!AnsiToWide(nullptr) && !WideToAnsi(nullptr) && !DupString(nullptr) && !DupWideString(nullptr));
}

}  // namespace
