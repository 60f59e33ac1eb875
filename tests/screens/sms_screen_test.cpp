// The SMS page as the user sees it, at 240 x 320 and at 480 x 640: the
// number typed into its three groups with the blinking bar, the keys, and
// what reaches the SMS library when "Share ID!" sends.
#include "screens/sms_screen.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/screen/look.h"
#include "app/screen/screen_manager.h"
#include "app/state.h"
#include "app/strings.h"
#include "platform/gdi/gdi.h"
#include "platform/phone/fake_sms.h"
#include "platform/window/window.h"
#include "screens/result_screen.h"
#include "tests/support/gif_check.h"
#include "tests/support/headless_app.h"

namespace {

constexpr std::uint32_t kWhitePixel = 0xFFFFFF;
constexpr int kBand = 55;
constexpr const char* kMessage = "I just IDed Song Two by Artist One: http://127.0.0.1/picks?id=7";

struct Size {
  int width;
  int height;
};

// Where the page anchors the number entry at this size: on the smallest
// screens far enough left for the last group to end inside the window.
POINT Anchor(int width) {
  if (width > 320) return POINT{50, 43 + 175};
  if (width > 240) return POINT{30, 43 + 75};
  return POINT{std::min(60, width - 220), 43 + 100};
}

class SmsPage : public ::testing::TestWithParam<Size> {
 protected:
  void SetUp() override {
    SetSmsBackend(&sms);
    HeadlessApp::Options options;
    options.width = W();
    options.height = H();
    app = std::make_unique<HeadlessApp>(options);
    ASSERT_TRUE(app->started());
    app->skipSplash();
    ASSERT_EQ(app->screen(), SCREEN_MAIN_MENU);
    record.tagNumber = 7;
    record.smsMessage = DupString(kMessage);
    // A song found from the main menu; with no store links, "Share ID" is
    // its only item.
    SwitchScreen(SCREEN_RESULT);
    PushScreen(SCREEN_MAIN_MENU);
    showOnResultPage();
  }
  void TearDown() override {
    app.reset();
    SetSmsBackend(nullptr);
  }
  int W() const { return GetParam().width; }
  int H() const { return GetParam().height; }

  void showOnResultPage() {
    ASSERT_EQ(app->screen(), SCREEN_RESULT);
    static_cast<ResultScreen*>(g_apScreens[SCREEN_RESULT])->setRecord(&record);
  }
  // "Share ID" on the result page.
  void open() {
    ASSERT_EQ(app->screen(), SCREEN_RESULT);
    app->key(VK_RETURN);
    ASSERT_EQ(app->screen(), SCREEN_SMS);
  }
  SmsScreen* page() const { return static_cast<SmsScreen*>(g_apScreens[SCREEN_SMS]); }

  void type(const std::string& digits) {
    for (const char digit : digits) app->key(static_cast<UINT>(digit));
  }

  ::testing::AssertionResult Shows(int gifId, int x, int y, int w, int rows) {
    return ShowsGif(*app, gifId, x, y, w, rows);
  }

