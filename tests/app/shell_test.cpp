// The application shell driven as a user would, screen switching, the back
// stack and the shared text conversions; then the melodex command itself.
#include <gtest/gtest.h>

#include <SDL2/SDL_image.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

namespace fs = std::filesystem;

namespace {

// One run: input routing, the close button, a second launch handing over to
// this one; then the log, truncated at the next start, and a fresh data folder.
TEST(Shell, RoutesInputHidesOnCloseWakesForASecondLaunchAndKeepsItsLog) {
  HeadlessApp::Options options;
  options.home = MakeTempFolder("melodex-log");
  {
    HeadlessApp app(options);
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
    const std::string command = std::string(MELODEX_BINARY) + " --backend headless --home " +
                                (app.root() / "second").string() + " --script /dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(app.root() / "second" / "log.txt")) << "the second launch did not start";
    WaitForPostedMessage(5000);
    app.wait(10);
    EXPECT_TRUE(WindowVisible());
    EXPECT_EQ(app.log(), "Melodex starting up\r\nMelodex: got MM_WIM_DATA message\r\n");
  }
  {
    HeadlessApp app(options);
    EXPECT_EQ(app.log(), "Melodex starting up\r\n");
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

// A screen that notes its name and each event in a shared string: '+' activated, '-' deactivated, 'x' destroyed.
class NotingScreen : public Screen {
 public:
  NotingScreen(char name, std::string* events) : Screen(g_hInst, g_hWnd), m_name(name), m_events(events) {}
  ~NotingScreen() override { *m_events += {m_name, 'x'}; }
  void paint(HDC*, RECT*) override {}
  void onActivate() override { *m_events += {m_name, '+'}; }
  void onDeactivate() override { *m_events += {m_name, '-'}; }

 private:
  char m_name;
  std::string* m_events;
};

TEST(ScreenManager, SwitchesActivateOnceEachOnTheInterfaceThreadEndWithEveryScreenDestroyedAndTheBackStackIsCapped) {
  std::string events;
  {
    HeadlessApp app;
    ASSERT_TRUE(app.started());
    app.skipSplash();
    g_apScreens[0] = new NotingScreen('a', &events);
    g_apScreens[2] = new NotingScreen('b', &events);
    SwitchScreen(0);
    SwitchScreen(0);  // the current screen: nothing happens
    SwitchScreen(-1);
    std::thread([] { SwitchScreen(2); }).join();
    EXPECT_EQ(app.screen(), 0) << "a worker's switch is posted";
    app.wait(10);
    EXPECT_EQ(app.screen(), 2);
    SwitchScreen(0);
    EXPECT_EQ(events, "a+a-b+b-a+");
    delete g_apScreens[2];  // slot 2 emptied again: no screen class serves it
    g_apScreens[2] = nullptr;
    SwitchScreen(2);
    EXPECT_EQ(app.screen(), 0);
    EXPECT_NE(app.log().find("SwitchScreen: no screen for index 2\r\n"), std::string::npos);
    SwitchScreen(SCREEN_NONE);
    app.key(VK_RETURN);  // without a current screen, keys and taps are ignored
    app.tap(10, 300);
    EXPECT_EQ(app.screen(), SCREEN_NONE);
  }
  EXPECT_EQ(events, "a+a-b+b-a+bxa-ax");
  for (Screen* screen : g_apScreens) EXPECT_EQ(screen, nullptr);

  // The back stack: pushes are deduplicated and capped, pops end at none.
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

class ScriptRun : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove_all(root_); }

  // Runs melodex with the script (when not empty) and the options; the exit
  // status, and standard output and error together in *output.
  int run(const std::string& script, const std::string& options, std::string* output,
          const std::string& environment = "") {
    std::ofstream(root_ / "script.txt") << script;
    const std::string command = "env " + environment + " XDG_RUNTIME_DIR=" + root_.string() + " " + MELODEX_BINARY +
                                " " + options + " --home " + (root_ / "home").string() + " --settings " +
                                (root_ / "none.toml").string() +
                                (script.empty() ? "" : " --script " + (root_ / "script.txt").string()) + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output->append(buffer, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  const fs::path root_ = MakeTempFolder("melodex-script");
};

TEST_F(ScriptRun, WalksThroughTheMenuReportsScreensRefitsAndEndsWithTheProgram) {
  fs::create_directories(root_ / "home");
  std::string output;
  EXPECT_EQ(run("screen\nwait 2999\nscreen\nwait 1\nscreen\n# help me out\nkey Down\nkey Down\nkey Enter\nscreen\n"
                "shot " + (root_ / "help.png").string() + "\nkey SoftLeft\nscreen\nresize 480 640\nshot " +
                (root_ / "menu.png").string() + "\nkey Down\nkey Enter\nfrobnicate\n",
                "--backend headless --size auto --fast", &output),
            0) << "exit from the menu ends the script: its unknown last line never runs\n" << output;
  EXPECT_NE(output.find("screen 1\nscreen 1\nscreen 3\nscreen 9\nscreen 3\n"), std::string::npos) << output;
  EXPECT_NE(ReadFile(root_ / "home" / "log.txt").find("Melodex starting up"), std::string::npos);
  // Auto size without a display keeps the default; a resize refits.
  for (const auto& [shot, size] : {std::pair("help.png", 240320), std::pair("menu.png", 480640)}) {
    SDL_Surface* png = IMG_Load((root_ / shot).c_str());
    EXPECT_EQ(png ? png->w * 1000 + png->h : 0, size) << shot;
    SDL_FreeSurface(png);
  }
}

// The exit status and the message of runs with bad scripts and options, and
// without a display or a microphone (SDL's dummy driver has a capture device).
TEST_F(ScriptRun, EachRunEndsWithItsStatusAndAClearMessage) {
  const struct {
    const char* script;
    const char* options;
    const char* environment;
    int status;
    const char* message;
  } cases[] = {
      {"wait 10\n\nfrobnicate 3\nkey Enter\n", "--backend headless", "", 2, ":3: unknown command 'frobnicate'"},
      {"key NoSuchKey\n", "--backend headless", "", 2, ":1: key needs"},
      {"tap 10\n", "--backend headless", "", 2, ":1: tap needs"},
      {"wait -5\n", "--backend headless", "", 2, ":1: wait needs"},
      {"resize 100 100\n", "--backend headless", "", 2, ":1: resize needs"},
      {"", "--backend headless --size 12x3", "", 2, "--size needs WxH"},
      {"", "--backend headless --audio loud", "", 105, "--audio"},
      {"", "--backend sdl", "-u DISPLAY -u WAYLAND_DISPLAY -u SDL_VIDEODRIVER", 1,
       "no display available (DISPLAY and WAYLAND_DISPLAY are unset or unreachable); run with --backend headless"},
      {"", "--check-microphone", "SDL_AUDIODRIVER=dummy", 0, "microphone found (SDL audio driver dummy)"},
      {"", "--check-microphone", "SDL_AUDIODRIVER=no-such-driver", 1, "melodex: no microphone ("},
  };
  for (const auto& c : cases) {
    std::string output;
    EXPECT_EQ(run(c.script, c.options, &output, c.environment), c.status) << output;
    EXPECT_NE(output.find(c.message), std::string::npos) << output;
  }
}

}  // namespace
