// The whole road of an identification: the real melodex-server on a
// loopback port with a small catalogue, and the client on the headless
// backend with a song file as its microphone, on the virtual clock.
#include <gtest/gtest.h>

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include "app/state.h"
#include "audio/audio_recorder.h"
#include "ident/searching_screen.h"
#include "platform/audio/microphone_file.h"
#include "platform/window/headless.h"
#include "platform/window/window.h"
#include "screens/listening_screen.h"
#include "screens/result_screen.h"
#include "tags/history_screen.h"
#include "tests/e2e/catalogue_server.h"
#include "tests/support/headless_app.h"
#include "tests/support/http_test_server.h"
#include "tests/support/silent_port.h"

namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;

const CatalogueServer::Song kFirst{"Band One", "Song One", 11};
const CatalogueServer::Song kSecond{"Band Two", "Song Two", 22};
const CatalogueServer::Song kThird{"Band Three", "Song Three", 33};

class Identify : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_server = new CatalogueServer(MakeTempFolder("melodex-e2e"), {kFirst, kSecond, kThird});
  }
  static void TearDownTestSuite() {
    delete s_server;
    s_server = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(s_server->started()) << "melodex-server did not start"; }
  void TearDown() override {
    m_app.reset();
    ForgetMicrophoneFile();
  }

  void start(const fs::path& microphone, const std::string& endpoint, const std::string& owner = "2422") {
    std::string error;
    ASSERT_TRUE(UseMicrophoneFile(microphone.string(), &error)) << error;
    HeadlessApp::Options options;
    options.settings = "serverURL = \"" + endpoint + "\"\nownerID = \"" + owner + "\"\n";
    m_app = std::make_unique<HeadlessApp>(options);
    ASSERT_TRUE(m_app->started());
    m_app->skipSplash();
  }

  // "ID song!", three seconds, eleven seconds of the microphone file, then
  // the searching page.
  void listen() {
    m_app->key(VK_RETURN);
    recordAndSend();
  }
  // From the listening page on.
  void recordAndSend() {
    ASSERT_EQ(m_app->screen(), SCREEN_LISTENING);
    m_app->wait(ListeningScreen::kWaitMs);
    bool recording = false;
    for (int i = 0; i < 10000 && !recording; ++i) {
      recording = g_pRecorder && g_pRecorder.load()->state() == RECORDING_ACTIVE;
      if (!recording) std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(recording);
    // The recorder reports itself active just before the file starts playing,
    // which counts from the clock's reading at that moment: keep the clock
    // moving until the eleven seconds are in.
    m_app->wait(11000);
    PumpWhile([&] {
      if (m_app->screen() != SCREEN_LISTENING) return false;
      m_app->wait(100);
      return true;
    });
    ASSERT_EQ(m_app->screen(), SCREEN_SEARCHING);
  }
  // Takes in what the send worker posts until the page is left.
  void awaitOutcome() {
    PumpWhile([&] { return m_app->screen() == SCREEN_SEARCHING; });
  }
  const SongRecord* shown() const { return static_cast<ResultScreen*>(g_apScreens[SCREEN_RESULT])->record(); }
  bool stored(const std::string& name) const { return fs::exists(m_app->home() / name); }

  static CatalogueServer* s_server;
  std::unique_ptr<HeadlessApp> m_app;
};

CatalogueServer* Identify::s_server = nullptr;

TEST_F(Identify, ACatalogueSongReachesTheResultPageWithItsCoverAndIsStored) {
  start(s_server->songFile(kSecond), s_server->endpoint(), "Ann & Bob");
  listen();
  awaitOutcome();
  ASSERT_EQ(m_app->screen(), SCREEN_RESULT);
  ASSERT_NE(shown(), nullptr);
  EXPECT_STREQ(shown()->artist, L"Band Two");
  EXPECT_STREQ(shown()->trackTitle, L"Song Two");

  // The cover is the server's picture, byte for byte.
  ASSERT_NE(shown()->albumArt, nullptr);
  const std::string url = shown()->albumArtUrl;
  httplib::Client client(url.substr(0, url.find('/', 7)));
  const auto art = client.Get(url.substr(url.find('/', 7)));
  ASSERT_TRUE(art);
  EXPECT_EQ(ReadFile(m_app->home() / "0.jpg"), art->body);
  EXPECT_TRUE(stored("0.dat"));
  EXPECT_EQ(ReadFile(m_app->home() / "nexttag.num"), std::string("\1\0\0\0", 4));

  // The owner identifier arrived as it was meant, spaces and '&' included.
  const std::string log = s_server->accessLog();
  EXPECT_NE(log.find("\"POST /servlet/QuaverId?id=1017&ownerIdentifier=Ann%20%26%20Bob\" 200"), std::string::npos)
      << log;
}

TEST_F(Identify, ASongOutsideTheCatalogueGivesTheNotFoundPageAndStoresNothing) {
  start(s_server->writeOutsider(4242), s_server->endpoint());
  listen();
  awaitOutcome();
  ASSERT_EQ(m_app->screen(), SCREEN_RESULT);
  EXPECT_EQ(shown(), nullptr);
  EXPECT_FALSE(stored("0.dat"));
}

TEST_F(Identify, AServerThatIsDownGivesTheFailurePage) {
  start(s_server->songFile(kFirst), "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/servlet/QuaverId");
  listen();
  awaitOutcome();
  EXPECT_EQ(m_app->screen(), SCREEN_SEND_FAILED);
  EXPECT_FALSE(stored("nexttag.num"));
}