  // The group's rectangle shows exactly `text` in the number's font (20
  // pixels), black on white; where it ends, no ink.
  ::testing::AssertionResult GroupShows(int group, const std::wstring& text) {
    static constexpr int kLeft[3] = {50, 100, 150};
    static constexpr int kRight[3] = {90, 140, 205};
    const POINT anchor = Anchor(W());
    const int x = anchor.x + kLeft[group];
    const int y = anchor.y + 7;
    const int width = kRight[group] - kLeft[group];
    const int height = 20;

    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, width, height);
    HGDIOBJ previousBitmap = SelectObject(dc, bitmap);
    FontHandle font = CreatePageFont(height);
    HGDIOBJ previousFont = SelectObject(dc, font.get());
    RECT all{0, 0, width, height};
    HBRUSH white = CreateSolidBrush(RGB(255, 255, 255));
    FillRect(dc, &all, white);
    DeleteObject(white);
    SIZE extent{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    DrawTextW(dc, text.c_str(), -1, &all, 0);
    const Surface expected = *GetBitmapSurface(bitmap);
    SelectObject(dc, previousFont);
    SelectObject(dc, previousBitmap);
    DeleteObject(bitmap);
    DeleteDC(dc);

    int mismatches = 0;
    int ink = 0;
    for (int j = 0; j < height; ++j)
      for (int i = 0; i < width && x + i < W(); ++i) {
        const std::uint32_t shown = app->pixel(x + i, y + j);
        if (i < extent.cx) {
          if (shown != (expected.at(i, j) & 0xFFFFFFu)) ++mismatches;
        } else if ((shown & 0xFF) < 0x60 && ((shown >> 8) & 0xFF) < 0x60) {
          ++ink;
        }
      }
    if (mismatches == 0 && ink == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "group " << group + 1 << ": " << mismatches << " pixels differ from \""
                                         << WideToAnsi(text.c_str()) << "\", " << ink << " dark pixels past it";
  }

  FakeSms sms;
  SongRecord record;
  std::unique_ptr<HeadlessApp> app;
};

TEST_P(SmsPage, FreshPageShowsItsPicturesAndOnlyTheBlinkingBar) {
  open();
  EXPECT_TRUE(Shows(113, W() / 2 - 160, 0, 320, 43));
  const int pictureY = W() > 240 ? H() - kBand - 74 : H() - kBand - 62;
  EXPECT_TRUE(Shows(142, W() - 96, pictureY, 96, H() - kBand - pictureY));
  const POINT anchor = Anchor(W());
  // The input box reaches round all three groups and the digits' height:
  // its left part as drawn, its right corners moved out to the last group.
  EXPECT_TRUE(Shows(143, anchor.x - 10, anchor.y - 5, 120, 8));
  const int boxRight = anchor.x + 215, boxBottom = anchor.y + 7 + 20 + 4;
  int cornerMisses = 0;
  for (int j = 0; j < 8; ++j)
    for (int i = 0; i < 8; ++i)
      cornerMisses += app->pixel(boxRight - 8 + i, boxBottom - 8 + j) != GifPixel(143, 142 - 8 + i, 26 - 8 + j);
  EXPECT_EQ(cornerMisses, 0) << "the bottom-right corner";
  EXPECT_TRUE(Shows(161, 10, H() - kBand + 27 - 6, 30, 12));
  EXPECT_TRUE(Shows(165, W() - 58 - 10, H() - kBand + 27 - 6, 58, 12));

  // The prompt's lines end inside the window, in a font shrunk where needed.
  for (int y = 43 + 5; y < 43 + 105; ++y)
    for (int x = W() - 3; x < W(); ++x) ASSERT_EQ(app->pixel(x, y), kWhitePixel) << x << ", " << y;

  EXPECT_TRUE(GroupShows(0, L"|"));
  EXPECT_TRUE(GroupShows(1, L""));
  EXPECT_TRUE(GroupShows(2, L""));
  app->wait(500);
  EXPECT_FALSE(page()->caretVisible());
  EXPECT_TRUE(GroupShows(0, L""));
  app->wait(500);
  EXPECT_TRUE(GroupShows(0, L"|"));
}

TEST_P(SmsPage, TenDigitsFillThreeGroupsAndAnEleventhIsIgnored) {
  open();
  type("555");
  EXPECT_TRUE(GroupShows(0, L"555"));
  EXPECT_TRUE(GroupShows(1, L"|"));
  type("12");
  EXPECT_TRUE(GroupShows(1, L"12|"));
  type("34567");
  EXPECT_EQ(page()->number(), L"+15551234567");
  type("8");
  EXPECT_EQ(page()->number(), L"+15551234567");

  // Each key restarts no blink: the caret keeps the phase the timer gives it.
  const bool visible = page()->caretVisible();
  if (!visible) app->wait(500);
  EXPECT_TRUE(GroupShows(0, L"555"));
  EXPECT_TRUE(GroupShows(1, L"123"));
  EXPECT_TRUE(GroupShows(2, L"4567|"));
  app->wait(500);
  EXPECT_TRUE(GroupShows(2, L"4567"));
  EXPECT_TRUE(sms.sent().empty());
}

TEST_P(SmsPage, DeletingKeysAndTheZeroKey) {
  open();
  app->key(VK_OEM_PERIOD);  // 190 types 0
  EXPECT_EQ(page()->number(), L"+10");
  for (const UINT vk : {VK_BACK, VK_CLEAR, VK_ESCAPE, VK_LEFT, VK_DELETE}) {
    type("9");
    app->key(vk);
    EXPECT_EQ(page()->number(), L"+10") << "key " << vk;
  }
  app->key(VK_BACK);
  EXPECT_EQ(page()->number(), L"+1");
  EXPECT_EQ(app->screen(), SCREEN_SMS);
  app->key(VK_BACK);  // past the prefix: back, nothing sent
  EXPECT_EQ(app->screen(), SCREEN_RESULT);
  EXPECT_EQ(sms.opens(), 0);
}

TEST_P(SmsPage, TheNumberIsOfferedAgainOnTheNextVisit) {
  open();
  type("5551234");
  app->key(VK_F1);
  EXPECT_EQ(app->screen(), SCREEN_RESULT);
  open();
  EXPECT_EQ(page()->number(), L"+15551234");
  if (!page()->caretVisible()) app->wait(500);
  EXPECT_TRUE(GroupShows(1, L"123"));
  EXPECT_TRUE(GroupShows(2, L"4|"));
}

TEST_P(SmsPage, AnIncompleteNumberOrNoRecordSendsNothing) {
  open();
  type("555123456");
  app->key(VK_F2);
  EXPECT_EQ(app->screen(), SCREEN_SMS);
  EXPECT_EQ(sms.opens(), 0);

  type("7");
  page()->setRecord(nullptr);
  app->key(VK_F2);
  EXPECT_EQ(app->screen(), SCREEN_SMS);
  EXPECT_EQ(sms.opens(), 0);
}

TEST_P(SmsPage, ShareSendsTheRecordsTextToTheNumber) {
  open();
  type("5551234567");
  app->tap(W() - 5, H() - 5);  // the right half of the band is "Share ID!"
  const std::vector<FakeSms::Sent> sent = sms.sent();
  ASSERT_EQ(sent.size(), 1u);
  const SmsOutgoing& message = sent[0].message;
  EXPECT_EQ(message.destination.smsatAddressType, SMSAT_INTERNATIONAL);
  EXPECT_EQ(std::wstring(message.destination.ptsAddress), L"+15551234567");
  EXPECT_EQ(message.text, std::u16string(kMessage, kMessage + std::strlen(kMessage)));
  EXPECT_EQ(message.providerDataSize, 688u);
  EXPECT_EQ(message.providerData.dwMessageOptions, PS_MESSAGE_OPTION_NONE);
  EXPECT_EQ(message.providerData.psMessageClass, PS_MESSAGE_CLASS1);
  EXPECT_EQ(message.providerData.psReplaceOption, PSRO_NONE);
  EXPECT_EQ(message.providerData.dwHeaderDataSize, 0u);
  EXPECT_EQ(message.encoding, SMSDE_OPTIMAL);
  EXPECT_EQ(message.options, SMS_OPTION_DELIVERY_NONE);
  EXPECT_EQ(sms.opens(), 1);
  EXPECT_EQ(sms.closes(), 1);
  EXPECT_EQ(sms.openHandles(), 0);
  EXPECT_EQ(app->log().find("SMS Error"), std::string::npos);

  // Back on the result page with the 6 pushed for the SMS page still on the
  // stack: the first "back" pops it and stays, the second leaves.
  EXPECT_EQ(app->screen(), SCREEN_RESULT);
  app->key(VK_F1);
  EXPECT_EQ(app->screen(), SCREEN_RESULT);
  app->key(VK_F1);
  EXPECT_EQ(app->screen(), SCREEN_MAIN_MENU);
}

TEST_P(SmsPage, ThePageKeepsACopyOfTheRecord) {
  open();
  const SongRecord* copy = page()->record();
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy->smsMessage, record.smsMessage);
  EXPECT_STREQ(copy->smsMessage, kMessage);
  // The result page replacing its record leaves the SMS page's copy alone.
  static_cast<ResultScreen*>(g_apScreens[SCREEN_RESULT])->setRecord(nullptr);
  EXPECT_STREQ(page()->record()->smsMessage, kMessage);
}

// The text's UTF-16 units as the library received them.
std::u16string SentText(const FakeSms& sms) { return sms.sent().empty() ? u"" : sms.sent().back().message.text; }

TEST_P(SmsPage, LongTextsAreCutAt160UnitsWithoutSplittingACharacter) {
  const std::string clef = "\xF0\x9D\x84\x9E";  // U+1D11E, a surrogate pair in UTF-16
  struct Case {
    std::string text;
    std::size_t units;
    char16_t last;
  };
  const Case cases[] = {
      {std::string(200, 'a'), 160, u'a'},
      {std::string(159, 'a') + clef + "tail", 159, u'a'},  // the pair would straddle the cut
      {std::string(158, 'a') + clef + "tail", 160, 0xDD1E},
      {"caf\xC3\xA9 ol\xC3\xA9", 8, u'\u00E9'},
  };
  for (const Case& c : cases) {
    std::free(record.smsMessage);
    record.smsMessage = DupString(c.text.c_str());
    showOnResultPage();
    open();
    type("5551234567");
    app->key(VK_F2);
    const std::u16string sent = SentText(sms);
    ASSERT_EQ(sent.size(), c.units) << c.text;
    EXPECT_EQ(sent.back(), c.last) << c.text;
    EXPECT_EQ(app->screen(), SCREEN_RESULT);
  }
}

TEST_P(SmsPage, ALibraryFailureIsLoggedAndThePageStillReturns) {
  sms.failOpen(SMS_E_RADIOUNAVAILABLE);
  open();
  type("5551234567");
  app->key(VK_F2);
  EXPECT_EQ(app->screen(), SCREEN_RESULT);
  EXPECT_EQ(sms.sent().size(), 0u);
  EXPECT_NE(app->log().find("SMS Error\r\n"), std::string::npos);

  sms.failOpen(S_OK);
  sms.failSend(SMS_E_MISC);
  open();
  app->key(VK_F2);
  EXPECT_EQ(app->screen(), SCREEN_RESULT);
  EXPECT_EQ(sms.sent().size(), 1u);
  EXPECT_EQ(sms.openHandles(), 0);
  const std::string log = app->log();
  EXPECT_NE(log.find("SMS Error\r\n", log.find("SMS Error\r\n") + 1), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SmsPage, ::testing::Values(Size{240, 320}, Size{480, 640}),
                         [](const auto& info) {
                           return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

}  // namespace
