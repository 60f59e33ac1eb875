// The SMS page sending through the program's own SMS library on a mock
// ModemManager: what arrives at the modem, and what a missing or failing
// modem leaves in the log.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "app/screen/screen_manager.h"
#include "app/state.h"
#include "app/strings.h"
#include "platform/window/window.h"
#include "screens/result_screen.h"
#include "tests/platform/phone/private_bus.h"
#include "tests/support/headless_app.h"

namespace {

class SmsThroughModem : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string missing = PrivateBus::MissingTools();
    if (!missing.empty()) GTEST_SKIP() << missing;
  }
  void TearDown() override {
    app.reset();
    unsetenv("MELODEX_SYSTEM_BUS_ADDRESS");
  }

  void startBus() {
    std::string error;
    ASSERT_TRUE(bus.startWithModemManager(&error)) << error;
    setenv("MELODEX_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
  }

  // From the result page of a found song, "Share ID", a number, "Share ID!".
  void shareSong() {
    app = std::make_unique<HeadlessApp>();
    ASSERT_TRUE(app->started());
    app->skipSplash();
    SongRecord record;
    record.smsMessage = DupString("Listen to Low Tide by Nightjar");
    SwitchScreen(SCREEN_RESULT);
    PushScreen(SCREEN_MAIN_MENU);
    static_cast<ResultScreen*>(g_apScreens[SCREEN_RESULT])->setRecord(&record);
    app->key(VK_RETURN);
    ASSERT_EQ(app->screen(), SCREEN_SMS);
    for (const char digit : std::string("5551234567")) app->key(static_cast<UINT>(digit));
    app->key(VK_F2);
    EXPECT_EQ(app->screen(), SCREEN_RESULT);
  }

  bool loggedError() const { return app->log().find("SMS Error\r\n") != std::string::npos; }

  PrivateBus bus;
  std::unique_ptr<HeadlessApp> app;
};

TEST_F(SmsThroughModem, TheSongsTextReachesTheModem) {
  startBus();
  std::string modem;
  ASSERT_TRUE(bus.addModem(true, "sends", &modem));
  shareSong();
  const auto sent = bus.messages(modem);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].number, "+15551234567");
  EXPECT_EQ(sent[0].text, "Listen to Low Tide by Nightjar");
  EXPECT_EQ(sent[0].state, 5u);
  EXPECT_FALSE(loggedError());
}

TEST_F(SmsThroughModem, NoModemIsAnError) {
  startBus();
  shareSong();
  EXPECT_TRUE(loggedError());
}

TEST_F(SmsThroughModem, ARefusedSendIsAnError) {
  startBus();
  std::string modem;
  ASSERT_TRUE(bus.addModem(true, "fails", &modem));
  shareSong();
  EXPECT_TRUE(loggedError());
}

TEST_F(SmsThroughModem, NoBusAtAllIsAnError) {
  setenv("MELODEX_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/melodex-bus", 1);
  shareSong();
  EXPECT_TRUE(loggedError());
}

}  // namespace
