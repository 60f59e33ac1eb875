// The SMS page, opened by "Share ID" on the result page: the number typed
// into its three groups behind the blinking bar, the keys, and what reaches
// the SMS library when "Share ID!" sends.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "app/screen/screen_manager.h"
#include "app/strings.h"
#include "platform/phone/fake_sms.h"
#include "screens/result_screen.h"
#include "screens/sms_screen.h"
#include "tests/support/client_fixture.h"
#include "tests/support/reference_image.h"

namespace {

constexpr const char* kMessage = "I just IDed Song Two by Artist One: http://127.0.0.1/picks?id=7";

class SmsPage : public ClientTest {
 protected:
  // A song found from the main menu; with no store links, "Share ID" is its only item.
  void start(int width = 240, int height = 320) {
    SetSmsBackend(&sms);
    ClientTest::start(width, height);
    record.tagNumber = 7;
    std::free(record.smsMessage);
    record.smsMessage = DupString(kMessage);
    showResult(&record);
  }
  void TearDown() override {
    ClientTest::TearDown();
    SetSmsBackend(nullptr);
  }
  void open() {
    ASSERT_EQ(app_->screen(), SCREEN_RESULT);
    app_->key(VK_RETURN);
    ASSERT_EQ(app_->screen(), SCREEN_SMS);
  }
  SmsScreen& smsPage() const { return page<SmsScreen>(SCREEN_SMS); }

  // The caret blinks in the group being filled, and nowhere else. The entry
  // is anchored by width class, on the smallest screens far enough left for
  // the last group to end inside the window.
  ::testing::AssertionResult CaretIn(int group) {
    const POINT anchor = W() > 320 ? POINT{50, 43 + 175} : W() > 240 ? POINT{30, 43 + 75} : POINT{W() - 220, 43 + 100};
    constexpr int kLeft[3] = {50, 100, 150}, kRight[3] = {90, 140, 205};
    if (!smsPage().caretVisible()) app_->wait(500);
    const Surface shown = app_->pixels();
    app_->wait(500);
    return ChangesOnlyWithin(shown, app_->pixels(),
                             RECT{anchor.x + kLeft[group], anchor.y + 7, anchor.x + kRight[group], anchor.y + 27});
  }

  FakeSms sms;
  SongRecord record;
};

struct Size {
  int width, height;
};
class SmsPageSizes : public SmsPage, public ::testing::WithParamInterface<Size> {};

TEST_P(SmsPageSizes, TheNumberFillsThreeGroupsBehindTheBlinkingBar) {
  start(GetParam().width, GetParam().height);
  open();
  EXPECT_TRUE(Looks("screens", "sms"));
  EXPECT_TRUE(CaretIn(0));
  type("555");
  EXPECT_TRUE(CaretIn(1));
  type("12");
  EXPECT_TRUE(CaretIn(1));
  type("3");
  EXPECT_TRUE(CaretIn(2));
  type("4567");
  EXPECT_TRUE(CaretIn(2));
  type("8");
  EXPECT_EQ(smsPage().number(), L"+15551234567") << "an eleventh digit is ignored";
  if (!smsPage().caretVisible()) app_->wait(500);
  EXPECT_TRUE(Looks("screens", "sms-number"));
  EXPECT_TRUE(sms.sent().empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, SmsPageSizes, ::testing::Values(Size{240, 320}, Size{480, 640}),
                         [](const auto& info) {
                           return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

TEST_F(SmsPage, TheNumberStaysForTheNextVisitAndTheDeletingKeysShortenIt) {
  start();
  open();
  type("5551234");
  app_->key(VK_F1);
  open();
  EXPECT_EQ(smsPage().number(), L"+15551234");
  for (int i = 0; i < 7; ++i) app_->key(VK_BACK);
  app_->key(VK_OEM_PERIOD);  // 190 types 0
  EXPECT_EQ(smsPage().number(), L"+10");
  for (const UINT vk : {VK_BACK, VK_CLEAR, VK_ESCAPE, VK_LEFT, VK_DELETE}) {
    type("9");
    app_->key(vk);
    EXPECT_EQ(smsPage().number(), L"+10") << "key " << vk;
  }
  app_->key(VK_BACK);
  EXPECT_EQ(app_->screen(), SCREEN_SMS);
  app_->key(VK_BACK);  // past the prefix: back, nothing sent
  EXPECT_EQ(app_->screen(), SCREEN_RESULT);
  EXPECT_EQ(sms.opens(), 0);
}

TEST_F(SmsPage, AnIncompleteNumberOrNoRecordSendsNothing) {
  start();
  open();
  type("555123456");
  app_->key(VK_F2);
  EXPECT_EQ(app_->screen(), SCREEN_SMS);
  type("7");
  smsPage().setRecord(nullptr);
  app_->key(VK_F2);
  EXPECT_EQ(app_->screen(), SCREEN_SMS);
  EXPECT_EQ(sms.opens(), 0);
}

TEST_F(SmsPage, ShareSendsACopyOfTheRecordsTextToTheNumber) {
  start();
  open();
  // The page keeps a copy of its own: the result page replacing its record leaves it alone.
  page<ResultScreen>(SCREEN_RESULT).setRecord(nullptr);
  type("5551234567");
  app_->tap(W() - 5, H() - 5);  // the right half of the band is "Share ID!"
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
  EXPECT_EQ(sms.closes(), 1);
  EXPECT_EQ(sms.openHandles(), 0);
  EXPECT_EQ(app_->log().find("SMS Error"), std::string::npos);

  // Back on the result page with the 6 pushed for the SMS page still on the
  // stack: the first "back" pops it and stays, the second leaves.
  EXPECT_EQ(app_->screen(), SCREEN_RESULT);
  app_->key(VK_F1);
  EXPECT_EQ(app_->screen(), SCREEN_RESULT);
  app_->key(VK_F1);
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
}

TEST_F(SmsPage, LongTextsAreCutAt160UnitsWithoutSplittingACharacter) {
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
  start();
  for (const Case& c : cases) {
    std::free(record.smsMessage);
    record.smsMessage = DupString(c.text.c_str());
    page<ResultScreen>(SCREEN_RESULT).setRecord(&record);
    open();
    type("5551234567");
    app_->key(VK_F2);
    ASSERT_FALSE(sms.sent().empty());
    const std::u16string sent = sms.sent().back().message.text;
    ASSERT_EQ(sent.size(), c.units) << c.text;
    EXPECT_EQ(sent.back(), c.last) << c.text;
    EXPECT_EQ(app_->screen(), SCREEN_RESULT);
  }
}

TEST_F(SmsPage, ALibraryFailureIsLoggedAndThePageStillReturns) {
  start();
  sms.failOpen(SMS_E_RADIOUNAVAILABLE);
  open();
  type("5551234567");
  app_->key(VK_F2);
  EXPECT_EQ(app_->screen(), SCREEN_RESULT);
  EXPECT_TRUE(sms.sent().empty());
  EXPECT_NE(app_->log().find("SMS Error\r\n"), std::string::npos);

  sms.failOpen(S_OK);
  sms.failSend(SMS_E_MISC);
  open();
  app_->key(VK_F2);
  EXPECT_EQ(app_->screen(), SCREEN_RESULT);
  EXPECT_EQ(sms.sent().size(), 1u);
  EXPECT_EQ(sms.openHandles(), 0);
  const std::string log = app_->log();
  EXPECT_NE(log.find("SMS Error\r\n", log.find("SMS Error\r\n") + 1), std::string::npos);
}

}  // namespace