TEST_F(Identify, AServerThatNeverAnswersGivesTheFailurePageAfterNinetySeconds) {
  SilentPort silent;
  start(s_server->songFile(kFirst), silent.endpoint());
  listen();
  m_app->wait(SearchingScreen::kTimeoutMs - 100);
  EXPECT_EQ(m_app->screen(), SCREEN_SEARCHING);
  m_app->wait(100);
  EXPECT_EQ(m_app->screen(), SCREEN_SEND_FAILED);
  EXPECT_FALSE(stored("nexttag.num"));
}

TEST_F(Identify, EscapeTheLeftSoftKeyAndMelodexCancelEndTheSearchWithoutATrace) {
  SilentPort silent;
  start(s_server->songFile(kFirst), silent.endpoint());
  const std::vector<std::function<void()>> cancels = {
      [&] { m_app->key(VK_ESCAPE); }, [&] { m_app->key(VK_F1); },
      [&] {
        // The running program is found through this test's runtime folder.
        ASSERT_EQ(std::system((std::string(MELODEX_EXE) + " --cancel").c_str()), 0);
        PumpWhile([&] { return m_app->screen() == SCREEN_SEARCHING; });
      }};
  for (std::size_t i = 0; i < cancels.size(); ++i) {
    SCOPED_TRACE(i);
    listen();
    cancels[i]();
    EXPECT_EQ(m_app->screen(), SCREEN_MAIN_MENU);
    m_app->wait(SearchingScreen::kTimeoutMs);
    EXPECT_EQ(m_app->screen(), SCREEN_MAIN_MENU) << "no failure page later";
  }
  EXPECT_FALSE(stored("nexttag.num"));
}

// Identified songs in the history: listed newest first, shown again on the
// result page with their stored cover, and a new identification started
// from the list comes back to it.
TEST_F(Identify, IdentifiedSongsAreListedShownAgainAndAddedToFromTheHistory) {
  start(s_server->songFile(kFirst), s_server->endpoint());
  listen();
  awaitOutcome();
  ASSERT_EQ(m_app->screen(), SCREEN_RESULT);
  m_app->key(VK_F1);  // back to the main menu, then "manage IDs"
  ASSERT_EQ(m_app->screen(), SCREEN_MAIN_MENU);
  m_app->key(VK_DOWN);
  m_app->key(VK_RETURN);
  ASSERT_EQ(m_app->screen(), SCREEN_HISTORY);
  auto& history = *static_cast<HistoryScreen*>(g_apScreens[SCREEN_HISTORY]);
  ASSERT_EQ(history.count(), 1);
  EXPECT_STREQ(history.listed(0).artist, L"Band One");
  EXPECT_STREQ(history.listed(0).trackTitle, L"Song One");
  EXPECT_EQ(m_app->pixel(2, 44), 0xFFFC00u) << "the song's row is highlighted";

  m_app->key(VK_RETURN);
  ASSERT_EQ(m_app->screen(), SCREEN_RESULT);
  ASSERT_NE(shown(), nullptr);
  EXPECT_EQ(shown()->tagNumber, 0);
  EXPECT_STREQ(shown()->trackTitle, L"Song One");
  m_app->key(VK_F1);
  ASSERT_EQ(m_app->screen(), SCREEN_HISTORY);

  // "New ID!" from the Options menu, with another song playing.
  std::string error;
  ASSERT_TRUE(UseMicrophoneFile(s_server->songFile(kSecond).string(), &error)) << error;
  m_app->key(VK_F2);
  m_app->key(VK_UP);
  m_app->key(VK_RETURN);
  recordAndSend();
  awaitOutcome();
  ASSERT_EQ(m_app->screen(), SCREEN_RESULT);
  EXPECT_STREQ(shown()->artist, L"Band Two");
  m_app->key(VK_F1);
  ASSERT_EQ(m_app->screen(), SCREEN_HISTORY);
  ASSERT_EQ(history.count(), 2);
  EXPECT_STREQ(history.listed(0).artist, L"Band Two");
  EXPECT_STREQ(history.listed(1).artist, L"Band One");
  m_app->key(VK_F1);
  EXPECT_EQ(m_app->screen(), SCREEN_MAIN_MENU);
}

// The program itself, as a user or a script runs it: a scripted headless run
// with a catalogue song as its microphone ends on the result page.
TEST(IdentifyProgram, AScriptedHeadlessRunIdentifiesACatalogueSong) {
  const fs::path folder = MakeTempFolder("melodex-e2e-run");
  CatalogueServer server(folder / "server", {kThird});
  ASSERT_TRUE(server.started());
  std::ofstream(folder / "settings.toml") << "serverURL = \"" << server.endpoint() << "\"\n";
  std::ofstream(folder / "script") << "key Enter\nkey Enter\nwait 14100\nwait 1500\nscreen\nshot "
                                   << (folder / "result.png").string() << "\n";
  const std::string command = "XDG_RUNTIME_DIR=" + folder.string() + " " + MELODEX_EXE +
                              " --backend headless --home " + (folder / "home").string() + " --settings " +
                              (folder / "settings.toml").string() + " --mic-file '" +
                              server.songFile(kThird).string() + "' --script " + (folder / "script").string();
  FILE* run = popen(command.c_str(), "r");
  ASSERT_NE(run, nullptr);
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, run)) > 0;) out.append(buffer, n);
  EXPECT_EQ(pclose(run), 0);
  EXPECT_NE(out.find("screen 6\n"), std::string::npos) << out;
  EXPECT_TRUE(fs::exists(folder / "home" / "0.dat"));
  EXPECT_TRUE(fs::exists(folder / "home" / "0.jpg"));
  EXPECT_TRUE(fs::exists(folder / "result.png"));
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

}  // namespace
