// The searching page against a server on 127.0.0.1: the animation, the
// request that arrives there, and everything a reply, a failure, the
// time-out or a cancel leads to, with the tag files.
#include "ident/searching_screen.h"

#include <cstring>
#include <thread>

#include "audio/audio_recorder.h"
#include "ident/request_url.h"
#include "platform/audio/fake_wave_in.h"
#include "platform/audio/sound.h"
#include "screens/result_screen.h"
#include "screens/try_again_screen.h"
#include "tests/net/net_fixture.h"

namespace {

const std::string kCover = "\xFF\xD8\xFF\xE0 not really a JPEG, but the bytes are kept as they came";

std::string SongReply(const std::string& artist, const std::string& art) {
  return std::string("OK\0\0\0\0", 6) + "<ARTIST>" + artist + "</ARTIST><ALBUM_ART>" + art + "</ALBUM_ART>";
}

class Searching : public NetTest {
 protected:
  // Requests numbered below m_holdPosts, and the cover "slow", wait for m_release.
  void SetUp() override {
    InstallFakeWaveIn();
    m_server.on("POST", "/id", [this](const httplib::Request&, httplib::Response& response) {
      const int n = m_posts++;
      while (n < m_holdPosts && !m_release && !m_server.stopping())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      response.status = m_status;
      response.set_content(m_replies[std::min<std::size_t>(n, m_replies.size() - 1)], "text/plain");
    });
    m_server.on("GET", R"(/art/(\w+).jpg)", [this](const httplib::Request& request, httplib::Response& response) {
      response.status = request.matches[1] == "missing" ? 404 : 200;
      while (request.matches[1] == "slow" && !m_release && !m_server.stopping())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      response.set_content(kCover, "image/jpeg");
    });
    m_server.start();
    startAt(m_server.url("/id"));
  }
  void TearDown() override {
    m_release = true;
    NetTest::TearDown();
    RemoveFakeWaveIn();
  }
  void startAt(const std::string& endpoint, const std::string& settings = "", int width = 240, int height = 320) {
    start(width, height, "serverURL = \"" + endpoint + "\"\n" + settings);
  }
  // "ID song!", the recording, and the hand-over to the searching page.
  void identify() {
    ClearPlayedSounds();
    app_->key(VK_RETURN);
    app_->wait(3000);
    ASSERT_NO_FATAL_FAILURE(awaitRecorder());
    ASSERT_TRUE(FakeWaveInCaptureConstant(321, 88000));
    DispatchPending();
    // A request that fails or is answered at once may have left the page already.
    ASSERT_NE(app_->screen(), SCREEN_LISTENING);
  }
  // Takes in what the worker posts until the page is left.
  void outcome() const {
    PumpWhile([&] { return app_->screen() == SCREEN_SEARCHING; });
  }
  void posted(int count) const {
    for (int i = 0; i < 500 && m_posts < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(m_posts, count);
  }
  // Takes in whatever late messages of workers come.
  void settle() const {
    for (int i = 0; i < 50; ++i) WaitForPostedMessage(10);
  }
  bool failurePage() const {
    return app_->screen() == SCREEN_SEND_FAILED &&
           page<TryAgainScreen>(SCREEN_SEND_FAILED).message() == L"Error sending recording to the server!";
  }

  std::vector<std::string> m_replies{SongReply("Someone", "null")};
  int m_status = 200;
  std::atomic<int> m_holdPosts{0};
  std::atomic<int> m_posts{0};
};

class SearchingPage : public Searching, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(SearchingPage, PlaysTheSoundAndMovesTheStripUntilTheReplyComes) {
  m_holdPosts = 1;
  startAt(m_server.url("/id"), "", GetParam().first, GetParam().second);
  identify();
  EXPECT_EQ(PlayedSounds(), (std::vector<std::wstring>{L"#159", L"#160"}));
  EXPECT_TRUE(Looks("ident", "searching"));
  app_->wait(1600);  // 15 pixels every 100 ms: 240, then a whole turn
  EXPECT_TRUE(Looks("ident", "searching-scrolled"));
  app_->wait(100);
  EXPECT_TRUE(Looks("ident", "searching"));
  EXPECT_EQ(app_->screen(), SCREEN_SEARCHING);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SearchingPage, ::testing::Values(std::pair{240, 320}, std::pair{480, 640}));

// A found song is sent whole, then stored with its cover and shown; without a
// cover, or when it fails, the song is still stored and shown.
TEST_F(Searching, AFoundSongIsSentWholeThenStoredWithItsCoverIfAnyAndShown) {
  startAt(m_server.url("/id"), "ownerID = \"Ann & Bob=1 \xC3\xBC~x\"\n");
  SetHttpTimeouts({2000, 300});
  m_replies = {SongReply("Someone", m_server.url("/art/1.jpg"))};
  identify();
  outcome();
  ASSERT_NE(shown(), nullptr);
  EXPECT_EQ(std::pair(std::wstring(shown()->artist), shown()->tagNumber), std::pair(std::wstring(L"Someone"), 0));
  EXPECT_EQ(ReadFile(app_->home() / "0.jpg"), kCover);
  EXPECT_TRUE(stored("0.dat"));
  EXPECT_EQ(ReadFile(app_->home() / "nexttag.num"), std::string("\1\0\0\0", 4));
  EXPECT_NE(app_->log().find("writing album art data file (" + std::to_string(kCover.size()) + " byes)"),
            std::string::npos);
  // The whole recording, to the address with the owner identifier percent-encoded.
  const auto arrivals = m_server.arrivals();
  ASSERT_EQ(arrivals.size(), 2u);
  EXPECT_EQ(arrivals[0].target, "/id?id=1017&ownerIdentifier=Ann%20%26%20Bob%3D1%20%C3%BC~x");
  EXPECT_EQ(arrivals[0].headers.count("Content-Type"), 0u);
  EXPECT_TRUE(arrivals[0].body == std::string(reinterpret_cast<const char*>(g_pRecorder.load()->buffer()), 180096));
  EXPECT_EQ(arrivals[1].method, "GET");
  app_->wait(90000);  // both timers went with the page
  EXPECT_EQ(app_->screen(), SCREEN_RESULT);
  app_->key(VK_ESCAPE);
  const std::string noSong("OK\0\0\0\0NO_MATCH", 14);
  int tag = 1;
  for (const std::string& reply :
       {SongReply("A", "null"), SongReply("A", m_server.url("/art/missing.jpg")),
        SongReply("A", m_server.url("/art/slow.jpg")),
        SongReply("A", "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/a.jpg"), noSong}) {
    SCOPED_TRACE(reply);
    m_replies = {reply};
    identify();
    outcome();
    EXPECT_EQ(app_->screen(), SCREEN_RESULT);
    EXPECT_EQ(shown() != nullptr, reply != noSong) << "a reply without a song is the not-found page";
    EXPECT_EQ(stored(std::to_string(tag) + ".dat"), reply != noSong);
    EXPECT_FALSE(stored(std::to_string(tag++) + ".jpg"));
    app_->key(VK_ESCAPE);
  }
  EXPECT_EQ(m_server.arrivals().size(), 2u + 5u + 2u) << "no request for the cover \"null\"";
}

TEST_F(Searching, AFailedRequestTheTimeOutAndEveryCancelUseNoTagNumberAndLateRepliesChangeNothing) {
  std::string tooLong;  // 127 characters of three UTF-8 bytes: 1143 bytes once percent-encoded
  for (int i = 0; i < 127; ++i) tooLong += "\xE2\x82\xAC";
  m_status = 500;
  std::size_t arrivals = 0;
  for (const auto& [endpoint, settings, arrived] :
       {std::tuple(m_server.url("/id"), std::string(), 1u),
        std::tuple("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/id", std::string(), 0u),
        std::tuple(std::string("not a url"), std::string(), 0u),
        std::tuple(m_server.url("/id"), "ownerID = \"" + tooLong + "\"\n", 0u)}) {  // not sent cut short
    SCOPED_TRACE(endpoint);
    startAt(endpoint, settings);
    identify();
    outcome();
    EXPECT_TRUE(failurePage());
    EXPECT_FALSE(stored("nexttag.num"));
    EXPECT_EQ(m_server.arrivals().size(), arrivals += arrived);
    app_->key(VK_F1);
    EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
  }
  char url[kRequestUrlBytes];
  const std::string endpoint(512 - std::strlen("?id=1017&ownerIdentifier=2422") - 1, 'e');
  EXPECT_TRUE(FormatRequestUrl(url, sizeof url, endpoint.c_str(), "2422")) << "511 characters fit";
  EXPECT_FALSE(FormatRequestUrl(url, sizeof url, (endpoint + "e").c_str(), "2422"));
  EXPECT_STREQ(url, "");
  // Replies that come late, after the time-out or a cancel, change nothing,
  // and are not taken for the reply of a later visit.
  startAt(m_server.url("/id"));
  m_status = 200;
  m_posts = 0;
  m_holdPosts = 6;
  m_replies.clear();
  for (int n = 0; n < 6; ++n) m_replies.push_back(SongReply("Reply " + std::to_string(n), "null"));
  identify();
  posted(1);
  std::weak_ptr<const IdentificationRequest> request = page<SearchingScreen>(SCREEN_SEARCHING).request();
  app_->wait(90000 - 1);
  EXPECT_EQ(app_->screen(), SCREEN_SEARCHING);
  app_->wait(1);
  EXPECT_TRUE(failurePage());
  app_->key(VK_F1);
  const std::vector<std::function<void()>> cancels = {[&] { app_->key(VK_ESCAPE); }, [&] { app_->key(VK_F1); },
                                                      [&] { app_->tap(10, 310); },
                                                      [&] { SendMessageW(g_hWnd, WM_USER + 1, 0, 0); }};
  for (std::size_t i = 0; i < cancels.size(); ++i) {
    SCOPED_TRACE(i);
    identify();
    posted(static_cast<int>(i) + 2);
    keys({VK_RETURN, VK_F2});
    app_->tap(200, 310);
    ASSERT_EQ(app_->screen(), SCREEN_SEARCHING) << "none of these cancel";
    cancels[i]();
    EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
  }
  identify();
  posted(6);
  m_release = true;  // every reply comes now; only the last visit's is taken
  outcome();
  ASSERT_NE(shown(), nullptr);
  EXPECT_EQ(std::pair(std::wstring(shown()->artist), shown()->tagNumber), std::pair(std::wstring(L"Reply 5"), 0));
  PumpWhile([&] { return !request.expired(); });
  EXPECT_TRUE(request.expired()) << "the worker ended and its handler went with the request";
  settle();
  app_->wait(90000);
  EXPECT_EQ(app_->screen(), SCREEN_RESULT);
  EXPECT_EQ(ReadFile(app_->home() / "nexttag.num"), std::string("\1\0\0\0", 4)) << "one tag number used";
  // A request cancelled before its worker starts sends nothing and says nothing.
  auto cancelled = std::make_shared<IdentificationRequest>(g_hWnd, 7, g_pRecorder.load()->buffer(), 180096);
  cancelled->cancel();
  sendRecording(cancelled);
  settle();
  EXPECT_EQ(std::pair(m_posts.load(), app_->screen()), std::pair(6, SCREEN_RESULT));
}

}  // namespace
