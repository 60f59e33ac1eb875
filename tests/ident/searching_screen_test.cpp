// The searching page as the user meets it, against a server on 127.0.0.1:
// the animation, the request that arrives there, and everything a reply, a
// failure, the time-out or a cancel leads to, with the tag files and the log.
#include "ident/searching_screen.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "app/screen/screen_manager.h"
#include "app/state.h"
#include "audio/audio_recorder.h"
#include "ident/request_url.h"
#include "platform/audio/fake_wave_in.h"
#include "platform/audio/sound.h"
#include "platform/window/headless.h"
#include "platform/window/window.h"
#include "screens/result_screen.h"
#include "screens/try_again_screen.h"
#include "tests/net/net_fixture.h"
#include "tests/support/gif_check.h"
#include "tests/support/reference_image.h"

namespace {

using namespace std::chrono_literals;

const std::string kCover = "\xFF\xD8\xFF\xE0 not really a JPEG, but the bytes are kept as they came";

std::string SongReply(const std::string& artist, const std::string& art) {
  return std::string("OK\0\0\0\0", 6) + "<ALBUM>An Album</ALBUM>\n<ARTIST>" + artist +
         "</ARTIST>\n<TRACK_TITLE>A Title</TRACK_TITLE>\n<ALBUM_ART>" + art +
         "</ALBUM_ART>\n<WALLPAPER>null</WALLPAPER>\n<RINGER>null</RINGER>\n<SMS_MESSAGE>Hear this</SMS_MESSAGE>\n"
         "<RECOMMEND>null</RECOMMEND>\n<FULL_SONG>null</FULL_SONG>\n";
}

class Searching : public NetTest {
 protected:
  void SetUp() override {
    InstallFakeWaveIn();
    m_server.server().Post("/servlet/QuaverId", [this](const httplib::Request& request, httplib::Response& response) {
      m_server.record(request);
      const int n = m_posts++;
      while (n < m_holdPosts && !m_release && !m_server.stopping()) std::this_thread::sleep_for(1ms);
      response.status = m_status;
      response.set_content(m_replies.empty() ? "" : m_replies[std::min<std::size_t>(n, m_replies.size() - 1)],
                           "application/octet-stream");
    });
    m_server.server().Get(R"(/art/(\w+).jpg)", [this](const httplib::Request& request, httplib::Response& response) {
      m_server.record(request);
      if (request.matches[1] == "missing") response.status = 404;
      while (request.matches[1] == "slow" && !m_release && !m_server.stopping()) std::this_thread::sleep_for(1ms);
      response.set_content(kCover, "image/jpeg");
    });
    m_server.start();
    start();
  }
  void TearDown() override {
    m_release = true;
    NetTest::TearDown();
    RemoveFakeWaveIn();
  }

  // The program at its main menu, sending to the test server.
  void start(const std::string& settings = "", int width = 240, int height = 320,
             const std::string& endpoint = "/servlet/QuaverId") {
    HeadlessApp::Options options;
    options.width = width;
    options.height = height;
    options.settings = "serverURL = \"" + (endpoint[0] == '/' ? m_server.url(endpoint) : endpoint) + "\"\n" + settings;
    startApp(options);
    m_app->skipSplash();
  }
  // "ID song!", the recording, and the hand-over to the searching page.
  void identify() {
    ClearPlayedSounds();
    m_app->key(VK_RETURN);
    m_app->wait(3000);
    for (int i = 0; i < 10000 && !(g_pRecorder && g_pRecorder.load()->state() == RECORDING_ACTIVE); ++i)
      std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(FakeWaveInCaptureConstant(321, AudioRecorder::kSampleBytes / 2));
    DispatchPending();
    ASSERT_EQ(m_app->screen(), SCREEN_SEARCHING);
  }
  // Takes in what the worker posts until the page is left.
  bool leaves() {
    PumpWhile([&] { return m_app->screen() == SCREEN_SEARCHING; });
    return m_app->screen() != SCREEN_SEARCHING;
  }
  bool posted(int count) {
    for (int i = 0; i < 500 && m_posts < count; ++i) std::this_thread::sleep_for(10ms);
    return m_posts >= count;
  }
  // Late messages of workers, taken in.
  void settle() {
    for (int i = 0; i < 50; ++i) WaitForPostedMessage(10);
  }

  SearchingScreen& page() const { return *static_cast<SearchingScreen*>(g_apScreens[SCREEN_SEARCHING]); }
  const SongRecord* shown() const { return static_cast<ResultScreen*>(g_apScreens[SCREEN_RESULT])->record(); }
  bool stored(const std::string& name) const { return std::filesystem::exists(m_app->home() / name); }
  bool failurePageShown() const {
    return m_app->screen() == SCREEN_SEND_FAILED &&
           static_cast<TryAgainScreen*>(g_apScreens[SCREEN_SEND_FAILED])->message() ==
               L"Error sending recording to the server!";
  }
  int arrivalsOf(const std::string& method) const {
    int count = 0;
    for (const auto& arrival : m_server.arrivals()) count += arrival.method == method;
    return count;
  }

