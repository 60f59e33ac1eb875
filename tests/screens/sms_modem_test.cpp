// The SMS page sending through the program's own SMS library on a mock
// ModemManager: what arrives at the modem, and what a missing or failing
// modem, or no bus at all, leaves in the log.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/strings.h"
#include "tests/platform/phone/private_bus.h"
#include "tests/support/client_fixture.h"

namespace {

class SmsThroughModem : public ClientTest {
 protected:
  void SetUp() override {
    if (const std::string missing = PrivateBus::MissingTools(); !missing.empty()) GTEST_SKIP() << missing;
  }
  void TearDown() override {
    ClientTest::TearDown();
    unsetenv("MELODEX_SYSTEM_BUS_ADDRESS");
  }
  // From the result page of a found song: "Share ID", a number, "Share ID!".
  void shareSong() {
    start();
    SongRecord record;
    record.smsMessage = DupString("Listen to Low Tide by Nightjar");
    showResult(&record);
    app_->key(VK_RETURN);
    ASSERT_EQ(app_->screen(), SCREEN_SMS);
    type("5551234567");
    app_->key(VK_F2);
    EXPECT_EQ(app_->screen(), SCREEN_RESULT);
  }
  bool loggedError() const { return app_->log().find("SMS Error\r\n") != std::string::npos; }
};

TEST_F(SmsThroughModem, TheSongsTextReachesTheModemAndEveryFailureIsLogged) {
  struct Case {
    bool bus;
    const char* modem;  // its behaviour, or none
    bool sent;
  };
  for (const Case& c : {Case{true, "sends", true}, Case{true, nullptr, false}, Case{true, "fails", false},
                        Case{false, nullptr, false}}) {
    SCOPED_TRACE(c.modem ? c.modem : c.bus ? "no modem" : "no bus");
    PrivateBus bus;
    std::string error, modem;
    if (c.bus) {
      ASSERT_TRUE(bus.startWithModemManager(&error)) << error;
      if (c.modem) {
        ASSERT_TRUE(bus.addModem(true, c.modem, &modem));
      }
    }
    setenv("MELODEX_SYSTEM_BUS_ADDRESS", c.bus ? bus.address().c_str() : "unix:path=/nonexistent/melodex-bus", 1);
    shareSong();
    EXPECT_EQ(loggedError(), !c.sent);
    if (!c.sent) continue;
    const auto sent = bus.messages(modem);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].number, "+15551234567");
    EXPECT_EQ(sent[0].text, "Listen to Low Tide by Nightjar");
    EXPECT_EQ(sent[0].messageClass, 1);
    EXPECT_FALSE(sent[0].deliveryReport);
    EXPECT_EQ(sent[0].state, 5u);
  }
}

}  // namespace
