// The searching page as the user meets it: the animation, the request to a
// server on 127.0.0.1 and everything a reply, a failure, the time-out or a
// cancel leads to, with the pictures, the tag files and the log.
#include "ident/searching_screen.h"

#include <chrono>
#include <thread>

#include "app/main_window.h"
#include "app/screen/screen_manager.h"
#include "app/screen/strip_page.h"
#include "app/state.h"
#include "audio/audio_recorder.h"
#include "platform/audio/fake_wave_in.h"
#include "platform/audio/sound.h"
#include "platform/window/headless.h"
#include "platform/window/window.h"
#include "screens/result_screen.h"
#include "screens/try_again_screen.h"
#include "tests/net/net_fixture.h"

namespace {

using namespace std::chrono_literals;

constexpr int kBanner = 113, kAnalyzing = 178, kStrip = 122, kLogo = 175, kCancel = 177;
constexpr int kStripWidth = 240, kStripHeight = 49;
constexpr std::size_t kSamples = AudioRecorder::kSampleBytes / 2;
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
    NetTest::SetUp();
    InstallFakeWaveIn();
  }
  void TearDown() override {
    m_release = true;
    m_app.reset();
    RemoveFakeWaveIn();
    NetTest::TearDown();
  }

  // The answers, then the program, at the main menu.
  void start(int width = 240, int height = 320) {
    m_server.server().Post("/servlet/QuaverId", [this](const httplib::Request& request, httplib::Response& response) {
      m_server.record(request);
      const int n = m_posts++;
      while (n < m_holdPosts && !m_release && !m_server.stopping()) std::this_thread::sleep_for(1ms);
      response.status = m_status;
      response.set_content(m_replies.empty() ? std::string() : m_replies[std::min<std::size_t>(n, m_replies.size() - 1)],
                           "application/octet-stream");
    });
    m_server.server().Get("/art/1.jpg", [this](const httplib::Request& request, httplib::Response& response) {
      m_server.record(request);
      response.set_content(kCover, "image/jpeg");
    });
    m_server.server().Get("/art/slow.jpg", [this](const httplib::Request&, httplib::Response& response) {
      while (!m_release && !m_server.stopping()) std::this_thread::sleep_for(1ms);
      response.set_content(kCover, "image/jpeg");
    });
    m_server.start();
    HeadlessApp::Options options;
    options.width = width;
    options.height = height;
    options.settings = "serverURL = \"" + m_server.url("/servlet/QuaverId") + "\"\n";
    m_app = std::make_unique<HeadlessApp>(options);
    ASSERT_TRUE(m_app->started());
    SetConnectionBackend(&m_fake);
    m_app->skipSplash();
  }

  // "ID song!", the recording, and the hand-over to the searching page.
  void identify() {
    ClearPlayedSounds();
    m_app->key(VK_RETURN);
    m_app->wait(3000);
    bool recording = false;
    for (int i = 0; i < 10000 && !recording; ++i) {
      recording = g_pRecorder && g_pRecorder.load()->state() == RECORDING_ACTIVE;
      if (!recording) std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(recording);
    ASSERT_TRUE(FakeWaveInCaptureConstant(321, kSamples));
    DispatchPending();
    ASSERT_EQ(m_app->screen(), SCREEN_SEARCHING);
  }
  // Takes in what the worker posts until the page is left.
  bool leaves() {
    PumpWhile([&] { return m_app->screen() == SCREEN_SEARCHING; });
    return m_app->screen() != SCREEN_SEARCHING;
  }
  // Until the server has seen `count` identification requests.
  bool posted(int count) {
    for (int i = 0; i < 500 && m_posts < count; ++i) std::this_thread::sleep_for(10ms);
    return m_posts >= count;
  }

  SearchingScreen& page() const { return *static_cast<SearchingScreen*>(g_apScreens[SCREEN_SEARCHING]); }
  const SongRecord* shownRecord() const {
    return static_cast<ResultScreen*>(g_apScreens[SCREEN_RESULT])->record();
  }
  bool stored(const std::string& name) const { return std::filesystem::exists(m_app->home() / name); }
  std::string failureMessage() const {
    std::wstring text = static_cast<TryAgainScreen*>(g_apScreens[SCREEN_SEND_FAILED])->message();
    return std::string(text.begin(), text.end());
  }
  int arrivalsOf(const std::string& method) const {
    int count = 0;
    for (const auto& arrival : m_server.arrivals()) count += arrival.method == method;
    return count;
  }

  ::testing::AssertionResult Shows(int gifId, int x, int y, int w, int h, int gifX = 0) const {
    int mismatches = 0;
    const Surface& pixels = m_app->pixels();
    for (int j = 0; j < h; ++j)
      for (int i = 0; i < w; ++i) {
        if (x + i < 0 || y + j < 0 || x + i >= pixels.width || y + j >= pixels.height) continue;
        const int gx = gifId == kStrip ? (gifX + i) % kStripWidth : i;
        if (m_app->pixel(x + i, y + j) != GifPixel(gifId, gx, j)) ++mismatches;
      }
    if (mismatches == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << mismatches << " pixels of GIF " << gifId << " differ at (" << x << ", "
                                         << y << ")";
  }

  std::unique_ptr<HeadlessApp> m_app;
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
  start(W, H);
  identify();
  EXPECT_EQ(PlayedSounds(), (std::vector<std::wstring>{L"#159", L"#160"}));
  const int third = (H - 43) / 3;
  const int stripY = 43 + third + third / 2 - kStripHeight / 2;
  for (int tick = 0; tick < 18; ++tick) {
    SCOPED_TRACE(tick);
    const int offset = tick == 17 ? 0 : tick * 15;
    ASSERT_EQ(page().animationOffset(), offset) << "0, 15, ... 240, then 0 on the 17th tick";
    EXPECT_TRUE(Shows(kStrip, 0, stripY, W, kStripHeight, offset));
    if (tick == 0 || tick == 16) {
      EXPECT_TRUE(Shows(kBanner, W / 2 - 160, 0, 320, 43));
      EXPECT_TRUE(Shows(kAnalyzing, W / 2 - 80, 43 + third / 2 - 15, 160, 30));
      EXPECT_TRUE(Shows(kLogo, W - 82, H - 16, 82, 16));
      EXPECT_TRUE(Shows(kCancel, 20, H - 24, 67, 24));
    }
    m_app->wait(SearchingScreen::kAnimationMs);
  }
  EXPECT_EQ(StripTileCount(W, kStripWidth), W == 240 ? 2 : 4);
  EXPECT_EQ(m_app->screen(), SCREEN_SEARCHING);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SearchingPage, ::testing::Values(std::pair{240, 320}, std::pair{480, 640}),
                         [](const auto& info) {
                           return std::to_string(info.param.first) + "x" + std::to_string(info.param.second);
                         });

TEST_F(Searching, AFoundSongIsStoredWithItsCoverAndShown) {
  m_replies = {SongReply("Someone", "")};
  start();
  m_replies = {SongReply("Someone", m_server.url("/art/1.jpg"))};
  identify();
  ASSERT_TRUE(leaves());
  EXPECT_EQ(m_app->screen(), SCREEN_RESULT);
  ASSERT_NE(shownRecord(), nullptr);
  EXPECT_STREQ(shownRecord()->artist, L"Someone");
  EXPECT_EQ(shownRecord()->tagNumber, 0);
  EXPECT_EQ(ReadFile(m_app->home() / "0.jpg"), kCover);
  EXPECT_TRUE(stored("0.dat"));
  EXPECT_EQ(ReadFile(m_app->home() / "nexttag.num"), std::string("\1\0\0\0", 4));
  EXPECT_EQ(arrivalsOf("GET"), 1);
  EXPECT_NE(m_app->log().find("writing album art data file (" + std::to_string(kCover.size()) + " byes)"),
            std::string::npos);

  // Both timers went with the page.
  m_app->wait(SearchingScreen::kTimeoutMs);
  EXPECT_EQ(m_app->screen(), SCREEN_RESULT);
}

TEST_F(Searching, WithoutACoverOrWhenItFailsTheSongIsStillStoredAndShown) {
  SetHttpTimeouts({2000, 300});
  start();
  int tag = 0;
  for (const std::string& art : {std::string("null"), m_server.url("/art/missing.jpg"), m_server.url("/art/slow.jpg"),
                                 "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/art/1.jpg"}) {
    SCOPED_TRACE(art);
    m_replies = {SongReply("Someone", art)};
    identify();
    ASSERT_TRUE(leaves());
    EXPECT_EQ(m_app->screen(), SCREEN_RESULT);
    ASSERT_NE(shownRecord(), nullptr);
    EXPECT_EQ(shownRecord()->albumArt, nullptr);
    EXPECT_TRUE(stored(std::to_string(tag) + ".dat"));
    EXPECT_FALSE(stored(std::to_string(tag) + ".jpg"));
    ++tag;
    m_app->key(VK_ESCAPE);
  }
  EXPECT_EQ(arrivalsOf("GET"), 0) << "no request for the cover \"null\"";
}

TEST_F(Searching, AReplyWithoutASongShowsNotFoundAndStoresNothing) {
  m_replies = {std::string("OK\0\0\0\0NO_MATCH", 14)};
  start();
  identify();
  ASSERT_TRUE(leaves());
  EXPECT_EQ(m_app->screen(), SCREEN_RESULT);
  EXPECT_EQ(shownRecord(), nullptr);
  EXPECT_FALSE(stored("0.dat"));
}

TEST_F(Searching, AServerErrorShowsTheFailurePage) {
  m_status = 500;
  m_replies = {SongReply("Not to be read", "null")};
  start();
  identify();
  ASSERT_TRUE(leaves());
  EXPECT_EQ(m_app->screen(), SCREEN_SEND_FAILED);
  EXPECT_EQ(failureMessage(), "Error sending recording to the server!");
  EXPECT_FALSE(stored("nexttag.num"));
  m_app->key(VK_F1);
  EXPECT_EQ(m_app->screen(), SCREEN_MAIN_MENU);
}

TEST_F(Searching, NinetySecondsWithoutAReplyShowTheFailurePageAndTheLateReplyChangesNothing) {
  m_holdPosts = 1;
  m_replies = {SongReply("Too late", "null")};
  start();
  identify();
  ASSERT_TRUE(posted(1));
  std::weak_ptr<const IdentificationRequest> request = page().request();
  m_app->wait(SearchingScreen::kTimeoutMs - 1);
  EXPECT_EQ(m_app->screen(), SCREEN_SEARCHING);
  m_app->wait(1);
  EXPECT_EQ(m_app->screen(), SCREEN_SEND_FAILED);
  EXPECT_EQ(failureMessage(), "Error sending recording to the server!");

  m_release = true;
  PumpWhile([&] { return !request.expired(); });
  EXPECT_TRUE(request.expired()) << "the worker ended and its handler went with the request";
  m_app->wait(SearchingScreen::kTimeoutMs);
  EXPECT_EQ(m_app->screen(), SCREEN_SEND_FAILED);
  EXPECT_FALSE(stored("nexttag.num")) << "no tag number was used up";
}

TEST_F(Searching, EveryCancelReturnsToTheMenuAndALateReplyChangesNothing) {
  m_holdPosts = 4;
  m_replies = {SongReply("Too late", "null")};
  start();
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
    // None of these cancel.
    m_app->key(VK_RETURN);
    m_app->key(VK_F2);
    m_app->tap(200, 310);
    ASSERT_EQ(m_app->screen(), SCREEN_SEARCHING);
    cancels[i]();
    EXPECT_EQ(m_app->screen(), SCREEN_MAIN_MENU);
  }
  m_release = true;
  for (int i = 0; i < 50; ++i) WaitForPostedMessage(10);
  m_app->wait(SearchingScreen::kTimeoutMs);
  EXPECT_EQ(m_app->screen(), SCREEN_MAIN_MENU) << "no failure page, no result";
  EXPECT_FALSE(stored("nexttag.num"));
}

TEST_F(Searching, AReplyOfAnEarlierVisitIsNotTakenForTheCurrentOne) {
  m_holdPosts = 2;
  m_replies = {SongReply("First", "null"), SongReply("Second", "null")};
  start();
  identify();
  ASSERT_TRUE(posted(1));
  m_app->key(VK_ESCAPE);
  identify();
  ASSERT_TRUE(posted(2));
  // Both replies come now; the first one's message is stale.
  m_release = true;
  ASSERT_TRUE(leaves());
  EXPECT_EQ(m_app->screen(), SCREEN_RESULT);
  ASSERT_NE(shownRecord(), nullptr);
  EXPECT_STREQ(shownRecord()->artist, L"Second");
  EXPECT_EQ(shownRecord()->tagNumber, 0);
  for (int i = 0; i < 50; ++i) WaitForPostedMessage(10);
  EXPECT_EQ(ReadFile(m_app->home() / "nexttag.num"), std::string("\1\0\0\0", 4)) << "one number used";
}

}  // namespace
