// The reply-ready message of a POST reaching the current screen through the
// message queue and the window procedure of a running (headless) program.
#include <chrono>
#include <functional>
#include <thread>

#include "app/screen/screen.h"
#include "app/screen/screen_manager.h"
#include "app/state.h"
#include "net/http_handler.h"
#include "platform/window/headless.h"
#include "tests/net/net_fixture.h"
#include "tests/support/headless_app.h"

namespace {

class CountingScreen : public Screen {
 public:
  CountingScreen(int* count) : Screen(g_hInst, g_hWnd), m_count(count) {}
  void onUserMessage() override { ++*m_count; }

 private:
  int* m_count;
};

class ReplyMessageTest : public NetTest {
 protected:
  // Posts from a worker thread, as the identification request does, then lets
  // the user-interface thread take in whatever arrives within waitMs.
  int postFromWorker(const std::string& target, int waitMs, const std::function<void(HTTPHandler&)>& during = {}) {
    HTTPHandler handler(g_hWnd);
    EXPECT_EQ(handler.openSession(), 0);
    int result = -1;
    std::thread worker(
        [&] { result = handler.httpPost(m_server.url(target).c_str(), reinterpret_cast<const BYTE*>("wav"), 3); });
    if (during) during(handler);
    worker.join();
    WaitForPostedMessage(waitMs);
    return result;
  }
};

TEST_F(ReplyMessageTest, ReachesTheCurrentScreenOnlyAfterASuccessfulPost) {
  std::atomic<bool>& cancelled = m_release;
  m_server.server().Post(
      "/ok", [](const httplib::Request&, httplib::Response& response) { response.set_content("reply", "text/plain"); });
  m_server.server().Post("/missing",
                         [](const httplib::Request&, httplib::Response& response) { response.status = 404; });
  m_server.server().Post("/slow", [&](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider("text/plain", [&](size_t offset, httplib::DataSink& sink) {
      if (offset == 0) return sink.write("part,", 5);
      while (!cancelled && !m_server.stopping()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      sink.write("rest", 4);
      sink.done();
      return true;
    });
  });
  m_server.start();

  HeadlessApp app;
  ASSERT_TRUE(app.started());
  SetConnectionBackend(&m_fake);
  int messages = 0;
  // Slot 0 has no screen class of its own.
  g_apScreens[0] = new CountingScreen(&messages);
  SwitchScreen(0);

  EXPECT_EQ(postFromWorker("/ok", 2000), 0);
  EXPECT_EQ(messages, 1);

  EXPECT_EQ(postFromWorker("/missing", 200), 7);
  EXPECT_EQ(messages, 1);

  // Cancelled while its reply is read, a POST still completes and reports.
  EXPECT_EQ(postFromWorker("/slow", 2000,
                           [&](HTTPHandler& handler) {
                             for (int i = 0; i < 5000 && handler.replyLength() == 0; ++i)
                               std::this_thread::sleep_for(std::chrono::milliseconds(1));
                             handler.cancel();
                             cancelled = true;
                           }),
            0);
  EXPECT_EQ(messages, 2);
}

}  // namespace
