// setupConnection: the request record built from the conn* settings, the
// network chosen, reuse of a live connection and the release rules.
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/settings.h"

#include "net/http_handler.h"
#include "tests/net/net_fixture.h"

namespace {

constexpr const char* kUrl = "http://127.0.0.1:8017/servlet/QuaverId?id=1017&ownerIdentifier=2422";

class ConnectionSetupTest : public NetTest {};

TEST_F(ConnectionSetupTest, WithoutSettingsTheRecordCarriesTheDefaultsAndTheUrlsNetwork) {
  HTTPHandler handler(nullptr);
  ASSERT_EQ(handler.setupConnection(kUrl), 1);

  ASSERT_EQ(m_fake.requests().size(), 1u);
  const CONNMGR_CONNECTIONINFO info = m_fake.requests()[0];
  BYTE bytes[64];
  std::memcpy(bytes, &info, sizeof bytes);
  const auto word = [&](int offset) {
    return static_cast<DWORD>(bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
                              bytes[offset + 3] << 24);
  };
  EXPECT_EQ(word(0), 64u);
  EXPECT_EQ(word(4), 1u);       // the destination network is given
  EXPECT_EQ(word(8), 1u);       // flags
  EXPECT_EQ(word(12), 0x8000u); // priority
  EXPECT_EQ(word(16), 0u);      // exclusive
  EXPECT_EQ(word(20), 0u);      // disabled
  EXPECT_TRUE(info.guidDestNet == FakeConnectionManager::NetworkFor(
                                      L"http://127.0.0.1:8017/servlet/QuaverId?id=1017&ownerIdentifier=2422"));
  for (int offset = 40; offset < 64; offset += 4) EXPECT_EQ(word(offset), 0u) << offset;
  EXPECT_EQ(m_fake.timeouts()[0], 10000u);
  EXPECT_TRUE(m_fake.mappedNames().empty());
}

TEST_F(ConnectionSetupTest, SettingsAreReadAfreshAtEverySetup) {
  writeSettings("connFlags = 3\nconnPriority = 256\nconnExclusive = 5\nconnNetName = \"Office\"\n");
  {
    HTTPHandler handler(nullptr);
    ASSERT_EQ(handler.setupConnection(kUrl), 1);
  }
  writeSettings("connExclusive = 0\nconnNetName = 42\n");
  {
    HTTPHandler handler(nullptr);
    ASSERT_EQ(handler.setupConnection(kUrl), 1);
  }
  const auto requests = m_fake.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].dwFlags, 3u);
  EXPECT_EQ(requests[0].dwPriority, 256u);
  EXPECT_EQ(requests[0].bExclusive, 1);  // any non-zero value counts as 1
  EXPECT_TRUE(requests[0].guidDestNet == FakeConnectionManager::NetworkFor(L"Office"));
  // connNetName stored as a number is ignored: the URL decides.
  EXPECT_EQ(requests[1].bExclusive, 0);
  EXPECT_EQ(requests[1].dwFlags, 1u);
  EXPECT_TRUE(requests[1].guidDestNet == FakeConnectionManager::NetworkFor(std::wstring(kUrl, kUrl + strlen(kUrl))));
  EXPECT_EQ(m_fake.mappedNames(), std::vector<std::wstring>{L"Office"});
}

TEST_F(ConnectionSetupTest, NumbersOfAnotherTypeAndOverLongNamesCountAsAbsent) {
  writeSettings("connPriority = \"high\"\nconnFlags = 8589934592\nconnNetName = \"" + std::string(256, 'n') + "\"\n");
  HTTPHandler handler(nullptr);
  ASSERT_EQ(handler.setupConnection(kUrl), 1);
  EXPECT_EQ(m_fake.requests()[0].dwPriority, 0x8000u);
  EXPECT_EQ(m_fake.requests()[0].dwFlags, 1u);
  EXPECT_TRUE(m_fake.mappedNames().empty());
}

