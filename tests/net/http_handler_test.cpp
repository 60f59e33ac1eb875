// HTTPHandler against a real server on 127.0.0.1: what arrives there, what
// comes back, and how failures, time-outs and cancels end a request; and
// setupConnection: the request record built from the conn* settings, the
// network chosen, reuse of a live connection and the release rules.
#include "net/http_handler.h"

#include <cstring>
#include <thread>

#include "app/settings.h"
#include "tests/net/net_fixture.h"

namespace {

using namespace std::chrono_literals;

std::string Bytes(std::size_t count, unsigned seed) {
  std::string bytes(count, '\0');
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>((i * 131 + seed) >> 3);
  return bytes;
}

std::string Reply(const HTTPHandler& handler) {
  return std::string(reinterpret_cast<const char*>(handler.reply()), handler.replyLength());
}

template <typename Condition>
void WaitFor(Condition condition) {  // at most 5 s
  for (int i = 0; i < 500 && !condition(); ++i) std::this_thread::sleep_for(10ms);
}

class HttpHandlerTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    using Req = const httplib::Request&;
    using Res = httplib::Response&;
    m_server.on("GET", R"(/size/(\d+))",
                [this](Req r, Res out) { out.set_content(big.substr(0, std::stoul(r.matches[1])), "a/b"); });
    m_server.on("GET", R"(/(missing|p+))", [](Req r, Res out) { out.status = r.matches[1] == "missing" ? 404 : 200; });
    m_server.on("POST", "/missing", [](Req, Res out) { out.status = 404; });
    m_server.on("POST", "/id", [](Req, Res out) { out.set_content("<ARTIST>Someone</ARTIST>", "text/plain"); });
    m_server.on("GET", "/slow", [this](Req, Res out) {  // the reply trickles in small pieces
      out.set_chunked_content_provider("text/plain", [this](size_t offset, httplib::DataSink& sink) {
        std::this_thread::sleep_for(5ms);
        return offset < big.size() / 5 ? sink.write(big.data() + offset, 997) : (sink.done(), true);
      });
    });
    m_server.on("GET", "/endless", [this](Req, Res out) {
      out.set_chunked_content_provider("a/b", [this](size_t, httplib::DataSink& sink) {
        std::this_thread::sleep_for(10ms);
        return !m_server.stopping() && sink.write("x", 1);
      });
    });
    m_server.on("GET", "/headers-then-nothing", [this](Req, Res out) {
      out.set_content_provider(1000, "text/plain", [this](size_t, size_t, httplib::DataSink& sink) {
        sink.write("0123456789", 10);
        WaitFor([this] { return m_server.stopping(); });
        return false;
      });
    });
    m_server.on("GET", "/nothing", [this](Req, Res) { WaitFor([this] { return m_server.stopping(); }); });
    m_server.on("POST", "/status-later", [this](Req, Res out) {
      WaitFor([this] { return m_release.load() || m_server.stopping(); });
      out.set_content("reply", "text/plain");
    });
    m_server.on("POST", "/body-later", [this](Req, Res out) {
      out.set_chunked_content_provider("text/plain", [this](size_t offset, httplib::DataSink& sink) {
        if (offset == 0) return sink.write("first,", 6);
        WaitFor([this] { return m_release.load() || m_server.stopping(); });
        return sink.write("second", 6) && (sink.done(), true);
      });
    });
    m_server.start();
  }
  int get(const std::string& url, std::string* reply = nullptr) const {
    HTTPHandler handler(g_hWnd);
    handler.openSession();
    const int result = handler.httpGet(url.c_str());
    if (reply) *reply = Reply(handler);
    return result;
  }
  int post(HTTPHandler& handler, const std::string& path, const std::string& body = "abc") const {
    handler.openSession();
    return handler.httpPost(m_server.url(path).c_str(), reinterpret_cast<const BYTE*>(body.data()), body.size());
  }
  // The reply-ready messages posted to the window since the last call.
  int repliesPosted() const {
    int count = 0;
    for (MSG msg{}; PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);) count += msg.message == WM_USER;
    return count;
  }

  const std::string big = Bytes(150000, 11);
};

