// HTTPHandler against a real server on 127.0.0.1: what arrives there, what
// comes back, and how failures, time-outs and cancels end a request.
#include "net/http_handler.h"

#include <chrono>
#include <thread>

#include "app/screen/screen_manager.h"
#include "tests/net/net_fixture.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kGetAccept = "application/octet-stream, text/plain, text/html, image/jpeg";
constexpr const char* kPostAccept = "application/octet-stream, text/plain, text/html";
constexpr const char* kUserAgent = "WindowsMobile-Melodex-0.9";

std::string Bytes(std::size_t count, unsigned seed) {
  std::string bytes(count, '\0');
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>((i * 131 + seed) >> 3);
  return bytes;
}

std::string Reply(const HTTPHandler& handler) {
  return std::string(reinterpret_cast<const char*>(handler.reply()), handler.replyLength());
}

// Waits (at most 5 s) until the condition holds.
template <typename Condition>
bool WaitFor(Condition condition) {
  for (int i = 0; i < 500 && !condition(); ++i) std::this_thread::sleep_for(10ms);
  return condition();
}

class HttpHandlerTest : public NetTest {};

TEST_F(HttpHandlerTest, GetSendsVerbTargetAndHeadersAndReadsTheBody) {
  const std::string picture = Bytes(5000, 7);
  m_server.server().Get("/art/7.jpg", [&](const httplib::Request& request, httplib::Response& response) {
    m_server.record(request);
    response.set_content(picture, "image/jpeg");
  });
  m_server.start();

  HTTPHandler handler(nullptr);
  ASSERT_EQ(handler.openSession(), 0);
  ASSERT_EQ(handler.httpGet(m_server.url("/art/7.jpg?size=big&n=1").c_str()), 0);
  EXPECT_EQ(Reply(handler), picture);

  const auto arrivals = m_server.arrivals();
  ASSERT_EQ(arrivals.size(), 1u);
  EXPECT_EQ(arrivals[0].method, "GET");
  EXPECT_EQ(arrivals[0].target, "/art/7.jpg?size=big&n=1");
  EXPECT_EQ(arrivals[0].headers.find("Accept")->second, kGetAccept);
  EXPECT_EQ(arrivals[0].headers.find("User-Agent")->second, kUserAgent);
  EXPECT_EQ(arrivals[0].headers.count("Content-Type"), 0u);
  EXPECT_TRUE(arrivals[0].body.empty());

  // The connection went back at once, with the default linger.
  ASSERT_EQ(m_fake.releases().size(), 1u);
  EXPECT_EQ(m_fake.releases()[0].linger, 1);
  EXPECT_EQ(m_fake.liveConnections(), 0);
}

TEST_F(HttpHandlerTest, PostSendsTheExactBodyWithoutContentType) {
  const std::string body = Bytes(180096, 3);
  m_server.server().Post("/servlet/QuaverId", [&](const httplib::Request& request, httplib::Response& response) {
    m_server.record(request);
    response.set_content("<ARTIST>Someone</ARTIST>", "text/plain");
  });
  m_server.start();

  HTTPHandler handler(nullptr);
  ASSERT_EQ(handler.openSession(), 0);
  const std::string url = m_server.url("/servlet/QuaverId?id=1017&ownerIdentifier=2422");
  ASSERT_EQ(handler.httpPost(url.c_str(), reinterpret_cast<const BYTE*>(body.data()), body.size()), 0);
  EXPECT_EQ(Reply(handler), "<ARTIST>Someone</ARTIST>");

  const auto arrivals = m_server.arrivals();
  ASSERT_EQ(arrivals.size(), 1u);
  EXPECT_EQ(arrivals[0].method, "POST");
  EXPECT_EQ(arrivals[0].target, "/servlet/QuaverId?id=1017&ownerIdentifier=2422");
  EXPECT_EQ(arrivals[0].headers.find("Accept")->second, kPostAccept);
  EXPECT_EQ(arrivals[0].headers.find("User-Agent")->second, kUserAgent);
  EXPECT_EQ(arrivals[0].headers.count("Content-Type"), 0u);
  EXPECT_EQ(arrivals[0].headers.count("Expect"), 0u);
  EXPECT_TRUE(arrivals[0].body == body) << "body of " << arrivals[0].body.size() << " bytes differs";
}

