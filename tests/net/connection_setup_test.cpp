// setupConnection: the request record built from the conn* settings, the
// network chosen, reuse of a live connection and the release rules.
#include <cstdlib>
#include <cstring>

#include "app/settings.h"
#include "net/http_handler.h"
#include "tests/net/net_fixture.h"

namespace {

constexpr const char* kUrl = "http://127.0.0.1:8017/servlet/QuaverId?id=1017&ownerIdentifier=2422";
const std::wstring kWideUrl(kUrl, kUrl + std::strlen(kUrl));

using ConnectionSetupTest = NetTest;

TEST_F(ConnectionSetupTest, TheRequestRecordFollowsTheSettingsReadAtEverySetup) {
  struct Case {
    std::string settings;
    DWORD flags, priority;
    BOOL exclusive;
    std::wstring network;  // the name it is mapped from, or the URL
  };
  const Case cases[] = {
      {"", 1, 0x8000, 0, kWideUrl},
      {"connFlags = 3\nconnPriority = 256\nconnExclusive = 5\nconnNetName = \"Office\"\n", 3, 256, 1, L"Office"},
      {"connExclusive = 0\nconnNetName = 42\n", 1, 0x8000, 0, kWideUrl},  // a name that is a number
      // Numbers of another type or size, and a name longer than 512 bytes, count as absent.
      {"connPriority = \"high\"\nconnFlags = 8589934592\nconnNetName = \"" + std::string(256, 'n') + "\"\n", 1,
       0x8000, 0, kWideUrl},
  };
  for (const Case& c : cases) {
    writeSettings(c.settings);
    HTTPHandler handler(nullptr);
    ASSERT_EQ(handler.setupConnection(kUrl), 1) << c.settings;
    const CONNMGR_CONNECTIONINFO info = m_fake.requests().back();
    EXPECT_EQ(info.dwFlags, c.flags) << c.settings;
    EXPECT_EQ(info.dwPriority, c.priority) << c.settings;
    EXPECT_EQ(info.bExclusive, c.exclusive) << c.settings;
    EXPECT_TRUE(info.guidDestNet == FakeConnectionManager::NetworkFor(c.network)) << c.settings;
  }
  EXPECT_EQ(m_fake.mappedNames(), std::vector<std::wstring>{L"Office"});

  // The record as the connection manager reads it: 64 little-endian bytes.
  BYTE bytes[64];
  std::memcpy(bytes, &m_fake.requests()[0], sizeof bytes);
  const auto word = [&](int offset) {
    return static_cast<DWORD>(bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 | bytes[offset + 3] << 24);
  };
  EXPECT_EQ(word(0), 64u);
  EXPECT_EQ(word(4), 1u);  // the destination network is given
  EXPECT_EQ(word(8), 1u);
  EXPECT_EQ(word(12), 0x8000u);
  for (int offset : {16, 20, 40, 44, 48, 52, 56, 60}) EXPECT_EQ(word(offset), 0u) << offset;
  EXPECT_EQ(m_fake.timeouts()[0], 10000u);
}

TEST_F(ConnectionSetupTest, AnUnknownNameFallsBackToTheUrlAndAnUnknownUrlFails) {
  writeSettings("connNetName = \"Nowhere\"\n");
  m_fake.fail(FakeConnectionManager::Operation::MapName);
  HTTPHandler handler(nullptr);
  ASSERT_EQ(handler.setupConnection(kUrl), 1);
  EXPECT_EQ(m_fake.mappedUrls().size(), 1u);
  m_fake.fail(FakeConnectionManager::Operation::MapUrl);
  HTTPHandler second(nullptr);
  EXPECT_EQ(second.setupConnection(kUrl), 0);
  EXPECT_EQ(second.setupConnection(""), 0);
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
  EXPECT_EQ(m_fake.liveConnections(), 1) << "the dropped one was given back";
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
  HTTPHandler(nullptr).setupConnection(kUrl);
  const auto releases = m_fake.releases();
  ASSERT_EQ(releases.size(), 2u);
  EXPECT_EQ(releases[0].linger, 7);
  EXPECT_EQ(releases[1].linger, 0);
  EXPECT_EQ(m_fake.liveConnections(), 0);
}

TEST_F(ConnectionSetupTest, ServerUrlComesFromTheSettingsOrDefaultsToTheLocalService) {
  for (const auto& [settings, url] :
       {std::pair{"", "http://127.0.0.1:8017/servlet/QuaverId"},
        std::pair{"serverURL = \"http://id.example:8080/servlet/QuaverId\"\n", "http://id.example:8080/servlet/QuaverId"},
        std::pair{"serverURL = 8080\n", "http://127.0.0.1:8017/servlet/QuaverId"}}) {
    writeSettings(settings);
    char* read = ReadServerURL();
    EXPECT_STREQ(read, url);
    std::free(read);
  }
}

}  // namespace