TEST_F(HttpHandlerTest, GetAndPostSendWhatTheServiceExpects) {
  writeSettings("connLingerTime = 7\n");
  std::string reply;
  ASSERT_EQ(get(m_server.url("/size/5000?size=big&n=1"), &reply), 0);
  EXPECT_EQ(reply, big.substr(0, 5000));
  // The connection went back at once, with the linger of the settings (else 1, as below).
  ASSERT_EQ(m_fake.releases().size(), 1u);
  EXPECT_EQ(std::pair(m_fake.releases()[0].linger, m_fake.liveConnections()), std::pair(LONG{7}, 0));
  EXPECT_EQ(repliesPosted(), 0);
  HTTPHandler handler(g_hWnd);
  const std::string body = Bytes(180096, 3);
  ASSERT_EQ(post(handler, "/id?id=1017&ownerIdentifier=2422", body), 0);
  EXPECT_EQ(Reply(handler), "<ARTIST>Someone</ARTIST>");
  EXPECT_EQ(repliesPosted(), 1);

  const auto arrivals = m_server.arrivals();
  ASSERT_EQ(arrivals.size(), 2u);
  const std::string method[] = {"GET", "POST"},
                    target[] = {"/size/5000?size=big&n=1", "/id?id=1017&ownerIdentifier=2422"};
  const std::string accept[] = {"application/octet-stream, text/plain, text/html, image/jpeg",
                                "application/octet-stream, text/plain, text/html"};
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(std::tuple(arrivals[i].method, arrivals[i].target, arrivals[i].headers.find("Accept")->second,
                         arrivals[i].headers.find("User-Agent")->second, arrivals[i].headers.count("Content-Type"),
                         arrivals[i].headers.count("Expect")),
              std::tuple(method[i], target[i], accept[i], "WindowsMobile-Melodex-0.9", 0u, 0u));
  }
  EXPECT_TRUE(arrivals[0].body.empty());
  EXPECT_TRUE(arrivals[1].body == body) << "a body of " << arrivals[1].body.size() << " bytes differs";
}

TEST_F(HttpHandlerTest, ResultsFollowTheStatusTheBufferTheAddressAndTheTimeOuts) {
  SetHttpTimeouts({2000, 300});
  const std::string longPath = "/" + std::string(500, 'p') + "?q=" + std::string(7, 'v');  // 511 bytes fit
  const std::pair<std::string, std::pair<int, std::string>> cases[] = {
      {m_server.url("/size/99999"), {0, big.substr(0, 99999)}},
      {m_server.url("/size/100000"), {0, big.substr(0, 100000)}},
      {m_server.url("/size/100001"), {0, big.substr(0, 100000)}},
      {m_server.url("/size/150000"), {0, big.substr(0, 100000)}},
      {m_server.url("/slow"), {0, big.substr(0, big.size() / 5 + 997 - big.size() / 5 % 997)}},
      {m_server.url("/missing"), {7, ""}},
      {m_server.url("/headers-then-nothing"), {9, "0123456789"}},  // a stalled server: time-outs
      {m_server.url("/nothing"), {6, ""}},
      {"http://127.0.0.1:" + std::to_string(ClosedPort()) + "/x", {4, ""}},
      {m_server.url(longPath), {0, ""}},
      {m_server.url(longPath + "v"), {3, ""}},
      {"http://" + std::string(256, 'h') + "/", {3, ""}},
      {"file:///etc/passwd", {3, ""}},
      {"ftp://127.0.0.1/x", {3, ""}},
      {"no address at all", {3, ""}},
  };
  for (const auto& [url, expected] : cases) {
    std::string reply;
    const int result = get(url, &reply);
    EXPECT_TRUE(std::pair(result, reply) == expected) << url.substr(0, 60) << ": " << result << ", " << reply.size();
  }
  EXPECT_EQ(m_server.arrivals().size(), 9u) << "nothing is sent to an address that is refused";
}

