// setupConnection: the request record built from the conn* settings, the
// network chosen, reuse of a live connection and the release rules.
#include <cstring>

#include "app/settings.h"
#include "net/http_handler.h"
#include "tests/net/net_fixture.h"

namespace {

constexpr const char* kUrl = "http://127.0.0.1:8017/servlet/QuaverId?id=1017&ownerIdentifier=2422";
const std::wstring kWideUrl(kUrl, kUrl + std::strlen(kUrl));

using ConnectionSetupTest = NetTest;

TEST_F(ConnectionSetupTest, TheRequestRecordFollowsTheSettingsReadAtEverySetup) {
  // Numbers of another type or size, and a name that is a number or longer than 512 bytes, count as absent.
  const std::pair<std::string, std::tuple<DWORD, DWORD, BOOL, std::wstring>> cases[] = {
      {"", {1, 0x8000, 0, kWideUrl}},
      {"connFlags = 3\nconnPriority = 256\nconnExclusive = 5\nconnNetName = \"Office\"\n", {3, 256, 1, L"Office"}},
      {"connExclusive = 0\nconnNetName = 42\n", {1, 0x8000, 0, kWideUrl}},
      {"connPriority = \"high\"\nconnFlags = 8589934592\nconnNetName = \"" + std::string(256, 'n') + "\"\n",
       {1, 0x8000, 0, kWideUrl}},
  };
  for (const auto& [settings, record] : cases) {
    writeSettings(settings);
    ASSERT_EQ(HTTPHandler(nullptr).setupConnection(kUrl), 1) << settings;
    const CONNMGR_CONNECTIONINFO info = m_fake.requests().back();
    EXPECT_EQ(std::tuple(info.dwFlags, info.dwPriority, info.bExclusive),
              std::tuple(std::get<0>(record), std::get<1>(record), std::get<2>(record)))
        << settings;
    EXPECT_TRUE(info.guidDestNet == FakeConnectionManager::NetworkFor(std::get<3>(record))) << settings;
  }
  EXPECT_EQ(m_fake.mappedNames(), std::vector<std::wstring>{L"Office"});
  // The record as the connection manager reads it: 64 little-endian bytes.
  std::uint32_t words[16];
  std::memcpy(words, &m_fake.requests()[0], sizeof words);
  EXPECT_EQ(std::vector<std::uint32_t>(words, words + 6), (std::vector<std::uint32_t>{64, 1, 1, 0x8000, 0, 0}));
  EXPECT_EQ(std::vector<std::uint32_t>(words + 10, words + 16), std::vector<std::uint32_t>(6, 0));
  EXPECT_EQ(m_fake.timeouts()[0], 10000u);
}

TEST_F(ConnectionSetupTest, AnUnknownNameFallsBackToTheUrlAndAnUnknownUrlFails) {
  writeSettings("connNetName = \"Nowhere\"\n");
  m_fake.fail(FakeConnectionManager::Operation::MapName);
  ASSERT_EQ(HTTPHandler(nullptr).setupConnection(kUrl), 1);
  EXPECT_EQ(m_fake.mappedUrls().size(), 1u);
  m_fake.fail(FakeConnectionManager::Operation::MapUrl);
  HTTPHandler second(nullptr);
  EXPECT_EQ(second.setupConnection(kUrl) + second.setupConnection(""), 0);
  EXPECT_EQ(m_fake.requests().size(), 1u);
}

TEST_F(ConnectionSetupTest, ALiveConnectionIsReusedAndADroppedOneReplaced) {
  HTTPHandler handler(nullptr);
  ASSERT_EQ(handler.setupConnection(kUrl) + handler.setupConnection(kUrl), 2);
  EXPECT_EQ(std::pair(m_fake.requests().size(), m_fake.statusQueries()), std::pair(std::size_t{1}, 1));
  m_fake.setStatus(CONNMGR_STATUS_DISCONNECTED);
  ASSERT_EQ(handler.setupConnection(kUrl), 1);
  EXPECT_EQ(m_fake.requests().size(), 2u);
  EXPECT_EQ(m_fake.liveConnections(), 1) << "the dropped one was given back";
  m_fake.fail(FakeConnectionManager::Operation::Status);
  EXPECT_EQ(handler.setupConnection(kUrl), 0);
}

TEST_F(ConnectionSetupTest, LingerComesFromTheSettingsOnSuccessAndIsZeroInTheDestructor) {
  writeSettings("connLingerTime = 7\n");
  m_server.server().Get("/", [](const httplib::Request&, httplib::Response&) {});
  m_server.start();
  {
    HTTPHandler handler(nullptr);
    handler.openSession();
    ASSERT_EQ(handler.httpGet(m_server.url("/").c_str()), 0);
  }
  HTTPHandler(nullptr).setupConnection(kUrl);
  const auto releases = m_fake.releases();
  ASSERT_EQ(releases.size(), 2u);
  EXPECT_EQ(std::tuple(releases[0].linger, releases[1].linger, m_fake.liveConnections()), std::tuple(7, 0, 0));
}

TEST_F(ConnectionSetupTest, ServerUrlComesFromTheSettingsOrDefaultsToTheLocalService) {
  for (const auto& [settings, url] : {std::pair{"", "http://127.0.0.1:8017/servlet/QuaverId"},
                                      std::pair{"serverURL = \"http://id.example:8080/servlet/QuaverId\"\n",
                                                "http://id.example:8080/servlet/QuaverId"},
                                      std::pair{"serverURL = 8080\n", "http://127.0.0.1:8017/servlet/QuaverId"}}) {
    writeSettings(settings);
    char* read = ReadServerURL();
    EXPECT_STREQ(read, url);
    std::free(read);
  }
}

}  // namespace