  std::vector<std::string> m_replies;
  int m_status = 200;
  // Requests numbered below this wait for m_release.
  std::atomic<int> m_holdPosts{0};
  std::atomic<int> m_posts{0};
};

class SearchingPage : public Searching, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(SearchingPage, PlaysTheSoundAndMovesTheStripUntilTheReplyComes) {
  const auto [W, H] = GetParam();
  m_holdPosts = 1;
  start("", W, H);
  identify();
  EXPECT_EQ(PlayedSounds(), (std::vector<std::wstring>{L"#159", L"#160"}));
  EXPECT_TRUE(MatchesReference(m_app->pixels(), "ident/reference/searching-" + std::to_string(W) + "x" +
                                                    std::to_string(H) + ".png"));
  const int third = (H - 43) / 3;
  for (int tick = 1; tick <= 17; ++tick) {
    m_app->wait(SearchingScreen::kAnimationMs);
    const int offset = tick * 15 % 255;
    ASSERT_EQ(page().animationOffset(), offset) << "0, 15, ... 240, then 0 on the 17th tick";
    ASSERT_TRUE(ShowsGif(*m_app, 122, 0, 43 + third + third / 2 - 49 / 2, W, 49, offset, 240)) << offset;
  }
  EXPECT_EQ(m_app->screen(), SCREEN_SEARCHING);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SearchingPage, ::testing::Values(std::pair{240, 320}, std::pair{480, 640}),
                         [](const auto& info) {
                           return std::to_string(info.param.first) + "x" + std::to_string(info.param.second);
                         });

TEST_F(Searching, AFoundSongIsSentWholeThenStoredWithItsCoverAndShown) {
  start("ownerID = \"Ann & Bob=1 \xC3\xBC~x\"\n");
  m_replies = {SongReply("Someone", m_server.url("/art/1.jpg"))};
  identify();
  ASSERT_TRUE(leaves());
  ASSERT_EQ(m_app->screen(), SCREEN_RESULT);
  ASSERT_NE(shown(), nullptr);
  EXPECT_STREQ(shown()->artist, L"Someone");
  EXPECT_EQ(shown()->tagNumber, 0);
  EXPECT_EQ(ReadFile(m_app->home() / "0.jpg"), kCover);
  EXPECT_TRUE(stored("0.dat"));
  EXPECT_EQ(ReadFile(m_app->home() / "nexttag.num"), std::string("\1\0\0\0", 4));
  EXPECT_NE(m_app->log().find("writing album art data file (" + std::to_string(kCover.size()) + " byes)"),
            std::string::npos);

  // The whole recording, to the address with the owner identifier percent-encoded.
  const auto arrivals = m_server.arrivals();
  ASSERT_EQ(arrivals.size(), 2u);
  EXPECT_EQ(arrivals[0].target, "/servlet/QuaverId?id=1017&ownerIdentifier=Ann%20%26%20Bob%3D1%20%C3%BC~x");
  EXPECT_EQ(arrivals[0].headers.count("Content-Type"), 0u);
  const BYTE* recording = g_pRecorder.load()->buffer();
  EXPECT_TRUE(arrivals[0].body == std::string(reinterpret_cast<const char*>(recording), AudioRecorder::kBufferSize));
  EXPECT_EQ(arrivals[1].method, "GET");

  m_app->wait(SearchingScreen::kTimeoutMs);  // both timers went with the page
  EXPECT_EQ(m_app->screen(), SCREEN_RESULT);
}

TEST_F(Searching, WithoutACoverOrWhenItFailsTheSongIsStillStoredAndShown) {
  SetHttpTimeouts({2000, 300});
  const std::string noSong("OK\0\0\0\0NO_MATCH", 14);
  const std::string replies[] = {SongReply("Someone", "null"), SongReply("Someone", m_server.url("/art/missing.jpg")),
                                 SongReply("Someone", m_server.url("/art/slow.jpg")),
                                 SongReply("Someone", "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/a.jpg"),
                                 noSong};
  int tag = 0;
  for (const std::string& reply : replies) {
    SCOPED_TRACE(reply.substr(0, 160));
    m_replies = {reply};
    identify();
    ASSERT_TRUE(leaves());
    EXPECT_EQ(m_app->screen(), SCREEN_RESULT);
    const bool song = reply != noSong;
    ASSERT_EQ(shown() != nullptr, song) << "a reply without a song is the not-found page";
    EXPECT_EQ(stored(std::to_string(tag) + ".dat"), song);
    EXPECT_FALSE(stored(std::to_string(tag++) + ".jpg"));
    m_app->key(VK_ESCAPE);
  }
  EXPECT_EQ(arrivalsOf("GET"), 2) << "no request for the cover \"null\"";
}

TEST_F(Searching, AFailedRequestShowsTheFailurePageAndUsesNoTagNumber) {
  std::string tooLong;  // 127 characters of three UTF-8 bytes each: 1143 bytes once percent-encoded
  for (int i = 0; i < 127; ++i) tooLong += "\xE2\x82\xAC";
  const struct {
    std::string endpoint, settings;
    int arrivals;
  } cases[] = {
      {"/servlet/QuaverId", "", 1},  // the server answers 500
      {"http://127.0.0.1:" + std::to_string(ClosedPort()) + "/servlet/QuaverId", "", 0},
      {"not a url", "", 0},
      {"/servlet/QuaverId", "ownerID = \"" + tooLong + "\"\n", 0},  // too long an address is not sent cut short
  };
  m_status = 500;
  m_replies = {SongReply("Not to be read", "null")};
  int arrivals = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.endpoint + " " + c.settings.substr(0, 10));
    start(c.settings, 240, 320, c.endpoint);
    identify();
    ASSERT_TRUE(leaves());
    EXPECT_TRUE(failurePageShown());
    EXPECT_FALSE(stored("nexttag.num"));
    EXPECT_EQ(m_server.arrivals().size(), arrivals += c.arrivals);
    m_app->key(VK_F1);
    EXPECT_EQ(m_app->screen(), SCREEN_MAIN_MENU);
  }
  char url[kRequestUrlBytes];
  const std::string endpoint(512 - std::strlen("?id=1017&ownerIdentifier=2422") - 1, 'e');
  EXPECT_TRUE(FormatRequestUrl(url, sizeof url, endpoint.c_str(), "2422")) << "511 characters fit";
  EXPECT_FALSE(FormatRequestUrl(url, sizeof url, (endpoint + "e").c_str(), "2422"));
  EXPECT_STREQ(url, "");
}

