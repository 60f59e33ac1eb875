// The identification request's worker against a server on 127.0.0.1: the
// address and body that arrive, the reply handed over to the user-interface
// thread, and how failures and cancels end it.
#include "ident/send_recording.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "app/main_window.h"
#include "app/state.h"
#include "audio/audio_recorder.h"
#include "ident/request_url.h"
#include "platform/window/window.h"
#include "tests/net/net_fixture.h"

namespace {

using namespace std::chrono_literals;

constexpr WPARAM kGeneration = 7;

class SendRecordingTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    for (std::size_t i = 0; i < m_body.size(); ++i) m_body[i] = static_cast<char>(i * 7 + (i >> 9));
  }

  // The program with its settings (after the server has started); worker
  // messages stay in the queue for takeMessages.
  void startApp(const std::string& settings) {
    HeadlessApp::Options options;
    options.settings = settings;
    m_app.reset();  // one program at a time
    m_app = std::make_unique<HeadlessApp>(options);
    ASSERT_TRUE(m_app->started());
    SetConnectionBackend(&m_fake);
  }
  void startAppFor(const std::string& ownerLine = "") {
    startApp("serverURL = \"" + m_server.url("/servlet/QuaverId") + "\"\n" + ownerLine);
  }
  void TearDown() override {
    m_app.reset();
    NetTest::TearDown();
  }

  std::shared_ptr<IdentificationRequest> makeRequest() {
    return std::make_shared<IdentificationRequest>(g_hWnd, kGeneration, reinterpret_cast<const BYTE*>(m_body.data()),
                                                   static_cast<DWORD>(m_body.size()));
  }
  void run(const std::shared_ptr<IdentificationRequest>& request) {
    std::thread worker(sendRecording, request);
    worker.join();
  }
  // The messages the worker posted, as (message, wParam), in order.
  std::vector<std::pair<UINT, WPARAM>> takeMessages() {
    std::vector<std::pair<UINT, WPARAM>> taken;
    MSG msg{};
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
      if (msg.message == WM_USER || msg.message == WM_SEND_FAILED) taken.emplace_back(msg.message, msg.wParam);
    return taken;
  }
  void serveReply(const std::string& reply) {
    m_server.server().Post("/servlet/QuaverId", [this, reply](const httplib::Request& request, httplib::Response& response) {
      m_server.record(request);
      response.set_content(reply, "application/octet-stream");
    });
  }

  std::string m_body = std::string(AudioRecorder::kBufferSize, '\0');
  std::unique_ptr<HeadlessApp> m_app;
};

using Messages = std::vector<std::pair<UINT, WPARAM>>;

TEST_F(SendRecordingTest, PostsTheWholeRecordingAndHandsTheReplyToTheWindowOnce) {
  serveReply("OK\0\0\0\0<ARTIST>Someone</ARTIST>");
  m_server.start();
  startAppFor();
  auto request = makeRequest();
  run(request);

  const auto arrivals = m_server.arrivals();
  ASSERT_EQ(arrivals.size(), 1u);
  EXPECT_EQ(arrivals[0].method, "POST");
  EXPECT_EQ(arrivals[0].target, "/servlet/QuaverId?id=1017&ownerIdentifier=2422");
  EXPECT_EQ(arrivals[0].headers.count("Content-Type"), 0u);
  EXPECT_TRUE(arrivals[0].body == m_body) << "a body of " << arrivals[0].body.size() << " bytes differs";
  EXPECT_EQ(takeMessages(), (Messages{{WM_USER, 0}}));

  std::unique_ptr<HTTPHandler> reply = request->takeReply();
  ASSERT_TRUE(reply);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply->reply()), reply->replyLength()),
            std::string("OK\0\0\0\0<ARTIST>Someone</ARTIST>"));
  EXPECT_FALSE(request->takeReply()) << "taken once";
}

