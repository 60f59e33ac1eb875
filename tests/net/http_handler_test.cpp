// HTTPHandler against a real server on 127.0.0.1: what arrives there, what
// comes back, and how failures, time-outs and cancels end a request.
#include "net/http_handler.h"

#include <chrono>
#include <thread>

#include "app/screen/screen_manager.h"
#include "app/state.h"
#include "platform/window/window.h"
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
bool WaitFor(Condition condition) {  // at most 5 s
  for (int i = 0; i < 500 && !condition(); ++i) std::this_thread::sleep_for(10ms);
  return condition();
}

class HttpHandlerTest : public NetTest {
 protected:
  // A request of its own handler, its reply in *reply.
  int get(const std::string& url, std::string* reply = nullptr) const {
    HTTPHandler handler(g_hWnd);
    handler.openSession();
    const int result = handler.httpGet(url.c_str());
    if (reply) *reply = Reply(handler);
    return result;
  }
  // The reply-ready messages posted to the window since the last call.
  int repliesPosted() const {
    int count = 0;
    for (MSG msg{}; PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);) count += msg.message == WM_USER;
    return count;
  }
};

TEST_F(HttpHandlerTest, GetAndPostSendWhatTheServiceExpects) {
  const std::string picture = Bytes(5000, 7), body = Bytes(180096, 3);
  m_server.server().Get("/art/7.jpg", [&](const httplib::Request& request, httplib::Response& response) {
    m_server.record(request);
    response.set_content(picture, "image/jpeg");
  });
  m_server.server().Post("/servlet/QuaverId", [&](const httplib::Request& request, httplib::Response& response) {
    m_server.record(request);
    response.set_content("<ARTIST>Someone</ARTIST>", "text/plain");
  });
  m_server.start();

  std::string reply;
  ASSERT_EQ(get(m_server.url("/art/7.jpg?size=big&n=1"), &reply), 0);
  EXPECT_EQ(reply, picture);
  // The connection went back at once, with the default linger.
  ASSERT_EQ(m_fake.releases().size(), 1u);
  EXPECT_EQ(m_fake.releases()[0].linger, 1);
  EXPECT_EQ(m_fake.liveConnections(), 0);
  EXPECT_EQ(repliesPosted(), 0);

  HTTPHandler handler(g_hWnd);
  ASSERT_EQ(handler.openSession(), 0);
  const std::string url = m_server.url("/servlet/QuaverId?id=1017&ownerIdentifier=2422");
  ASSERT_EQ(handler.httpPost(url.c_str(), reinterpret_cast<const BYTE*>(body.data()), body.size()), 0);
  EXPECT_EQ(Reply(handler), "<ARTIST>Someone</ARTIST>");
  EXPECT_EQ(repliesPosted(), 1);

  const auto arrivals = m_server.arrivals();
  ASSERT_EQ(arrivals.size(), 2u);
  const std::string method[] = {"GET", "POST"}, target[] = {"/art/7.jpg?size=big&n=1", url.substr(url.find("/s"))};
  const std::string accept[] = {"application/octet-stream, text/plain, text/html, image/jpeg",
                                "application/octet-stream, text/plain, text/html"};
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(arrivals[i].method, method[i]);
    EXPECT_EQ(arrivals[i].target, target[i]);
    EXPECT_EQ(arrivals[i].headers.find("Accept")->second, accept[i]);
    EXPECT_EQ(arrivals[i].headers.find("User-Agent")->second, "WindowsMobile-Melodex-0.9");
    EXPECT_EQ(arrivals[i].headers.count("Content-Type"), 0u);
    EXPECT_EQ(arrivals[i].headers.count("Expect"), 0u);
  }
  EXPECT_TRUE(arrivals[0].body.empty());
  EXPECT_TRUE(arrivals[1].body == body) << "a body of " << arrivals[1].body.size() << " bytes differs";
}

