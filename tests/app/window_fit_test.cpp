// A window resized from outside (by the user or a phone's compositor)
// becomes the new display: the window refits, every page is laid out for the
// new size exactly as if the program had started at it, and the back buffer
// grows only when the new size outgrows it.
#include <gtest/gtest.h>

#include <SDL2/SDL.h>
#include <SDL2/SDL_image.h>

#include <memory>
#include <string>

#include "app/screen/screen_manager.h"
#include "app/state.h"
#include "app/strings.h"
#include "platform/gdi/gdi.h"
#include "platform/window/form_factor.h"
#include "platform/window/headless.h"
#include "platform/window/window.h"
#include "screens/result_screen.h"
#include "tags/tag_store.h"
#include "tests/support/headless_app.h"

namespace {

struct Size {
  int width;
  int height;
};

std::unique_ptr<HeadlessApp> StartAt(Size size) {
  HeadlessApp::Options options;
  options.width = size.width;
  options.height = size.height;
  auto app = std::make_unique<HeadlessApp>(options);
  EXPECT_TRUE(app->started());
  return app;
}

int BackBufferSide() {
  BITMAP info{};
  GetObjectW(g_hbmBack, sizeof info, &info);
  EXPECT_EQ(info.bmWidth, info.bmHeight);
  return info.bmWidth;
}

// The menu keeps its highlight between visits: "help me out" is two items
// down from a fresh start, and already highlighted after a visit to help.
void OpenHelp(HeadlessApp& app, bool freshMenu = true) {
  if (freshMenu) {
    app.key(VK_DOWN);
    app.key(VK_DOWN);
  }
  app.key(VK_RETURN);
  ASSERT_EQ(app.screen(), SCREEN_HELP);
}

void BackToMenu(HeadlessApp& app) {
  app.key(VK_F1);
  ASSERT_EQ(app.screen(), SCREEN_MAIN_MENU);
}

// What the window shows on the help page, and then on the menu with "help me
// out" highlighted, when the program starts at this size.
struct Reference {
  Surface help;
  Surface menu;
};

Reference ReferenceAt(Size size) {
  auto app = StartAt(size);
  app->skipSplash();
  OpenHelp(*app);
  Reference reference{app->pixels(), {}};
  BackToMenu(*app);
  reference.menu = app->pixels();
  return reference;
}

::testing::AssertionResult SamePixels(const Surface& shown, const Surface& expected) {
  if (shown.width != expected.width || shown.height != expected.height)
    return ::testing::AssertionFailure() << "window is " << shown.width << " x " << shown.height << ", expected "
                                         << expected.width << " x " << expected.height;
  int differing = 0;
  for (int y = 0; y < shown.height; ++y)
    for (int x = 0; x < shown.width; ++x)
      if ((shown.at(x, y) & 0xFFFFFFu) != (expected.at(x, y) & 0xFFFFFFu)) ++differing;
  if (differing == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << differing << " pixels differ from a start at this size";
}

TEST(WindowFit, AResizedWindowShowsWhatAStartAtThatSizeShows) {
  const Size sizes[] = {{480, 640}, {640, 360}, {360, 720}};
  std::vector<Reference> references;
  for (const Size& size : sizes) references.push_back(ReferenceAt(size));

  auto app = StartAt({240, 320});
  app->skipSplash();
  for (std::size_t i = 0; i < std::size(sizes); ++i) {
    SCOPED_TRACE(std::to_string(sizes[i].width) + " x " + std::to_string(sizes[i].height));
    OpenHelp(*app, i == 0);
    app->resize(sizes[i].width, sizes[i].height);
    EXPECT_EQ(g_nScreenWidth, sizes[i].width);
    EXPECT_EQ(g_nScreenHeight, sizes[i].height);
    EXPECT_TRUE(SamePixels(app->pixels(), references[i].help));
    BackToMenu(*app);
    EXPECT_TRUE(SamePixels(app->pixels(), references[i].menu));
  }
  // Keys and taps still find the items where the new layout put them.
  app->tap(360 / 2, 387);
  EXPECT_EQ(app->screen(), SCREEN_HELP);
}

constexpr int kTag = 3;

// A found song whose stored cover (tag kTag) is larger than any page's room
// for it, so that each layout shrinks it to its own size.
void ShowFoundSong() {
  SDL_Surface* cover = SDL_CreateRGBSurfaceWithFormat(0, 400, 300, 32, SDL_PIXELFORMAT_ARGB8888);
  SDL_Rect left{0, 0, 200, 300};
  SDL_FillRect(cover, nullptr, SDL_MapRGB(cover->format, 255, 128, 0));
  SDL_FillRect(cover, &left, SDL_MapRGB(cover->format, 0, 0, 255));
  ASSERT_EQ(IMG_SaveJPG(cover, TagArtPath(kTag).c_str(), 95), 0) << IMG_GetError();
  SDL_FreeSurface(cover);

  SongRecord record;
  record.tagNumber = kTag;
  record.artist = DupWideString(L"Nightjar");
  record.trackTitle = DupWideString(L"Low Tide");
  record.album = DupWideString(L"Shorelines");
  record.ringer = DupString("http://store.test/ringer?id=1");
  record.fullSong = DupString("http://store.test/song?id=1");
  record.smsMessage = DupString("I just found Low Tide by Nightjar");
  PushScreen(SCREEN_MAIN_MENU);
  SwitchScreen(SCREEN_RESULT);
  static_cast<ResultScreen*>(g_apScreens[SCREEN_RESULT])->setRecord(&record);
  DispatchPending();
}

TEST(WindowFit, TheResultPageIsLaidOutAfreshForEachNewSize) {
  const Size sizes[] = {{480, 640}, {320, 240}, {360, 720}, {240, 320}};
  std::vector<Surface> references;
  for (const Size& size : sizes) {
    auto app = StartAt(size);
    app->skipSplash();
    ShowFoundSong();
    references.push_back(app->pixels());
  }

  auto app = StartAt({240, 320});
  app->skipSplash();
  ShowFoundSong();
  for (std::size_t i = 0; i < std::size(sizes); ++i) {
    SCOPED_TRACE(std::to_string(sizes[i].width) + " x " + std::to_string(sizes[i].height));
    app->resize(sizes[i].width, sizes[i].height);
    EXPECT_TRUE(SamePixels(app->pixels(), references[i]));
  }
}

TEST(WindowFit, TheBackBufferIsReplacedOnlyWhenOutgrown) {
  auto app = StartAt({240, 320});
  app->skipSplash();
  const HBITMAP original = g_hbmBack;
  EXPECT_EQ(BackBufferSide(), 320);

  // A rotation, and a smaller window: the square still serves.
  app->resize(320, 240);
  app->resize(200, 200);
  EXPECT_EQ(g_hbmBack, original);
  EXPECT_EQ(BackBufferSide(), 320);

  app->resize(480, 640);
  EXPECT_NE(g_hbmBack, original);
  EXPECT_EQ(BackBufferSide(), 640);
  // The bottom of the taller page is drawn, not lost beyond the old square.
  OpenHelp(*app);
  EXPECT_EQ(app->pixel(10, 639), 0x0077C0u) << "soft-key band at the bottom";
}

TEST(WindowFit, PhoneFormFactorComesFromTheMachineOrTheDisplaySize) {
  EXPECT_TRUE(IsPhoneFormFactor(360, 720, "", ""));
  EXPECT_TRUE(IsPhoneFormFactor(720, 360, "", ""));
  EXPECT_FALSE(IsPhoneFormFactor(1920, 1048, "", ""));
  EXPECT_FALSE(IsPhoneFormFactor(360, 1100, "", ""));
  // What the machine says of itself wins over the display size.
  EXPECT_TRUE(IsPhoneFormFactor(1080, 2160, "PRETTY_HOSTNAME=phone\nCHASSIS=handset\n", ""));
  EXPECT_TRUE(IsPhoneFormFactor(1920, 1200, "CHASSIS=\"tablet\"\n", ""));
  EXPECT_FALSE(IsPhoneFormFactor(800, 600, "CHASSIS=desktop\n", ""));
  EXPECT_TRUE(IsPhoneFormFactor(1080, 2160, "", std::string("handset\0", 8)));
  EXPECT_FALSE(IsPhoneFormFactor(1080, 2160, "", std::string("laptop\0", 7)));
}

}  // namespace