TEST_F(SendRecordingTest, AnOwnerIdentifierWithSpacesAmpersandAndAccentsArrivesIntact) {
  std::string owner;
  m_server.server().Post("/servlet/QuaverId", [&](const httplib::Request& request, httplib::Response& response) {
    m_server.record(request);
    owner = request.get_param_value("ownerIdentifier");
    response.set_content("reply", "text/plain");
  });
  m_server.start();
  startAppFor("ownerID = \"Ann & Bob=1 \xC3\xBC~x\"\n");
  run(makeRequest());
  const auto arrivals = m_server.arrivals();
  ASSERT_EQ(arrivals.size(), 1u);
  EXPECT_EQ(arrivals[0].target, "/servlet/QuaverId?id=1017&ownerIdentifier=Ann%20%26%20Bob%3D1%20%C3%BC~x");
  EXPECT_EQ(owner, "Ann & Bob=1 \xC3\xBC~x");
}

TEST_F(SendRecordingTest, FailuresAskForTheFailurePageWithTheRequestsNumber) {
  m_server.server().Post("/missing", [](const httplib::Request&, httplib::Response& response) {
    response.status = 404;
    response.set_content("<ARTIST>Not this</ARTIST>", "text/plain");
  });
  m_server.start();
  for (const std::string& endpoint :
       {m_server.url("/missing"), "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/servlet/QuaverId",
        std::string("not a url")}) {
    SCOPED_TRACE(endpoint);
    startApp("serverURL = \"" + endpoint + "\"\n");
    auto request = makeRequest();
    run(request);
    EXPECT_EQ(takeMessages(), (Messages{{WM_SEND_FAILED, kGeneration}}));
    EXPECT_FALSE(request->takeReply());
  }
}

TEST_F(SendRecordingTest, AnAddressThatDoesNotFitItsBufferIsNotSent) {
  serveReply("reply");
  m_server.start();
  // 127 characters of three UTF-8 bytes each: 1143 bytes once percent-encoded.
  std::string owner;
  for (int i = 0; i < 127; ++i) owner += "\xE2\x82\xAC";
  startAppFor("ownerID = \"" + owner + "\"\n");
  auto request = makeRequest();
  run(request);
  EXPECT_TRUE(m_server.arrivals().empty());
  EXPECT_EQ(takeMessages(), (Messages{{WM_SEND_FAILED, kGeneration}}));

  char url[kRequestUrlBytes];
  const std::string endpoint(512 - std::strlen("?id=1017&ownerIdentifier=2422") - 1, 'e');
  EXPECT_TRUE(FormatRequestUrl(url, sizeof url, endpoint.c_str(), "2422")) << "511 characters fit";
  EXPECT_EQ(std::strlen(url), 511u);
  EXPECT_FALSE(FormatRequestUrl(url, sizeof url, (endpoint + "e").c_str(), "2422"));
  EXPECT_STREQ(url, "");
}

TEST_F(SendRecordingTest, ACancelledRequestSendsNothingAndSaysNothing) {
  serveReply("reply");
  m_server.start();
  startAppFor();
  auto request = makeRequest();
  request->cancel();
  run(request);
  EXPECT_TRUE(m_server.arrivals().empty());
  EXPECT_TRUE(takeMessages().empty());
}

TEST_F(SendRecordingTest, ACancelWhileTheServerThinksEndsTheWorkerSilently) {
  std::atomic<bool> arrived{false};
  m_server.server().Post("/servlet/QuaverId", [&](const httplib::Request&, httplib::Response& response) {
    arrived = true;
    while (!m_release && !m_server.stopping()) std::this_thread::sleep_for(1ms);
    response.set_content("too late", "text/plain");
  });
  m_server.start();
  startAppFor();
  auto request = makeRequest();
  std::thread worker(sendRecording, request);
  for (int i = 0; i < 500 && !arrived; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(arrived);
  request->cancel();
  worker.join();
  m_release = true;
  EXPECT_TRUE(takeMessages().empty());
  EXPECT_FALSE(request->takeReply());
}

}  // namespace
