// The SMS library on ModemManager, against a mock ModemManager on a private
// bus, one that never answers, and no ModemManager or bus at all.
#include "platform/phone/modemmanager_backend.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/platform/phone/private_bus.h"

namespace {

using namespace std::chrono_literals;

// Opens, sends and closes as the SMS page does: an international number,
// message class 1, no delivery report, the provider data in 688 bytes.
HRESULT Send(const std::u16string& text = u"hello") {
  SMS_HANDLE handle = nullptr;
  SmsOpen(SMS_MSGTYPE_TEXT, SMS_MODE_SEND, &handle, nullptr);
  SMS_ADDRESS destination{};
  destination.smsatAddressType = SMSAT_INTERNATIONAL;
  std::wstring(L"+15551234567").copy(destination.ptsAddress, SMS_MAX_ADDRESS_LENGTH - 1);
  std::vector<BYTE> provider(688, 0);
  reinterpret_cast<TEXT_PROVIDER_SPECIFIC_DATA*>(provider.data())->psMessageClass = PS_MESSAGE_CLASS1;
  const HRESULT result = SmsSendMessage(handle, nullptr, &destination, nullptr,
                                        reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(2 * text.size()),
                                        provider.data(), 688, SMSDE_OPTIMAL, SMS_OPTION_DELIVERY_NONE, nullptr);
  SmsClose(handle);
  return result;
}

HRESULT Open() {
  SMS_HANDLE handle = nullptr;
  const HRESULT result = SmsOpen(SMS_MSGTYPE_TEXT, SMS_MODE_SEND, &handle, nullptr);
  EXPECT_EQ(handle == nullptr, result != S_OK);
  SmsClose(handle);
  return result;
}

class ModemManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { SetSmsBackend(&backend_); }
  void TearDown() override {
    SetSmsBackend(nullptr);
    unsetenv("MELODEX_SYSTEM_BUS_ADDRESS");
  }
  void startBus(bool withModemManager) {
    if (const std::string missing = PrivateBus::MissingTools(); !missing.empty()) GTEST_SKIP() << missing;
    std::string error;
    ASSERT_TRUE(withModemManager ? bus_.startWithModemManager(&error) : bus_.start(false, &error)) << error;
    setenv("MELODEX_SYSTEM_BUS_ADDRESS", bus_.address().c_str(), 1);
  }

  PrivateBus bus_;
  // Generous for a loaded machine, well below the stalling mock's 10 s.
  ModemManagerBackend backend_{4000ms};
};

TEST_F(ModemManagerTest, TheFirstModemThatCanSendSendsNumberTextAndClass) {
  startBus(true);
  std::string plain, messaging;
  ASSERT_TRUE(bus_.addModem(false, "sends", &plain));
  ASSERT_TRUE(bus_.addModem(true, "sends", &messaging));
  EXPECT_EQ(Send(u"Caf\u00e9 \U0001D11E!"), S_OK);
  EXPECT_TRUE(bus_.messages(plain).empty());
  const std::vector<PrivateBus::MockSms> sent = bus_.messages(messaging);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].number, "+15551234567");
  EXPECT_EQ(sent[0].text, "Caf\xC3\xA9 \xF0\x9D\x84\x9E!") << "the surrogate pair is one character";
  EXPECT_EQ(sent[0].messageClass, 1);
  EXPECT_FALSE(sent[0].deliveryReport);
  EXPECT_EQ(sent[0].state, 5u) << "sent";

  SMS_HANDLE handle = nullptr;
  EXPECT_EQ(SmsOpen(L"Some Other Protocol", SMS_MODE_SEND, &handle, nullptr), E_INVALIDARG);
  EXPECT_EQ(SmsOpen(SMS_MSGTYPE_TEXT, SMS_MODE_RECEIVE, &handle, nullptr), E_INVALIDARG);
  ASSERT_EQ(SmsOpen(SMS_MSGTYPE_TEXT, SMS_MODE_SEND, &handle, nullptr), S_OK);
  EXPECT_EQ(SmsClose(handle), S_OK);
  EXPECT_EQ(SmsClose(handle), SMS_E_INVALIDDATA);
}

TEST_F(ModemManagerTest, ARefusedSendFailsAndLeavesNoMessageBehind) {
  startBus(true);
  std::string modem;
  ASSERT_TRUE(bus_.addModem(true, "fails", &modem));
  EXPECT_EQ(Send(), SMS_E_MISC);
  EXPECT_TRUE(bus_.messages(modem).empty());
}

TEST_F(ModemManagerTest, NoModemThatCanSendOpensAndASendThatNeverEndsIsGivenUp) {
  startBus(true);
  EXPECT_EQ(Open(), SMS_E_RADIOUNAVAILABLE);
  EXPECT_EQ(Send(), SMS_E_INVALIDDATA) << "no handle to send with";
  std::string modem;
  ASSERT_TRUE(bus_.addModem(false, "sends", &modem));
  EXPECT_EQ(Open(), SMS_E_RADIOUNAVAILABLE);
  ASSERT_TRUE(bus_.addModem(true, "stalls", &modem));
  EXPECT_EQ(Send(), SMS_E_TIMEOUT) << "the mock takes 10 s; the bound is 4 s";
}

TEST_F(ModemManagerTest, ModemManagerSilentAbsentOrNoBusAtAll) {
  startBus(false);
  if (IsSkipped()) return;
  EXPECT_EQ(Open(), SMS_E_RADIOUNAVAILABLE) << "a bus without ModemManager";
  // This connection owns ModemManager's name and never reads its messages.
  sd_bus* raw = nullptr;
  ASSERT_GE(sd_bus_new(&raw), 0);
  const std::unique_ptr<sd_bus, decltype(&sd_bus_flush_close_unref)> silent(raw, &sd_bus_flush_close_unref);
  ASSERT_GE(sd_bus_set_address(raw, bus_.address().c_str()), 0);
  ASSERT_GE(sd_bus_set_bus_client(raw, 1), 0);
  ASSERT_GE(sd_bus_start(raw), 0);
  ASSERT_GE(sd_bus_request_name(raw, "org.freedesktop.ModemManager1", 0), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Open(), SMS_E_TIMEOUT);
  // A hang guard, not a speed goal: opening has a quarter of the 4 s bound.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);

  setenv("MELODEX_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/melodex-bus", 1);
  EXPECT_EQ(Open(), SMS_E_RADIOUNAVAILABLE) << "no bus at all";
}

}  // namespace