TEST_F(ConnectionSetupTest, AnUnknownNameFallsBackToTheUrl) {
  writeSettings("connNetName = \"Nowhere\"\n");
  m_fake.fail(FakeConnectionManager::Operation::MapName);
  HTTPHandler handler(nullptr);
  ASSERT_EQ(handler.setupConnection(kUrl), 1);
  EXPECT_EQ(m_fake.mappedNames().size(), 1u);
  EXPECT_EQ(m_fake.mappedUrls().size(), 1u);

  m_fake.fail(FakeConnectionManager::Operation::MapUrl);
  HTTPHandler second(nullptr);
  EXPECT_EQ(second.setupConnection(kUrl), 0);
  EXPECT_EQ(m_fake.requests().size(), 1u);
}

TEST_F(ConnectionSetupTest, ALiveConnectionIsReusedAndADroppedOneReplaced) {
  HTTPHandler handler(nullptr);
  ASSERT_EQ(handler.setupConnection(kUrl), 1);
  ASSERT_EQ(handler.setupConnection(kUrl), 1);
  EXPECT_EQ(m_fake.requests().size(), 1u);
  EXPECT_EQ(m_fake.statusQueries(), 1);

  m_fake.setStatus(CONNMGR_STATUS_DISCONNECTED);
  ASSERT_EQ(handler.setupConnection(kUrl), 1);
  EXPECT_EQ(m_fake.requests().size(), 2u);
  EXPECT_EQ(m_fake.liveConnections(), 1);  // the dropped one was given back

  m_fake.fail(FakeConnectionManager::Operation::Status);
  EXPECT_EQ(handler.setupConnection(kUrl), 0);
}

TEST_F(ConnectionSetupTest, LingerComesFromTheSettingsOnSuccessAndIsZeroInTheDestructor) {
  writeSettings("connLingerTime = 7\n");
  m_server.server().Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("ok", "text/plain");
  });
  m_server.start();
  {
    HTTPHandler handler(nullptr);
    ASSERT_EQ(handler.openSession(), 0);
    ASSERT_EQ(handler.httpGet(m_server.url("/").c_str()), 0);
  }
  {
    HTTPHandler handler(nullptr);
    ASSERT_EQ(handler.setupConnection(kUrl), 1);
  }
  const auto releases = m_fake.releases();
  ASSERT_EQ(releases.size(), 2u);
  EXPECT_EQ(releases[0].linger, 7);
  EXPECT_EQ(releases[1].linger, 0);
  EXPECT_EQ(m_fake.liveConnections(), 0);
}

TEST_F(ConnectionSetupTest, AFailedEstablishmentLogsOnceAndHoldsNothing) {
  m_fake.fail(FakeConnectionManager::Operation::Establish);
  {
    HTTPHandler handler(nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(handler.setupConnection(kUrl), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "HTTPHandler::setupConnection: Couldn't establish the connection!\r\n");
    EXPECT_EQ(handler.setupConnection(""), 0);  // no URL, no request
  }
  EXPECT_EQ(m_fake.requests().size(), 1u);
  EXPECT_TRUE(m_fake.releases().empty());
}

TEST_F(ConnectionSetupTest, ServerUrlComesFromTheSettingsOrDefaultsToTheLocalService) {
  const auto read = [] {
    char* url = ReadServerURL();
    const std::string text = url ? url : "(null)";
    std::free(url);
    return text;
  };
  EXPECT_EQ(read(), "http://127.0.0.1:8017/servlet/QuaverId");
  writeSettings("serverURL = \"http://id.example:8080/servlet/QuaverId\"\n");
  EXPECT_EQ(read(), "http://id.example:8080/servlet/QuaverId");
  writeSettings("serverURL = 8080\n");
  EXPECT_EQ(read(), "http://127.0.0.1:8017/servlet/QuaverId");
}

}  // namespace
