// The connection manager on NetworkManager and the SMS library on
// ModemManager, against mocks on a private bus, silent services and no bus.
#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "platform/phone/modemmanager_backend.h"
#include "platform/phone/networkmanager_backend.h"
#include "tests/platform/phone/private_bus.h"
#include "tests/support/silent_port.h"

namespace {

using namespace std::chrono_literals;
constexpr unsigned kNone = 1, kLimited = 3, kFull = 4;  // NMConnectivityState

class PhoneTest : public ::testing::Test {
 protected:
  void SetUp() override { SetSmsBackend(&sms_); }
  void TearDown() override {
    SetSmsBackend(nullptr);
    unsetenv("MELODEX_SYSTEM_BUS_ADDRESS");
  }
  // mock: 'n' NetworkManager, 'm' ModemManager. False when the tools are missing.
  bool startBus(char mock, PrivateBus* bus = nullptr) {
    if (!PrivateBus::MissingTools().empty()) return false;
    bus = bus ? bus : &bus_;
    std::string error;
    EXPECT_TRUE(mock == 'm' ? bus->startWithModemManager(&error) : bus->start(true, &error)) << error;
    setenv("MELODEX_SYSTEM_BUS_ADDRESS", bus->address().c_str(), 1);
    return true;
  }
  HRESULT establish(const CONNMGR_CONNECTIONINFO& info, DWORD timeoutMs, HANDLE* connection = nullptr) {
    HANDLE held = nullptr;
    DWORD status = 0;
    return network_.establish(info, timeoutMs, connection ? connection : &held, &status);
  }
  HRESULT establish(const std::string& url, DWORD timeoutMs, HANDLE* connection = nullptr) {
    CONNMGR_CONNECTIONINFO info{};
    const std::wstring wide(url.begin(), url.end());
    EXPECT_EQ(network_.mapUrl(wide.c_str(), &info.guidDestNet), S_OK);
    return establish(info, timeoutMs, connection);
  }
  DWORD status(HANDLE connection) {
    DWORD value = 0;
    EXPECT_EQ(network_.connectionStatus(connection, &value), S_OK);
    return value;
  }

