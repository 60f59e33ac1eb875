// The SMS library on ModemManager against a mock ModemManager on a private bus.
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
HRESULT Send(const std::wstring& number, const std::u16string& text) {
  SMS_HANDLE handle = nullptr;
  HANDLE event = nullptr;
  SmsOpen(SMS_MSGTYPE_TEXT, SMS_MODE_SEND, &handle, &event);
  SMS_ADDRESS destination{};
  destination.smsatAddressType = SMSAT_INTERNATIONAL;
  number.copy(destination.ptsAddress, SMS_MAX_ADDRESS_LENGTH - 1);
  std::vector<BYTE> provider(688, 0);
  reinterpret_cast<TEXT_PROVIDER_SPECIFIC_DATA*>(provider.data())->psMessageClass = PS_MESSAGE_CLASS1;
  const HRESULT result = SmsSendMessage(handle, nullptr, &destination, nullptr,
                                        reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(2 * text.size()),
                                        provider.data(), 688, SMSDE_OPTIMAL, SMS_OPTION_DELIVERY_NONE, nullptr);
  SmsClose(handle);
  return result;
}

class ModemManagerTest : public ::testing::Test {
 protected:
  void startBus(bool withModemManager) {
    const std::string missing = PrivateBus::MissingTools();
    if (!missing.empty()) GTEST_SKIP() << missing;
    std::string error;
    ASSERT_TRUE(withModemManager ? m_bus.startWithModemManager(&error) : m_bus.start(false, &error)) << error;
    setenv("MELODEX_SYSTEM_BUS_ADDRESS", m_bus.address().c_str(), 1);
  }
  void SetUp() override {
    SetSmsBackend(&m_backend);
    startBus(true);
  }
  void TearDown() override {
    SetSmsBackend(nullptr);
    unsetenv("MELODEX_SYSTEM_BUS_ADDRESS");
  }

  PrivateBus m_bus;
  // Generous for a loaded machine, well below the stalling mock's 10 s.
  ModemManagerBackend m_backend{4000ms};
};

TEST_F(ModemManagerTest, TheMessageCarriesNumberTextAndClassAndIsSent) {
  std::string plain, messaging;
  ASSERT_TRUE(m_bus.addModem(false, "sends", &plain));
  ASSERT_TRUE(m_bus.addModem(true, "sends", &messaging));
  EXPECT_EQ(Send(L"+15551234567", u"Caf\u00e9 \U0001D11E!"), S_OK);

  EXPECT_TRUE(m_bus.messages(plain).empty());
  const std::vector<PrivateBus::MockSms> sent = m_bus.messages(messaging);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].number, "+15551234567");
  EXPECT_EQ(sent[0].text, "Caf\xC3\xA9 \xF0\x9D\x84\x9E!");
  EXPECT_EQ(sent[0].messageClass, 1);
  EXPECT_FALSE(sent[0].deliveryReport);
  EXPECT_EQ(sent[0].state, 5u);
}

TEST_F(ModemManagerTest, ARefusedSendFailsAndLeavesNoMessageBehind) {
  std::string modem;
  ASSERT_TRUE(m_bus.addModem(true, "fails", &modem));
  EXPECT_EQ(Send(L"+15551234567", u"hello"), SMS_E_MISC);
  EXPECT_TRUE(m_bus.messages(modem).empty());
}

TEST_F(ModemManagerTest, WithoutAModemThatCanSendNothingOpens) {
  SMS_HANDLE handle = nullptr;
  EXPECT_EQ(SmsOpen(SMS_MSGTYPE_TEXT, SMS_MODE_SEND, &handle, nullptr), SMS_E_RADIOUNAVAILABLE);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(Send(L"+15551234567", u"hello"), SMS_E_INVALIDDATA);

  std::string modem;
  ASSERT_TRUE(m_bus.addModem(false, "sends", &modem));
  EXPECT_EQ(SmsOpen(SMS_MSGTYPE_TEXT, SMS_MODE_SEND, &handle, nullptr), SMS_E_RADIOUNAVAILABLE);
}