TEST_F(Searching, NinetySecondsWithoutAReplyShowTheFailurePageAndTheLateReplyChangesNothing) {
  m_holdPosts = 1;
  m_replies = {SongReply("Too late", "null")};
  identify();
  ASSERT_TRUE(posted(1));
  std::weak_ptr<const IdentificationRequest> request = page().request();
  m_app->wait(SearchingScreen::kTimeoutMs - 1);
  EXPECT_EQ(m_app->screen(), SCREEN_SEARCHING);
  m_app->wait(1);
  EXPECT_TRUE(failurePageShown());
  m_release = true;
  PumpWhile([&] { return !request.expired(); });
  EXPECT_TRUE(request.expired()) << "the worker ended and its handler went with the request";
  m_app->wait(SearchingScreen::kTimeoutMs);
  EXPECT_TRUE(failurePageShown());
  EXPECT_FALSE(stored("nexttag.num")) << "no tag number was used up";
}

TEST_F(Searching, EveryCancelReturnsToTheMenuAndALateReplyChangesNothing) {
  m_holdPosts = 4;
  m_replies = {SongReply("Too late", "null")};
  const std::vector<std::function<void()>> cancels = {
      [&] { m_app->key(VK_ESCAPE); }, [&] { m_app->key(VK_F1); }, [&] { m_app->tap(10, 310); },
      [&] {
        PostMessageW(g_hWnd, WM_USER + 1, 0, 0);
        DispatchPending();
      }};
  for (std::size_t i = 0; i < cancels.size(); ++i) {
    SCOPED_TRACE(i);
    identify();
    ASSERT_TRUE(posted(static_cast<int>(i) + 1));
    m_app->key(VK_RETURN);
    m_app->key(VK_F2);
    m_app->tap(200, 310);
    ASSERT_EQ(m_app->screen(), SCREEN_SEARCHING) << "none of these cancel";
    cancels[i]();
    EXPECT_EQ(m_app->screen(), SCREEN_MAIN_MENU);
  }
  m_release = true;
  settle();
  m_app->wait(SearchingScreen::kTimeoutMs);
  EXPECT_EQ(m_app->screen(), SCREEN_MAIN_MENU) << "no failure page, no result";
  EXPECT_FALSE(stored("nexttag.num"));

  // A request cancelled before its worker starts sends nothing and says nothing.
  const int posts = m_posts;
  auto request = std::make_shared<IdentificationRequest>(g_hWnd, 7, g_pRecorder.load()->buffer(),
                                                         AudioRecorder::kBufferSize);
  request->cancel();
  sendRecording(request);
  settle();
  EXPECT_EQ(m_posts, posts);
  EXPECT_EQ(m_app->screen(), SCREEN_MAIN_MENU);
}

TEST_F(Searching, AReplyOfAnEarlierVisitIsNotTakenForTheCurrentOne) {
  m_holdPosts = 2;
  m_replies = {SongReply("First", "null"), SongReply("Second", "null")};
  identify();
  ASSERT_TRUE(posted(1));
  m_app->key(VK_ESCAPE);
  identify();
  ASSERT_TRUE(posted(2));
  m_release = true;  // both replies come now; the first one's message is stale
  ASSERT_TRUE(leaves());
  EXPECT_EQ(m_app->screen(), SCREEN_RESULT);
  ASSERT_NE(shown(), nullptr);
  EXPECT_STREQ(shown()->artist, L"Second");
  EXPECT_EQ(shown()->tagNumber, 0);
  settle();
  EXPECT_EQ(ReadFile(m_app->home() / "nexttag.num"), std::string("\1\0\0\0", 4)) << "one number used";
}

}  // namespace