  PrivateBus bus_;
  NetworkManagerBackend network_;
  ModemManagerBackend sms_{4000ms};  // generous for a loaded machine, well below the stalling mock's 10 s
};

HRESULT Send(const std::u16string& text = u"hello") {
  SMS_HANDLE handle = nullptr;
  SmsOpen(SMS_MSGTYPE_TEXT, SMS_MODE_SEND, &handle, nullptr);
  SMS_ADDRESS to{};  // as the SMS page sends: class 1, no delivery report, 688 bytes of provider data
  to.smsatAddressType = SMSAT_INTERNATIONAL;
  std::wstring(L"+15551234567").copy(to.ptsAddress, SMS_MAX_ADDRESS_LENGTH - 1);
  std::vector<BYTE> provider(688, 0);
  reinterpret_cast<TEXT_PROVIDER_SPECIFIC_DATA*>(provider.data())->psMessageClass = PS_MESSAGE_CLASS1;
  const HRESULT result =
      SmsSendMessage(handle, nullptr, &to, nullptr, reinterpret_cast<const BYTE*>(text.data()),
                     static_cast<DWORD>(2 * text.size()), provider.data(), 688, SMSDE_OPTIMAL, SMS_OPTION_DELIVERY_NONE, nullptr);
  SmsClose(handle);
  return result;
}

HRESULT Open(LPCWSTR provider = SMS_MSGTYPE_TEXT, DWORD mode = SMS_MODE_SEND) {
  SMS_HANDLE handle = nullptr;
  const HRESULT result = SmsOpen(provider, mode, &handle, nullptr);
  EXPECT_EQ(handle == nullptr, result != S_OK);
  if (result == S_OK) {
    EXPECT_EQ(SmsClose(handle), S_OK);
    EXPECT_EQ(SmsClose(handle), SMS_E_INVALIDDATA) << "closed once";
  }
  return result;
}

TEST_F(PhoneTest, ConnectivityDecidesADropIsReportedAndASilentModemManagerIsGivenUp) {
  if (!startBus('n')) GTEST_SKIP() << PrivateBus::MissingTools();
  HANDLE connection = nullptr;
  ASSERT_EQ(establish("http://192.0.2.1/servlet/QuaverId", 2000, &connection), S_OK) << "full connectivity";
  EXPECT_EQ(status(connection), CONNMGR_STATUS_CONNECTED);
  ASSERT_TRUE(bus_.setConnectivity(kNone));
  EXPECT_EQ(status(connection), CONNMGR_STATUS_DISCONNECTED);
  EXPECT_EQ(network_.release(connection, 1), S_OK) << "given back once";
  EXPECT_EQ(network_.release(connection, 1), E_INVALIDARG);
  SilentPort server;
  EXPECT_EQ(establish(server.endpoint(), 300), E_FAIL) << "even a server that answers needs a network";
  std::thread comesUp([this] {
    std::this_thread::sleep_for(300ms);
    bus_.setConnectivity(kFull);
  });
  EXPECT_EQ(establish("http://192.0.2.1/", 5000), S_OK) << "full connectivity came within the time-out";
  comesUp.join();

  ASSERT_TRUE(bus_.setConnectivity(kLimited));
  EXPECT_EQ(establish(server.endpoint(), 2000), S_OK) << "limited: a server that answers";
  EXPECT_EQ(establish("http://127.0.0.1:1/", 300), E_FAIL) << "nothing listens on port 1";
  std::string path;
  ASSERT_TRUE(bus_.addProfile("Office", "5c0e7bd2-7f2b-4b7e-9d61-0a6b6d1e2f33", &path));
  CONNMGR_CONNECTIONINFO info{};
  ASSERT_EQ(network_.mapName(ConRefType_NAP, L"Office", &info.guidDestNet), S_OK);
  EXPECT_EQ(std::make_tuple(info.guidDestNet.Data1, info.guidDestNet.Data2, info.guidDestNet.Data4[7]),
            std::make_tuple(0x5c0e7bd2u, WORD{0x7f2b}, BYTE{0x33}));
  GUID other{};
  EXPECT_EQ(network_.mapName(ConRefType_NAP, L"Nowhere", &other), E_FAIL);
  EXPECT_EQ(establish(info, 200), E_FAIL) << "the profile is not active";
  ASSERT_TRUE(bus_.activateProfile(path, "Office"));
  EXPECT_EQ(establish(info, 2000), S_OK) << "limited: an active profile";

  EXPECT_EQ(Open(), SMS_E_RADIOUNAVAILABLE) << "a bus without ModemManager";
  // This connection owns ModemManager's name and never reads its messages.
  sd_bus* raw = nullptr;
  ASSERT_GE(sd_bus_new(&raw), 0);
  const std::unique_ptr<sd_bus, decltype(&sd_bus_flush_close_unref)> silent(raw, &sd_bus_flush_close_unref);
  ASSERT_GE(sd_bus_set_address(raw, bus_.address().c_str()), 0);
  ASSERT_TRUE(sd_bus_set_bus_client(raw, 1) >= 0 && sd_bus_start(raw) >= 0 &&
              sd_bus_request_name(raw, "org.freedesktop.ModemManager1", 0) >= 0);
  EXPECT_EQ(Open(), SMS_E_TIMEOUT) << "a silent ModemManager is given up";
}

TEST_F(PhoneTest, WithoutNetworkManagerAllConnectsTheFirstModemThatCanSendSendsAndARefusedOrStalledSendIsGivenUp) {
  if (!startBus('m')) GTEST_SKIP() << PrivateBus::MissingTools();
  // Without NetworkManager, on this bus or without a bus, every connection operation succeeds.
  for (const std::string& address : {bus_.address(), std::string("unix:path=/nonexistent/melodex-bus")}) {
    setenv("MELODEX_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    GUID network{};
    EXPECT_EQ(network_.mapName(ConRefType_NAP, L"Anything", &network), S_OK);
    HANDLE connection = nullptr;
    ASSERT_EQ(establish("http://192.0.2.1/", 100, &connection), S_OK);
    EXPECT_EQ(status(connection), CONNMGR_STATUS_CONNECTED);
    EXPECT_EQ(network_.release(connection, 0), S_OK);
    EXPECT_EQ(Open(), SMS_E_RADIOUNAVAILABLE) << "no modem, or no bus at all";
  }
  setenv("MELODEX_SYSTEM_BUS_ADDRESS", bus_.address().c_str(), 1);
  std::string plain, messaging;
  EXPECT_EQ(Send(), SMS_E_INVALIDDATA) << "no handle to send with";
  ASSERT_TRUE(bus_.addModem(false, "sends", &plain));
  EXPECT_EQ(Open(), SMS_E_RADIOUNAVAILABLE) << "a modem without messaging";
  ASSERT_TRUE(bus_.addModem(true, "sends", &messaging));
  EXPECT_EQ(Open(L"Some Other Protocol"), E_INVALIDARG);
  EXPECT_EQ(Open(SMS_MSGTYPE_TEXT, SMS_MODE_RECEIVE), E_INVALIDARG);
  EXPECT_EQ(Open(), S_OK);
  EXPECT_EQ(Send(u"Caf\u00e9 \U0001D11E!"), S_OK);
  EXPECT_TRUE(bus_.messages(plain).empty());
  const auto sent = bus_.messages(messaging);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].number, "+15551234567");
  EXPECT_EQ(sent[0].text, "Caf\xC3\xA9 \xF0\x9D\x84\x9E!") << "the surrogate pair is one character";
  EXPECT_EQ(std::make_tuple(sent[0].messageClass, sent[0].deliveryReport, sent[0].state), std::make_tuple(1, false, 5u));

  // A refused send leaves no message, and a never-ending one is given up.
  for (const char* behaviour : {"fails", "stalls"}) {
    PrivateBus bus;  // a bus each: the first modem that can send is the one used
    startBus('m', &bus);
    std::string modem;
    ASSERT_TRUE(bus.addModem(true, behaviour, &modem));
    EXPECT_EQ(Send(), behaviour[0] == 'f' ? SMS_E_MISC : SMS_E_TIMEOUT) << behaviour;
    EXPECT_TRUE(behaviour[0] == 's' || bus.messages(modem).empty()) << "a refused message is deleted";
  }
}

}  // namespace
