// The connection manager on NetworkManager, against a mock NetworkManager on
// a private bus, and without NetworkManager or a bus at all.
#include "platform/phone/networkmanager_backend.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/platform/phone/private_bus.h"
#include "tests/support/silent_port.h"

namespace {

constexpr unsigned kNone = 1, kLimited = 3, kFull = 4;  // NMConnectivityState

class NetworkManagerTest : public ::testing::Test {
 protected:
  void startBus(bool withNetworkManager) {
    if (const std::string missing = PrivateBus::MissingTools(); !missing.empty()) GTEST_SKIP() << missing;
    std::string error;
    ASSERT_TRUE(bus_.start(withNetworkManager, &error)) << error;
    setenv("MELODEX_SYSTEM_BUS_ADDRESS", bus_.address().c_str(), 1);
  }
  void TearDown() override { unsetenv("MELODEX_SYSTEM_BUS_ADDRESS"); }

  HRESULT establish(const std::string& url, DWORD timeoutMs, HANDLE* connection = nullptr) {
    CONNMGR_CONNECTIONINFO info{};
    info.cbSize = sizeof info;
    const std::wstring wide(url.begin(), url.end());
    EXPECT_EQ(backend_.mapUrl(wide.c_str(), &info.guidDestNet), S_OK);
    return establish(info, timeoutMs, connection);
  }
  HRESULT establish(const CONNMGR_CONNECTIONINFO& info, DWORD timeoutMs, HANDLE* connection = nullptr) {
    HANDLE held = nullptr;
    DWORD status = 0;
    return backend_.establish(info, timeoutMs, connection ? connection : &held, &status);
  }
  DWORD status(HANDLE connection) {
    DWORD value = 0;
    EXPECT_EQ(backend_.connectionStatus(connection, &value), S_OK);
    return value;
  }

  PrivateBus bus_;
  NetworkManagerBackend backend_;
};

TEST_F(NetworkManagerTest, FullConnectivityIsReadyAtOnceAndADropIsReported) {
  startBus(true);
  HANDLE connection = nullptr;
  ASSERT_EQ(establish("http://192.0.2.1/servlet/QuaverId", 2000, &connection), S_OK);
  EXPECT_EQ(status(connection), CONNMGR_STATUS_CONNECTED);
  ASSERT_TRUE(bus_.setConnectivity(kNone));
  EXPECT_EQ(status(connection), CONNMGR_STATUS_DISCONNECTED);
  EXPECT_EQ(backend_.release(connection, 1), S_OK) << "given back once";
  EXPECT_EQ(backend_.release(connection, 1), E_INVALIDARG);
}

TEST_F(NetworkManagerTest, LessThanFullConnectivityServesOnlyAServerThatAnswersOrAnActiveProfile) {
  startBus(true);
  SilentPort server;
  ASSERT_TRUE(bus_.setConnectivity(kNone));
  EXPECT_EQ(establish(server.endpoint(), 300), E_FAIL) << "even a server that answers needs a network";
  std::thread network([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    bus_.setConnectivity(kFull);
  });
  EXPECT_EQ(establish("http://192.0.2.1/", 5000), S_OK) << "full connectivity came within the time-out";
  network.join();

  ASSERT_TRUE(bus_.setConnectivity(kLimited));
  EXPECT_EQ(establish(server.endpoint(), 2000), S_OK);
  EXPECT_EQ(establish("http://127.0.0.1:1/", 300), E_FAIL) << "nothing listens on port 1";

  std::string path;
  ASSERT_TRUE(bus_.addProfile("Office", "5c0e7bd2-7f2b-4b7e-9d61-0a6b6d1e2f33", &path));
  CONNMGR_CONNECTIONINFO info{};
  ASSERT_EQ(backend_.mapName(ConRefType_NAP, L"Office", &info.guidDestNet), S_OK);
  EXPECT_EQ(info.guidDestNet.Data1, 0x5c0e7bd2u);
  EXPECT_EQ(info.guidDestNet.Data2, 0x7f2b);
  EXPECT_EQ(info.guidDestNet.Data4[7], 0x33);
  GUID other{};
  EXPECT_EQ(backend_.mapName(ConRefType_NAP, L"Nowhere", &other), E_FAIL);
  EXPECT_EQ(establish(info, 200), E_FAIL) << "the profile is not active";
  ASSERT_TRUE(bus_.activateProfile(path, "Office"));
  EXPECT_EQ(establish(info, 2000), S_OK);
}

TEST_F(NetworkManagerTest, WithoutNetworkManagerOrWithoutABusEveryOperationSucceeds) {
  for (const bool withBus : {true, false}) {
    SCOPED_TRACE(withBus ? "a bus without NetworkManager" : "no bus");
    if (withBus) startBus(false);
    if (IsSkipped()) continue;
    if (!withBus) setenv("MELODEX_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/melodex-bus", 1);
    GUID network{};
    EXPECT_EQ(backend_.mapName(ConRefType_NAP, L"Anything", &network), S_OK);
    HANDLE connection = nullptr;
    ASSERT_EQ(establish("http://192.0.2.1/", 100, &connection), S_OK);
    EXPECT_EQ(status(connection), CONNMGR_STATUS_CONNECTED);
    EXPECT_EQ(backend_.release(connection, 0), S_OK);
  }
}

}  // namespace