TEST_F(HttpHandlerTest, ResultsFollowTheStatusTheBufferAndTheAddress) {
  const std::string big = Bytes(150000, 11), trickled = Bytes(20 * 997, 5);
  m_server.server().Get(R"(/size/(\d+))", [&](const httplib::Request& request, httplib::Response& response) {
    m_server.record(request);
    response.set_content(big.substr(0, std::stoul(request.matches[1])), "application/octet-stream");
  });
  m_server.server().Get("/slow", [&](const httplib::Request& request, httplib::Response& response) {
    m_server.record(request);
    response.set_chunked_content_provider("text/plain", [&](size_t offset, httplib::DataSink& sink) {
      std::this_thread::sleep_for(5ms);
      if (offset < trickled.size()) return sink.write(trickled.data() + offset, 997);
      sink.done();
      return true;
    });
  });
  m_server.server().Get(R"(/(missing|p+))", [&](const httplib::Request& request, httplib::Response& response) {
    m_server.record(request);
    response.status = request.matches[1] == "missing" ? 404 : 200;
    response.set_content("not here", "text/plain");
  });
  m_server.start();
  struct Case {
    std::string url;
    int result;
    std::string reply;
  };
  const std::string longPath = "/" + std::string(500, 'p') + "?q=" + std::string(7, 'v');  // 511 bytes fit
  const Case cases[] = {
      {m_server.url("/size/99999"), 0, big.substr(0, 99999)},
      {m_server.url("/size/100000"), 0, big.substr(0, 100000)},
      {m_server.url("/size/100001"), 0, big.substr(0, 100000)},
      {m_server.url("/size/150000"), 0, big.substr(0, 100000)},
      {m_server.url("/slow"), 0, trickled},
      {m_server.url("/missing"), 7, ""},
      {"http://127.0.0.1:" + std::to_string(ClosedPort()) + "/x", 4, ""},
      {m_server.url(longPath), 0, "not here"},
      {m_server.url(longPath + "v"), 3, ""},
      {"http://" + std::string(256, 'h') + "/", 3, ""},
      {"file:///etc/passwd", 3, ""},
      {"ftp://127.0.0.1/x", 3, ""},
      {"no address at all", 3, ""},
  };
  for (const Case& c : cases) {
    std::string reply;
    EXPECT_EQ(get(c.url, &reply), c.result) << c.url.substr(0, 60);
    EXPECT_TRUE(reply == c.reply) << c.url.substr(0, 60) << ": a reply of " << reply.size() << " bytes";
  }
  EXPECT_EQ(m_server.arrivals().size(), 7u) << "nothing is sent to an address that is refused";
}

TEST_F(HttpHandlerTest, AFailedRequestLeavesItsConnectionToTheDestructor) {
  m_server.server().Post("/missing", [](const httplib::Request&, httplib::Response& response) {
    response.status = 404;
  });
  m_server.start();
  {
    HTTPHandler handler(g_hWnd);
    ASSERT_EQ(handler.openSession(), 0);
    EXPECT_EQ(handler.httpPost(m_server.url("/missing").c_str(), reinterpret_cast<const BYTE*>("a"), 1), 7);
    EXPECT_TRUE(m_fake.releases().empty());
  }
  ASSERT_EQ(m_fake.releases().size(), 1u);
  EXPECT_EQ(m_fake.releases()[0].linger, 0);
  EXPECT_EQ(repliesPosted(), 0);

  // Without a session nothing is touched; without a connection nothing is sent.
  HTTPHandler noSession(g_hWnd);
  EXPECT_EQ(noSession.httpGet(m_server.url("/").c_str()), 1);
  EXPECT_EQ(noSession.httpPost(m_server.url("/").c_str(), reinterpret_cast<const BYTE*>("a"), 1), 1);
  EXPECT_EQ(m_fake.mappedUrls().size(), 1u);
  m_fake.fail(FakeConnectionManager::Operation::Establish);
  testing::internal::CaptureStdout();
  EXPECT_EQ(get(m_server.url("/")), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "HTTPHandler::setupConnection: Couldn't establish the connection!\r\n");
  EXPECT_EQ(m_fake.liveConnections(), 0);
}

