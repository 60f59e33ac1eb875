// The NetworkManager backend against a mock NetworkManager on a private bus.
#include "platform/phone/networkmanager_backend.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/platform/phone/private_bus.h"
#include "tests/support/silent_port.h"

namespace {

using namespace std::chrono_literals;

// NMConnectivityState.
constexpr unsigned kNone = 1;
constexpr unsigned kLimited = 3;
constexpr unsigned kFull = 4;

// The endpoint of a port that accepts connections, as a wide URL.
std::wstring Url(const SilentPort& server) {
  const std::string url = server.endpoint();
  return std::wstring(url.begin(), url.end());
}

class NetworkManagerTest : public ::testing::Test {
 protected:
  void startBus(bool withNetworkManager) {
    const std::string missing = PrivateBus::MissingTools();
    if (!missing.empty()) GTEST_SKIP() << missing;
    std::string error;
    ASSERT_TRUE(m_bus.start(withNetworkManager, &error)) << error;
    setenv("MELODEX_SYSTEM_BUS_ADDRESS", m_bus.address().c_str(), 1);
  }
  void SetUp() override { startBus(true); }
  void TearDown() override { unsetenv("MELODEX_SYSTEM_BUS_ADDRESS"); }

  // Maps the URL, then establishes within timeoutMs.
  HRESULT establish(const std::wstring& url, DWORD timeoutMs, HANDLE* connection) {
    CONNMGR_CONNECTIONINFO info{};
    info.cbSize = sizeof info;
    info.dwParams = CONNMGR_PARAM_GUIDDESTNET;
    EXPECT_EQ(m_backend.mapUrl(url.c_str(), &info.guidDestNet), S_OK);
    DWORD status = 0;
    return m_backend.establish(info, timeoutMs, connection, &status);
  }

  PrivateBus m_bus;
  NetworkManagerBackend m_backend;
};

TEST_F(NetworkManagerTest, FullConnectivityIsReadyAtOnce) {
  HANDLE connection = nullptr;
  ASSERT_EQ(establish(L"http://192.0.2.1/servlet/QuaverId", 2000, &connection), S_OK);
  DWORD status = 0;
  EXPECT_EQ(m_backend.connectionStatus(connection, &status), S_OK);
  EXPECT_EQ(status, CONNMGR_STATUS_CONNECTED);

  // A connection that drops is reported so, and can still be given back once.
  ASSERT_TRUE(m_bus.setConnectivity(kNone));
  EXPECT_EQ(m_backend.connectionStatus(connection, &status), S_OK);
  EXPECT_EQ(status, CONNMGR_STATUS_DISCONNECTED);
  EXPECT_EQ(m_backend.release(connection, 1), S_OK);
  EXPECT_EQ(m_backend.release(connection, 1), E_INVALIDARG);
}

TEST_F(NetworkManagerTest, NoConnectivityFailsAfterTheTimeOut) {
  ASSERT_TRUE(m_bus.setConnectivity(kNone));
  SilentPort server;  // even a server that answers does not help without a network
  HANDLE connection = nullptr;
  EXPECT_EQ(establish(Url(server), 300, &connection), E_FAIL);
  EXPECT_EQ(connection, nullptr);
}

TEST_F(NetworkManagerTest, ConnectivityBecomingFullWithinTheTimeOutIsReady) {
  ASSERT_TRUE(m_bus.setConnectivity(kNone));
  std::thread network([this] {
    std::this_thread::sleep_for(300ms);
    m_bus.setConnectivity(kFull);
  });
  HANDLE connection = nullptr;
  EXPECT_EQ(establish(L"http://192.0.2.1/", 5000, &connection), S_OK);
  network.join();
}

TEST_F(NetworkManagerTest, LimitedConnectivityServesAServerThatAnswers) {
  ASSERT_TRUE(m_bus.setConnectivity(kLimited));
  SilentPort server;
  HANDLE connection = nullptr;
  EXPECT_EQ(establish(Url(server), 2000, &connection), S_OK);

  // Port 1 on the loopback: nothing listens there.
  EXPECT_EQ(establish(L"http://127.0.0.1:1/", 300, &connection), E_FAIL);
}

TEST_F(NetworkManagerTest, NamesMapToProfilesAndAnActiveProfileServesLimitedConnectivity) {
  const std::string uuid = "5c0e7bd2-7f2b-4b7e-9d61-0a6b6d1e2f33";
  std::string path;
  ASSERT_TRUE(m_bus.addProfile("Office", uuid, &path));

  GUID network{};
  ASSERT_EQ(m_backend.mapName(ConRefType_NAP, L"Office", &network), S_OK);
  EXPECT_EQ(network.Data1, 0x5c0e7bd2u);
  EXPECT_EQ(network.Data2, 0x7f2b);
  EXPECT_EQ(network.Data4[7], 0x33);
  GUID other{};
  EXPECT_EQ(m_backend.mapName(ConRefType_NAP, L"Nowhere", &other), E_FAIL);

  ASSERT_TRUE(m_bus.setConnectivity(kLimited));
  CONNMGR_CONNECTIONINFO info{};
  info.cbSize = sizeof info;
  info.guidDestNet = network;
  HANDLE connection = nullptr;
  DWORD status = 0;
  EXPECT_EQ(m_backend.establish(info, 200, &connection, &status), E_FAIL);
  ASSERT_TRUE(m_bus.activateProfile(path, "Office"));
  EXPECT_EQ(m_backend.establish(info, 2000, &connection, &status), S_OK);
}

class NoNetworkManagerTest : public NetworkManagerTest {
 protected:
  void SetUp() override {}

  void expectEverythingSucceeds() {
    GUID network{};
    EXPECT_EQ(m_backend.mapName(ConRefType_NAP, L"Anything", &network), S_OK);
    HANDLE connection = nullptr;
    ASSERT_EQ(establish(L"http://192.0.2.1/", 100, &connection), S_OK);
    DWORD status = 0;
    EXPECT_EQ(m_backend.connectionStatus(connection, &status), S_OK);
    EXPECT_EQ(status, CONNMGR_STATUS_CONNECTED);
    EXPECT_EQ(m_backend.release(connection, 0), S_OK);
  }
};

TEST_F(NoNetworkManagerTest, ABusWithoutNetworkManagerLetsEveryOperationSucceed) {
  startBus(false);
  if (IsSkipped()) return;
  expectEverythingSucceeds();
}

TEST_F(NoNetworkManagerTest, NoBusAtAllLetsEveryOperationSucceed) {
  setenv("MELODEX_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/melodex-bus", 1);
  expectEverythingSucceeds();
}

}  // namespace