TEST_F(HttpHandlerTest, ReplyIsCutAtTheBufferSize) {
  const std::string big = Bytes(150000, 11);
  m_server.server().Get(R"(/(\d+))", [&](const httplib::Request& request, httplib::Response& response) {
    response.set_content(big.substr(0, std::stoul(request.matches[1])), "application/octet-stream");
  });
  m_server.start();

  for (const std::size_t size : {99999u, 100000u, 100001u, 150000u}) {
    HTTPHandler handler(nullptr);
    ASSERT_EQ(handler.openSession(), 0);
    ASSERT_EQ(handler.httpGet(m_server.url("/" + std::to_string(size)).c_str()), 0) << size;
    EXPECT_EQ(Reply(handler), big.substr(0, std::min<std::size_t>(size, 100000))) << size;
  }
}

TEST_F(HttpHandlerTest, ReplyTrickledInSmallPiecesArrivesWhole) {
  const std::string text = Bytes(20 * 997, 5);
  m_server.server().Get("/slow", [&](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider("text/plain", [&](size_t offset, httplib::DataSink& sink) {
      std::this_thread::sleep_for(5ms);
      if (offset < text.size()) return sink.write(text.data() + offset, 997);
      sink.done();
      return true;
    });
  });
  m_server.start();

  HTTPHandler handler(nullptr);
  ASSERT_EQ(handler.openSession(), 0);
  ASSERT_EQ(handler.httpGet(m_server.url("/slow").c_str()), 0);
  EXPECT_EQ(Reply(handler), text);
}

TEST_F(HttpHandlerTest, StatusOtherThan200GivesSevenAndKeepsTheConnectionForTheDestructor) {
  m_server.server().Get("/missing", [](const httplib::Request&, httplib::Response& response) {
    response.status = 404;
    response.set_content("not here", "text/plain");
  });
  m_server.start();
  {
    HTTPHandler handler(nullptr);
    ASSERT_EQ(handler.openSession(), 0);
    EXPECT_EQ(handler.httpGet(m_server.url("/missing").c_str()), 7);
    EXPECT_EQ(handler.replyLength(), 0u);
    EXPECT_TRUE(m_fake.releases().empty());
  }
  ASSERT_EQ(m_fake.releases().size(), 1u);
  EXPECT_EQ(m_fake.releases()[0].linger, 0);
}

TEST_F(HttpHandlerTest, ClosedPortFailsToConnect) {
  HTTPHandler handler(nullptr);
  ASSERT_EQ(handler.openSession(), 0);
  const std::string url = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/x";
  EXPECT_EQ(handler.httpGet(url.c_str()), 4);
}

TEST_F(HttpHandlerTest, StalledServerEndsInATimeOutOnTheUserInterfaceThread) {
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
  MarkUserInterfaceThread();
  SetHttpTimeouts({2000, 300});

  HTTPHandler reading(nullptr);
  ASSERT_EQ(reading.openSession(), 0);
  EXPECT_EQ(reading.httpGet(m_server.url("/headers-then-nothing").c_str()), 9);

  HTTPHandler waiting(nullptr);
  ASSERT_EQ(waiting.openSession(), 0);
  EXPECT_EQ(waiting.httpGet(m_server.url("/nothing").c_str()), 6);
}

TEST_F(HttpHandlerTest, CancelBeforeTheRequestSendsNothing) {
  m_server.start();
  HTTPHandler handler(nullptr);
  ASSERT_EQ(handler.openSession(), 0);
  handler.cancel();
  EXPECT_EQ(handler.httpGet(m_server.url("/").c_str()), 11);
  EXPECT_TRUE(m_fake.requests().empty());
  EXPECT_TRUE(m_server.arrivals().empty());
}

TEST_F(HttpHandlerTest, CancelWhileWaitingForTheStatusEndsThePost) {
  m_server.server().Post("/id", [&](const httplib::Request& request, httplib::Response& response) {
    m_server.record(request);
    WaitFor([&] { return m_release.load() || m_server.stopping(); });
    response.set_content("reply", "text/plain");
  });
  m_server.start();

  HTTPHandler handler(nullptr);
  ASSERT_EQ(handler.openSession(), 0);
  std::thread canceller([&] {
    WaitFor([&] { return !m_server.arrivals().empty(); });
    handler.cancel();
  });
  EXPECT_EQ(handler.httpPost(m_server.url("/id").c_str(), reinterpret_cast<const BYTE*>("abc"), 3), 11);
  canceller.join();
  m_release = true;
}