TEST_F(HttpHandlerTest, AStalledServerEndsInATimeOutOnTheUserInterfaceThread) {
  m_server.server().Get("/headers-then-nothing", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content_provider(1000, "text/plain", [&](size_t, size_t, httplib::DataSink& sink) {
      sink.write("0123456789", 10);
      while (!m_server.stopping()) std::this_thread::sleep_for(10ms);
      return false;
    });
  });
  m_server.server().Get("/nothing", [&](const httplib::Request&, httplib::Response& response) {
    while (!m_server.stopping()) std::this_thread::sleep_for(10ms);
    response.set_content("late", "text/plain");
  });
  m_server.start();
  SetHttpTimeouts({2000, 300});
  EXPECT_EQ(get(m_server.url("/headers-then-nothing")), 9);
  EXPECT_EQ(get(m_server.url("/nothing")), 6);
}

// Cancels: before the request, while the status is awaited, and while the
// body is read, where a GET stops and a POST completes.
TEST_F(HttpHandlerTest, ACancelEndsARequestAtItsNextCheck) {
  std::atomic<bool> cancelled{false};
  m_server.server().Post("/status-later", [&](const httplib::Request& request, httplib::Response& response) {
    m_server.record(request);
    WaitFor([&] { return m_release.load() || m_server.stopping(); });
    response.set_content("reply", "text/plain");
  });
  m_server.server().Get("/endless", [&](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider("application/octet-stream", [&](size_t, httplib::DataSink& sink) {
      std::this_thread::sleep_for(10ms);
      return !m_server.stopping() && sink.write("x", 1);
    });
  });
  m_server.server().Post("/body-later", [&](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider("text/plain", [&](size_t offset, httplib::DataSink& sink) {
      if (offset == 0) return sink.write("first,", 6);
      WaitFor([&] { return cancelled.load() || m_server.stopping(); });
      sink.write("second", 6);
      sink.done();
      return true;
    });
  });
  m_server.start();
  auto request = [&](const char* path, bool post, const std::function<bool(HTTPHandler&)>& cancelWhen) {
    auto handler = std::make_unique<HTTPHandler>(g_hWnd);
    handler->openSession();
    std::thread canceller([&] {
      WaitFor([&] { return cancelWhen(*handler); });
      handler->cancel();
      cancelled = true;
    });
    const std::string url = m_server.url(path);
    const int result = post ? handler->httpPost(url.c_str(), reinterpret_cast<const BYTE*>("abc"), 3)
                            : handler->httpGet(url.c_str());
    canceller.join();
    return std::pair(result, std::move(handler));
  };

  HTTPHandler early(g_hWnd);
  early.openSession();
  early.cancel();
  EXPECT_EQ(early.httpGet(m_server.url("/endless").c_str()), 11);
  EXPECT_TRUE(m_fake.requests().empty());

  EXPECT_EQ(request("/status-later", true, [&](HTTPHandler&) { return !m_server.arrivals().empty(); }).first, 11);
  m_release = true;
  auto [getResult, get] = request("/endless", false, [](HTTPHandler& h) { return h.replyLength() > 0; });
  EXPECT_EQ(getResult, 11);
  const std::size_t released = m_fake.releases().size();
  get.reset();
  ASSERT_EQ(m_fake.releases().size(), released + 1) << "the destructor gives the connection back";
  EXPECT_EQ(m_fake.releases().back().linger, 0);
  EXPECT_EQ(repliesPosted(), 0);

  cancelled = false;
  auto [postResult, post] = request("/body-later", true, [](HTTPHandler& h) { return h.replyLength() > 0; });
  EXPECT_EQ(postResult, 0);
  EXPECT_EQ(Reply(*post), "first,second");
  EXPECT_EQ(m_fake.releases().back().linger, 1);
  EXPECT_EQ(repliesPosted(), 1);
}

}  // namespace
