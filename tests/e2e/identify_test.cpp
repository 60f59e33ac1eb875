// The whole road of an identification: the real melodex-server on a
// loopback port with a small catalogue, and the client on the headless
// backend with a song file as its microphone, on the virtual clock; then the
// program itself as a script runs it.
#include <gtest/gtest.h>

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "audio/audio_recorder.h"
#include "ident/searching_screen.h"
#include "platform/audio/microphone_file.h"
#include "screens/listening_screen.h"
#include "screens/result_screen.h"
#include "tags/history_screen.h"
#include "tests/e2e/catalogue_server.h"
#include "tests/platform/phone/private_bus.h"
#include "tests/support/client_fixture.h"
#include "tests/support/http_test_server.h"
#include "tests/support/silent_port.h"

namespace fs = std::filesystem;

namespace {

const CatalogueServer::Song kFirst{"Band One", "Song One", 11};
const CatalogueServer::Song kSecond{"Band Two", "Song Two", 22};
const CatalogueServer::Song kThird{"Band Three", "Song Three", 33};

class Identify : public ClientTest {
 protected:
  void TearDown() override {
    ClientTest::TearDown();
    ForgetMicrophoneFile();
  }
  void play(const fs::path& song) const {
    std::string error;
    ASSERT_TRUE(UseMicrophoneFile(song.string(), &error)) << error;
  }
  void startFor(const std::string& endpoint, const std::string& owner = "2422") {
    start(240, 320, "serverURL = \"" + endpoint + "\"\nownerID = \"" + owner + "\"\n");
  }
  // From the listening page on: three seconds, eleven seconds of the
  // microphone file, the searching page, and its outcome unless `outcome` is false.
  void recordAndSend(bool outcome = true) {
    ASSERT_EQ(app_->screen(), SCREEN_LISTENING);
    app_->wait(ListeningScreen::kWaitMs);
    for (int i = 0; i < 10000 && !(g_pRecorder && g_pRecorder.load()->state() == RECORDING_ACTIVE); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // The file plays from the clock's reading when capture starts, just after
    // the recorder reports itself active: keep the clock moving until it is in.
    app_->wait(11000);
    PumpWhile([&] {
      if (app_->screen() != SCREEN_LISTENING) return false;
      app_->wait(100);
      return true;
    });
    ASSERT_EQ(app_->screen(), SCREEN_SEARCHING);
    if (outcome) PumpWhile([&] { return app_->screen() == SCREEN_SEARCHING; });
  }
  const SongRecord* shown() const { return page<ResultScreen>(SCREEN_RESULT).record(); }
  bool stored(const std::string& name) const { return fs::exists(app_->home() / name); }
};

TEST_F(Identify, CatalogueSongsAreFoundStoredListedAndShownAgain) {
  CatalogueServer server(MakeTempFolder("melodex-e2e"), {kFirst, kSecond});
  ASSERT_TRUE(server.started()) << "melodex-server did not start";
  play(server.songFile(kSecond));
  startFor(server.endpoint(), "Ann & Bob");
  app_->key(VK_RETURN);
  recordAndSend();
  ASSERT_EQ(app_->screen(), SCREEN_RESULT);
  ASSERT_NE(shown(), nullptr);
  EXPECT_STREQ(shown()->artist, L"Band Two");
  EXPECT_STREQ(shown()->trackTitle, L"Song Two");
  // The cover is the server's picture, byte for byte.
  const std::string url = shown()->albumArtUrl;
  const auto art = httplib::Client(url.substr(0, url.find('/', 7))).Get(url.substr(url.find('/', 7)));
  ASSERT_TRUE(art);
  EXPECT_EQ(ReadFile(app_->home() / "0.jpg"), art->body);
  EXPECT_TRUE(stored("0.dat"));
  // The owner identifier arrived as it was meant, spaces and '&' included.
  EXPECT_NE(server.accessLog().find("\"POST /servlet/QuaverId?id=1017&ownerIdentifier=Ann%20%26%20Bob\" 200"),
            std::string::npos)
      << server.accessLog();

  // In the history, and shown again from it.
  app_->key(VK_F1);
  app_->key(VK_DOWN);
  app_->key(VK_RETURN);
  ASSERT_EQ(app_->screen(), SCREEN_HISTORY);
  auto& history = page<HistoryScreen>(SCREEN_HISTORY);
  ASSERT_EQ(history.count(), 1);
  EXPECT_STREQ(history.listed(0).trackTitle, L"Song Two");
  app_->key(VK_RETURN);
  ASSERT_EQ(app_->screen(), SCREEN_RESULT);
  EXPECT_EQ(shown()->tagNumber, 0);
  app_->key(VK_F1);

  // "New ID!" from the list: a song outside the catalogue is not found and not stored...
  play(server.writeOutsider(4242));
  for (const UINT vk : {VK_F2, VK_UP, VK_RETURN}) app_->key(vk);
  recordAndSend();
  ASSERT_EQ(app_->screen(), SCREEN_RESULT);
  EXPECT_EQ(shown(), nullptr);
  EXPECT_FALSE(stored("1.dat"));
  app_->key(VK_F1);
  ASSERT_EQ(app_->screen(), SCREEN_HISTORY);

  // ...and another catalogue song joins the list, newest first.
  play(server.songFile(kFirst));
  for (const UINT vk : {VK_F2, VK_UP, VK_RETURN}) app_->key(vk);
  recordAndSend();
  EXPECT_STREQ(shown()->artist, L"Band One");
  app_->key(VK_F1);
  ASSERT_EQ(history.count(), 2);
  EXPECT_EQ(history.listed(0).tagNumber, 2);
  EXPECT_STREQ(history.listed(1).artist, L"Band Two");
  app_->key(VK_F1);
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
}

TEST_F(Identify, ADownOrSilentServerOrACancelEndsTheSearchWithoutATrace) {
  const fs::path folder = MakeTempFolder("melodex-e2e-fail");
  WriteSong(folder / "song.wav", kFirst.seed);
  play(folder / "song.wav");
  startFor("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/servlet/QuaverId");
  app_->key(VK_RETURN);
  recordAndSend();
  EXPECT_EQ(app_->screen(), SCREEN_SEND_FAILED);

  SilentPort silent;
  std::ofstream(app_->root() / "settings.toml") << "serverURL = \"" << silent.endpoint() << "\"\n";
  app_->key(VK_F1);
  app_->key(VK_RETURN);
  recordAndSend(false);
  app_->wait(SearchingScreen::kTimeoutMs - 100);
  EXPECT_EQ(app_->screen(), SCREEN_SEARCHING);
  app_->wait(100);
  EXPECT_EQ(app_->screen(), SCREEN_SEND_FAILED);

  app_->key(VK_F1);
  for (const char* how : {"Escape", "SoftLeft", "melodex --cancel"}) {
    SCOPED_TRACE(how);
    app_->key(VK_RETURN);
    recordAndSend(false);
    if (how[0] == 'E') app_->key(VK_ESCAPE);
    if (how[0] == 'S') app_->key(VK_F1);
    if (how[0] == 'm') {
      // The running program is found through this test's runtime folder.
      ASSERT_EQ(std::system((std::string(MELODEX_EXE) + " --cancel").c_str()), 0);
      PumpWhile([&] { return app_->screen() == SCREEN_SEARCHING; });
    }
    EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
    app_->wait(SearchingScreen::kTimeoutMs);
    EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU) << "no failure page later";
  }
  EXPECT_FALSE(stored("nexttag.num"));
  fs::remove_all(folder);
}

// The program as a user or a script runs it: a catalogue song as its
// microphone ends on the result page, and "Share ID" sends it by SMS
// through a mock ModemManager (where its tools are installed).
TEST(IdentifyProgram, AScriptedRunIdentifiesACatalogueSongAndSharesIt) {
  const fs::path folder = MakeTempFolder("melodex-e2e-run");
  CatalogueServer server(folder / "server", {kThird});
  ASSERT_TRUE(server.started());
  PrivateBus bus;
  std::string error, modem;
  const bool modems = PrivateBus::MissingTools().empty();
  if (modems) {
    ASSERT_TRUE(bus.startWithModemManager(&error)) << error;
    ASSERT_TRUE(bus.addModem(true, "sends", &modem));
  }
  std::ofstream(folder / "settings.toml") << "serverURL = \"" << server.endpoint() << "\"\n";
  // Identify; "Share ID" (one Up from the first item), a number, "Share ID!";
  // then "back" twice: the first stays on the result page.
  std::ofstream(folder / "script") << "key Enter\nkey Enter\nwait 14100\nwait 1500\nscreen\nshot "
                                   << (folder / "result.png").string() << "\nkey Up\nkey Enter\nscreen\n"
                                   << "key 2\nkey 0\nkey 2\nkey 5\nkey 5\nkey 5\nkey 0\nkey 1\nkey 4\nkey 3\n"
                                   << "key SoftRight\nscreen\nkey SoftLeft\nscreen\nkey SoftLeft\nscreen\n";
  const std::string command = "XDG_RUNTIME_DIR=" + folder.string() + " MELODEX_SYSTEM_BUS_ADDRESS='" +
                              (modems ? bus.address() : "unix:path=/nonexistent") + "' " + MELODEX_EXE +
                              " --backend headless --home " + (folder / "home").string() + " --settings " +
                              (folder / "settings.toml").string() + " --mic-file '" +
                              server.songFile(kThird).string() + "' --script " + (folder / "script").string();
  FILE* run = popen(command.c_str(), "r");
  ASSERT_NE(run, nullptr);
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, run)) > 0;) out.append(buffer, n);
  EXPECT_EQ(pclose(run), 0);
  EXPECT_NE(out.find("screen 6\nscreen 7\nscreen 6\nscreen 6\nscreen 3\n"), std::string::npos) << out;
  EXPECT_TRUE(fs::exists(folder / "home" / "0.dat"));
  EXPECT_TRUE(fs::exists(folder / "home" / "0.jpg"));
  EXPECT_TRUE(fs::exists(folder / "result.png"));
  EXPECT_EQ(out.find("SMS Error") == std::string::npos, modems) << out;
  if (modems) {
    const auto sent = bus.messages(modem);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].number, "+12025550143");
    EXPECT_FALSE(sent[0].text.empty());
    EXPECT_EQ(sent[0].state, 5u);
  }
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

}  // namespace