TEST_F(HttpHandlerTest, GetCancelledWhileItsBodyIsReadGivesElevenAndTheDestructorReleases) {
  m_server.server().Get("/endless", [&](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider("application/octet-stream", [&](size_t, httplib::DataSink& sink) {
      std::this_thread::sleep_for(10ms);
      return !m_server.stopping() && sink.write("x", 1);
    });
  });
  m_server.start();
  {
    HTTPHandler handler(nullptr);
    ASSERT_EQ(handler.openSession(), 0);
    std::thread canceller([&] {
      WaitFor([&] { return handler.replyLength() > 0; });
      handler.cancel();
    });
    EXPECT_EQ(handler.httpGet(m_server.url("/endless").c_str()), 11);
    canceller.join();
    EXPECT_TRUE(m_fake.releases().empty());
  }
  ASSERT_EQ(m_fake.releases().size(), 1u);
  EXPECT_EQ(m_fake.releases()[0].linger, 0);
}

TEST_F(HttpHandlerTest, PostCancelledWhileItsBodyIsReadCompletes) {
  std::atomic<bool> cancelled{false};
  m_server.server().Post("/id", [&](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider("text/plain", [&](size_t offset, httplib::DataSink& sink) {
      if (offset == 0) return sink.write("first,", 6);
      WaitFor([&] { return cancelled.load() || m_server.stopping(); });
      sink.write("second", 6);
      sink.done();
      return true;
    });
  });
  m_server.start();

  HTTPHandler handler(nullptr);
  ASSERT_EQ(handler.openSession(), 0);
  std::thread canceller([&] {
    WaitFor([&] { return handler.replyLength() > 0; });
    handler.cancel();
    cancelled = true;
  });
  EXPECT_EQ(handler.httpPost(m_server.url("/id").c_str(), reinterpret_cast<const BYTE*>("abc"), 3), 0);
  canceller.join();
  EXPECT_EQ(Reply(handler), "first,second");
  EXPECT_EQ(m_fake.releases().size(), 1u);
}

TEST_F(HttpHandlerTest, UrlsThatDoNotFitOrAreNotHttpAreRejectedWithThree) {
  m_server.server().Get(R"(/.*)", [&](const httplib::Request& request, httplib::Response& response) {
    m_server.record(request);
    response.set_content("ok", "text/plain");
  });
  m_server.start();

  const auto get = [](const std::string& url) {
    HTTPHandler handler(nullptr);
    handler.openSession();
    return handler.httpGet(url.c_str());
  };
  // The path with its query may take 511 bytes, the host name 255.
  EXPECT_EQ(get(m_server.url("/" + std::string(500, 'p') + "?q=" + std::string(7, 'v'))), 0);
  EXPECT_EQ(get(m_server.url("/" + std::string(500, 'p') + "?q=" + std::string(8, 'v'))), 3);
  EXPECT_EQ(get("http://" + std::string(256, 'h') + "/"), 3);
  EXPECT_EQ(get("file:///etc/passwd"), 3);
  EXPECT_EQ(get("ftp://127.0.0.1/x"), 3);
  EXPECT_EQ(get("no address at all"), 3);
  EXPECT_EQ(m_server.arrivals().size(), 1u);
}

TEST_F(HttpHandlerTest, WithoutASessionNothingIsTouched) {
  m_server.start();
  HTTPHandler handler(nullptr);
  EXPECT_EQ(handler.httpGet(m_server.url("/").c_str()), 1);
  EXPECT_EQ(handler.httpPost(m_server.url("/").c_str(), reinterpret_cast<const BYTE*>("a"), 1), 1);
  EXPECT_TRUE(m_fake.mappedUrls().empty());
  EXPECT_TRUE(m_fake.requests().empty());
  EXPECT_TRUE(m_server.arrivals().empty());
}

TEST_F(HttpHandlerTest, NoConnectionGivesOneAndOneLogLine) {
  m_server.start();
  m_fake.fail(FakeConnectionManager::Operation::Establish);
  HTTPHandler handler(nullptr);
  ASSERT_EQ(handler.openSession(), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(handler.httpPost(m_server.url("/").c_str(), reinterpret_cast<const BYTE*>("a"), 1), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "HTTPHandler::setupConnection: Couldn't establish the connection!\r\n");
  EXPECT_EQ(m_fake.liveConnections(), 0);
  EXPECT_TRUE(m_server.arrivals().empty());
}

}  // namespace
