// The SMS page, opened by "Share ID" on the result page: the number typed
// into its three groups behind the blinking bar, the keys, and what reaches
// the SMS library when "Share ID!" sends.
#include "screens/sms_screen.h"

#include <cstdlib>
#include <cstring>

#include "app/strings.h"
#include "platform/phone/fake_sms.h"
#include "screens/result_screen.h"
#include "tests/support/client_fixture.h"

namespace {

constexpr const char* kMessage = "I just IDed Song Two by Artist One: http://127.0.0.1/picks?id=7";

class Sms : public ClientTest, public ::testing::WithParamInterface<std::pair<int, int>> {
 protected:
  // "Share ID" on the result page of a song without store links, found from the main menu.
  void open(int width = 240, int height = 320) {
    SetSmsBackend(&sms);
    start(width, height);
    setMessage(kMessage);
    showResult(&record);
    reopen();
  }
  void reopen() const {
    app_->key(VK_RETURN);
    ASSERT_EQ(app_->screen(), SCREEN_SMS);
  }
  void setMessage(const std::string& text) {
    std::free(record.smsMessage);
    record.smsMessage = DupString(text.c_str());
  }
  void TearDown() override {
    ClientTest::TearDown();
    SetSmsBackend(nullptr);
  }
  SmsScreen& smsPage() const { return page<SmsScreen>(SCREEN_SMS); }
  // The caret blinks in the group being filled, and nowhere else. The entry
  // is anchored by width class; on the smallest screens far enough left for
  // the last group to end inside the window.
  ::testing::AssertionResult CaretIn(int group) const {
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

TEST_P(Sms, TheNumberFillsThreeGroupsBehindTheBlinkingBar) {
  open(GetParam().first, GetParam().second);
  EXPECT_TRUE(Looks("screens", "sms"));
  EXPECT_TRUE(CaretIn(0));
  for (const auto& [digits, group] :
       {std::pair{"555", 1}, std::pair{"12", 1}, std::pair{"3", 2}, std::pair{"4567", 2}}) {
    type(digits);
    EXPECT_TRUE(CaretIn(group)) << digits;
  }
  type("8");
  EXPECT_EQ(smsPage().number(), L"+15551234567") << "an eleventh digit is ignored";
  if (!smsPage().caretVisible()) app_->wait(500);
  EXPECT_TRUE(Looks("screens", "sms-number"));
  EXPECT_TRUE(sms.sent().empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, Sms, ::testing::Values(std::pair{240, 320}, std::pair{480, 640}));

TEST_F(Sms, ShareSendsOnlyACompleteNumberKeptForTheNextVisitAndACopyOfTheTextCutAt160Units) {
  open();
  type("555123456");
  app_->key(VK_F2);
  EXPECT_EQ(app_->screen(), SCREEN_SMS) << "nine digits: nothing is sent";
  type("7");
  smsPage().setRecord(nullptr);
  app_->key(VK_F2);
  EXPECT_EQ(app_->screen(), SCREEN_SMS) << "no record: nothing is sent";
  app_->key(VK_F1);
  reopen();
  EXPECT_EQ(smsPage().number(), L"+15551234567");
  for (int i = 0; i < 10; ++i) app_->key(VK_BACK);
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
  // "Share ID!" sends. The page keeps a copy of its own: the result page replacing its record leaves it alone.
  reopen();
  page<ResultScreen>(SCREEN_RESULT).setRecord(nullptr);
  type("5551234567");
  app_->tap(W() - 5, H() - 5);  // the right half of the band is "Share ID!"
  const std::vector<FakeSms::Sent> sent = sms.sent();
  ASSERT_EQ(sent.size(), 1u);
  const SmsOutgoing& m = sent[0].message;
  EXPECT_EQ(m.text, std::u16string(kMessage, kMessage + std::strlen(kMessage)));
  EXPECT_EQ(std::tuple(m.destination.smsatAddressType, std::wstring(m.destination.ptsAddress), m.providerDataSize,
                       m.providerData.dwMessageOptions, m.providerData.psMessageClass, m.providerData.psReplaceOption,
                       m.providerData.dwHeaderDataSize, m.encoding, m.options),
            std::tuple(SMSAT_INTERNATIONAL, std::wstring(L"+15551234567"), 688u, PS_MESSAGE_OPTION_NONE,
                       PS_MESSAGE_CLASS1, PSRO_NONE, 0u, SMSDE_OPTIMAL, SMS_OPTION_DELIVERY_NONE));
  EXPECT_EQ(std::pair(sms.closes(), sms.openHandles()), std::pair(1, 0));
  EXPECT_EQ(app_->log().find("SMS Error"), std::string::npos);
  // Back on the result page with the 6 pushed for the SMS page still on the
  // stack: the first "back" pops it and stays, the second leaves.
  EXPECT_EQ(app_->screen(), SCREEN_RESULT);
  app_->key(VK_F1);
  EXPECT_EQ(app_->screen(), SCREEN_RESULT);
  app_->key(VK_F1);
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);

  const std::string clef = "\xF0\x9D\x84\x9E";  // U+1D11E, a surrogate pair in UTF-16
  const struct {
    std::string text;
    std::size_t units;
    char16_t last;
  } cases[] = {
      {std::string(200, 'a'), 160, u'a'},
      {std::string(159, 'a') + clef + "tail", 159, u'a'},  // the pair would straddle the cut
      {std::string(158, 'a') + clef + "tail", 160, 0xDD1E},
      {"caf\xC3\xA9 ol\xC3\xA9", 8, u'\u00E9'},
  };
  showResult(&record);
  for (const auto& c : cases) {
    setMessage(c.text);
    page<ResultScreen>(SCREEN_RESULT).setRecord(&record);
    reopen();
    type("5551234567");
    app_->key(VK_F2);
    EXPECT_EQ(app_->screen(), SCREEN_RESULT);
    ASSERT_FALSE(sms.sent().empty());
    const std::u16string text = sms.sent().back().message.text;
    EXPECT_EQ(std::pair(text.size(), text.back()), std::pair(c.units, c.last)) << c.text;
  }
  for (const bool failOpen : {true, false}) {
    sms.failOpen(failOpen ? SMS_E_RADIOUNAVAILABLE : S_OK);
    sms.failSend(failOpen ? S_OK : SMS_E_MISC);
    const std::size_t before = app_->log().size(), count = sms.sent().size();
    reopen();
    type("5551234567");
    app_->key(VK_F2);
    EXPECT_EQ(app_->screen(), SCREEN_RESULT);
    EXPECT_EQ(sms.sent().size(), count + (failOpen ? 0u : 1u));
    EXPECT_EQ(sms.openHandles(), 0);
    EXPECT_EQ(app_->log().substr(before), "SMS Error\r\n");
  }
}

}  // namespace