TEST_F(HttpHandlerTest, AFailedRequestLeavesItsConnectionToTheDestructor) {
  {
    HTTPHandler handler(g_hWnd);
    EXPECT_EQ(post(handler, "/missing"), 7);
    EXPECT_TRUE(m_fake.releases().empty());
  }
  ASSERT_EQ(m_fake.releases().size(), 1u);
  EXPECT_EQ(std::pair(m_fake.releases()[0].linger, repliesPosted()), std::pair(LONG{0}, 0));
  // Without a session nothing is touched; without a connection nothing is sent.
  HTTPHandler noSession(g_hWnd);
  EXPECT_EQ(noSession.httpGet(m_server.url("/").c_str()), 1);
  EXPECT_EQ(noSession.httpPost(m_server.url("/").c_str(), reinterpret_cast<const BYTE*>("a"), 1), 1);
  EXPECT_EQ(m_fake.mappedUrls().size(), 1u);
  m_fake.fail(FakeConnectionManager::Operation::Establish);
  testing::internal::CaptureStdout();
  EXPECT_EQ(get(m_server.url("/id")), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "HTTPHandler::setupConnection: Couldn't establish the connection!\r\n");
  EXPECT_EQ(std::pair(m_fake.liveConnections(), m_server.arrivals().size()), std::pair(0, std::size_t{1}));
}

// Cancels: before the request, while the status is awaited, and while the
// body is read, where a GET stops and a POST completes.
TEST_F(HttpHandlerTest, ACancelEndsARequestAtItsNextCheck) {
  HTTPHandler early(g_hWnd);
  early.openSession();
  early.cancel();
  EXPECT_EQ(early.httpGet(m_server.url("/endless").c_str()), 11);
  EXPECT_TRUE(m_fake.requests().empty());
  auto cancelled = [&](const char* path, bool post, const std::function<bool(HTTPHandler&)>& when) {
    auto handler = std::make_unique<HTTPHandler>(g_hWnd);
    std::thread canceller([&] {
      WaitFor([&] { return when(*handler); });
      handler->cancel();
      m_release = true;
    });
    const int result =
        post ? this->post(*handler, path) : (handler->openSession(), handler->httpGet(m_server.url(path).c_str()));
    canceller.join();
    m_release = false;
    return std::pair(result, std::move(handler));
  };
  EXPECT_EQ(cancelled("/status-later", true, [&](HTTPHandler&) { return !m_server.arrivals().empty(); }).first, 11);
  auto [getResult, get] = cancelled("/endless", false, [](HTTPHandler& h) { return h.replyLength() > 0; });
  EXPECT_EQ(getResult, 11);
  const std::size_t released = m_fake.releases().size();
  get.reset();
  ASSERT_EQ(m_fake.releases().size(), released + 1) << "the destructor gives the connection back";
  EXPECT_EQ(std::pair(m_fake.releases().back().linger, repliesPosted()), std::pair(LONG{0}, 0));
  auto [postResult, post] = cancelled("/body-later", true, [](HTTPHandler& h) { return h.replyLength() > 0; });
  EXPECT_EQ(std::tuple(postResult, Reply(*post), m_fake.releases().back().linger, repliesPosted()),
            std::tuple(0, std::string("first,second"), LONG{1}, 1));
}

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
  // The service's address, from the same file.
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

TEST_F(ConnectionSetupTest, ALiveConnectionIsReusedADroppedOneReplacedAndAnUnknownNameFallsBackToTheUrl) {
  HTTPHandler handler(nullptr);
  ASSERT_EQ(handler.setupConnection(kUrl) + handler.setupConnection(kUrl), 2);
  EXPECT_EQ(std::pair(m_fake.requests().size(), m_fake.statusQueries()), std::pair(std::size_t{1}, 1));
  m_fake.setStatus(CONNMGR_STATUS_DISCONNECTED);
  ASSERT_EQ(handler.setupConnection(kUrl), 1);
  EXPECT_EQ(m_fake.requests().size(), 2u);
  EXPECT_EQ(m_fake.liveConnections(), 1) << "the dropped one was given back";
  m_fake.fail(FakeConnectionManager::Operation::Status);
  EXPECT_EQ(handler.setupConnection(kUrl), 0);
  writeSettings("connNetName = \"Nowhere\"\n");
  m_fake.fail(FakeConnectionManager::Operation::MapName);
  ASSERT_EQ(HTTPHandler(nullptr).setupConnection(kUrl), 1);
  EXPECT_EQ(std::pair(m_fake.mappedUrls().size(), m_fake.requests().size()), std::pair(std::size_t{3}, std::size_t{3}));
  m_fake.fail(FakeConnectionManager::Operation::MapUrl);  // an address that cannot be mapped fails
  HTTPHandler second(nullptr);
  EXPECT_EQ(second.setupConnection(kUrl) + second.setupConnection(""), 0);
  EXPECT_EQ(m_fake.requests().size(), 3u);
}

}  // namespace