TEST_F(ModemManagerTest, OnlyTheTextProviderForSendingOpens) {
  std::string modem;
  ASSERT_TRUE(m_bus.addModem(true, "sends", &modem));
  SMS_HANDLE handle = nullptr;
  EXPECT_EQ(SmsOpen(L"Some Other Protocol", SMS_MODE_SEND, &handle, nullptr), E_INVALIDARG);
  EXPECT_EQ(SmsOpen(SMS_MSGTYPE_TEXT, SMS_MODE_RECEIVE, &handle, nullptr), E_INVALIDARG);
  ASSERT_EQ(SmsOpen(SMS_MSGTYPE_TEXT, SMS_MODE_SEND, &handle, nullptr), S_OK);
  EXPECT_EQ(SmsClose(handle), S_OK);
  EXPECT_EQ(SmsClose(handle), SMS_E_INVALIDDATA);
}

TEST_F(ModemManagerTest, ASendThatNeverEndsIsGivenUpWithinTheBound) {
  std::string modem;
  ASSERT_TRUE(m_bus.addModem(true, "stalls", &modem));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Send(L"+15551234567", u"hello"), SMS_E_TIMEOUT);
  // The mock takes 10 s; the backend's bound is 4 s.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
}

class SilentModemManagerTest : public ModemManagerTest {
 protected:
  void SetUp() override {
    SetSmsBackend(&m_backend);
    startBus(false);
  }
};

TEST_F(SilentModemManagerTest, AModemManagerThatNeverAnswersIsGivenUp) {
  if (IsSkipped()) return;
  // This connection owns ModemManager's name and never reads its messages.
  sd_bus* raw = nullptr;
  ASSERT_GE(sd_bus_new(&raw), 0);
  const std::unique_ptr<sd_bus, decltype(&sd_bus_flush_close_unref)> silent(raw, &sd_bus_flush_close_unref);
  ASSERT_GE(sd_bus_set_address(raw, m_bus.address().c_str()), 0);
  ASSERT_GE(sd_bus_set_bus_client(raw, 1), 0);
  ASSERT_GE(sd_bus_start(raw), 0);
  ASSERT_GE(sd_bus_request_name(raw, "org.freedesktop.ModemManager1", 0), 0);

  const auto start = std::chrono::steady_clock::now();
  SMS_HANDLE handle = nullptr;
  EXPECT_EQ(SmsOpen(SMS_MSGTYPE_TEXT, SMS_MODE_SEND, &handle, nullptr), SMS_E_TIMEOUT);
  EXPECT_EQ(handle, nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
}

TEST_F(SilentModemManagerTest, ABusWithoutModemManagerHasNoModem) {
  if (IsSkipped()) return;
  EXPECT_EQ(Send(L"+15551234567", u"hello"), SMS_E_INVALIDDATA);
  SMS_HANDLE handle = nullptr;
  EXPECT_EQ(SmsOpen(SMS_MSGTYPE_TEXT, SMS_MODE_SEND, &handle, nullptr), SMS_E_RADIOUNAVAILABLE);
}

TEST(NoBusTest, NoBusAtAllHasNoModem) {
  ModemManagerBackend backend{4000ms};
  SetSmsBackend(&backend);
  setenv("MELODEX_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/melodex-bus", 1);
  SMS_HANDLE handle = nullptr;
  EXPECT_EQ(SmsOpen(SMS_MSGTYPE_TEXT, SMS_MODE_SEND, &handle, nullptr), SMS_E_RADIOUNAVAILABLE);
  EXPECT_EQ(Send(L"+15551234567", u"hello"), SMS_E_INVALIDDATA);
  unsetenv("MELODEX_SYSTEM_BUS_ADDRESS");
  SetSmsBackend(nullptr);
}

}  // namespace
