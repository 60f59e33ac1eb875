// The whole road of an identification: the real melodex-server on a
// loopback port with a small catalogue, and the client on the headless
// backend with a song file as its microphone, on the virtual clock; then the
// program itself as a script runs it.
#include <httplib.h>

#include <cstdio>
#include <fstream>

#include "platform/audio/microphone_file.h"
#include "tags/history_screen.h"
#include "tests/e2e/catalogue_server.h"
#include "tests/platform/phone/private_bus.h"
#include "tests/support/client_fixture.h"
#include "tests/support/silent_port.h"

namespace fs = std::filesystem;

namespace {

class Identify : public ClientTest {
 protected:
  void TearDown() override {
    ClientTest::TearDown();
    ForgetMicrophoneFile();
  }
  // With this song as the microphone: three seconds, eleven seconds of the
  // file, the searching page and, unless `outcome` is false, its outcome.
  void identify(const fs::path& song, bool outcome = true) {
    std::string error;
    ASSERT_TRUE(UseMicrophoneFile(song.string(), &error)) << error;
    ASSERT_EQ(app_->screen(), SCREEN_LISTENING);
    app_->wait(3000);
    ASSERT_NO_FATAL_FAILURE(awaitRecorder());
    // The file plays from the clock's reading when capture starts, just after
    // the recorder reports itself active: keep the clock moving until it is in.
    app_->wait(11000);
    PumpWhile([&] { return app_->screen() == SCREEN_LISTENING && (app_->wait(100), true); });
    ASSERT_EQ(app_->screen(), SCREEN_SEARCHING);
    if (outcome) PumpWhile([&] { return app_->screen() == SCREEN_SEARCHING; });
  }
};

TEST_F(Identify, CatalogueSongsAreFoundStoredListedAndShownAgain) {
  const CatalogueServer::Song first{"Band One", "Song One", 11}, second{"Band Two", "Song Two", 22};
  const fs::path folder = MakeTempFolder("melodex-e2e");
  CatalogueServer server(folder / "server", {first, second});
  ASSERT_TRUE(server.started()) << "melodex-server did not start";
  start(240, 320, "serverURL = \"" + server.endpoint() + "\"\nownerID = \"Ann & Bob\"\n");
  app_->key(VK_RETURN);
  identify(server.songFile(second));
  ASSERT_NE(shown(), nullptr);
  EXPECT_STREQ(shown()->artist, L"Band Two");
  EXPECT_STREQ(shown()->trackTitle, L"Song Two");
  // The cover is the server's picture, byte for byte; the owner identifier
  // arrived as it was meant, spaces and '&' included.
  const std::string url = shown()->albumArtUrl;
  const auto art = httplib::Client(url.substr(0, url.find('/', 7))).Get(url.substr(url.find('/', 7)));
  ASSERT_TRUE(art);
  EXPECT_EQ(ReadFile(app_->home() / "0.jpg"), art->body);
  EXPECT_NE(server.accessLog().find("\"POST /servlet/QuaverId?id=1017&ownerIdentifier=Ann%20%26%20Bob\" 200"),
            std::string::npos)
      << server.accessLog();

  // In the history, and shown again from it.
  keys({VK_F1, VK_DOWN, VK_RETURN});
  auto& history = page<HistoryScreen>(SCREEN_HISTORY);
  ASSERT_EQ(history.count(), 1);
  app_->key(VK_RETURN);
  EXPECT_STREQ(shown()->trackTitle, L"Song Two");
  EXPECT_EQ(shown()->tagNumber, 0);
  // "New ID!" from the list: a song outside the catalogue is not found and
  // not stored, another catalogue song joins the list, newest first.
  WriteSong(folder / "outsider.wav", 4242);
  keys({VK_F1, VK_F2, VK_UP, VK_RETURN});
  identify(folder / "outsider.wav");
  EXPECT_EQ(std::pair(app_->screen(), shown()), std::pair(SCREEN_RESULT, static_cast<const SongRecord*>(nullptr)));
  EXPECT_FALSE(stored("1.dat"));
  keys({VK_F1, VK_F2, VK_UP, VK_RETURN});
  identify(server.songFile(first));
  EXPECT_STREQ(shown()->artist, L"Band One");
  app_->key(VK_F1);
  ASSERT_EQ(history.count(), 2);
  EXPECT_EQ(std::pair(history.listed(0).tagNumber, history.listed(1).tagNumber), std::pair(2, 0));

  // "melodex --cancel", from outside, ends a search that waits on a silent
  // server: back to the main menu, and no failure page later.
  SilentPort silent;
  std::ofstream(app_->root() / "settings.toml") << "serverURL = \"" << silent.endpoint() << "\"\n";
  keys({VK_F2, VK_UP, VK_RETURN});
  identify(server.songFile(first), false);
  // The running program is found through this test's runtime folder.
  ASSERT_EQ(std::system((std::string(MELODEX_EXE) + " --cancel").c_str()), 0);
  PumpWhile([&] { return app_->screen() == SCREEN_SEARCHING; });
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
  app_->wait(90000);
  EXPECT_EQ(app_->screen(), SCREEN_MAIN_MENU);
  EXPECT_EQ(ReadFile(app_->home() / "nexttag.num"), std::string("\3\0\0\0", 4));
  fs::remove_all(folder);
}

// The program as a user or a script runs it: a catalogue song as its
// microphone ends on the result page, and "Share ID" sends it by SMS
// through a mock ModemManager (where its tools are installed).
TEST(IdentifyProgram, AScriptedRunIdentifiesACatalogueSongAndSharesIt) {
  const fs::path folder = MakeTempFolder("melodex-e2e-run");
  const CatalogueServer::Song song{"Band Three", "Song Three", 33};
  CatalogueServer server(folder / "server", {song});
  ASSERT_TRUE(server.started());
  PrivateBus bus;
  std::string error, modem;
  const bool modems = PrivateBus::MissingTools().empty();
  ASSERT_TRUE(!modems || bus.startWithModemManager(&error)) << error;
  ASSERT_TRUE(!modems || bus.addModem(true, "sends", &modem));
  std::ofstream(folder / "settings.toml") << "serverURL = \"" << server.endpoint() << "\"\n";
  // Identify; "Share ID" (one Up from the first item), a number, "Share ID!";
  // then "back" twice: the first stays on the result page.
  std::ofstream(folder / "script") << "key Enter\nkey Enter\nwait 14100\nwait 1500\nscreen\nshot "
                                   << (folder / "result.png").string() << "\nkey Up\nkey Enter\nscreen\n"
                                   << "key 2\nkey 0\nkey 2\nkey 5\nkey 5\nkey 5\nkey 0\nkey 1\nkey 4\nkey 3\n"
                                   << "key SoftRight\nscreen\nkey SoftLeft\nscreen\nkey SoftLeft\nscreen\n";
  FILE* run = popen(("XDG_RUNTIME_DIR=" + folder.string() + " MELODEX_SYSTEM_BUS_ADDRESS='" +
                     (modems ? bus.address() : "unix:path=/nonexistent") + "' " + MELODEX_EXE +
                     " --backend headless --home " + (folder / "home").string() + " --settings " +
                     (folder / "settings.toml").string() + " --mic-file '" + server.songFile(song).string() +
                     "' --script " + (folder / "script").string())
                        .c_str(),
                    "r");
  ASSERT_NE(run, nullptr);
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, run)) > 0;) out.append(buffer, n);
  EXPECT_EQ(pclose(run), 0);
  EXPECT_NE(out.find("screen 6\nscreen 7\nscreen 6\nscreen 6\nscreen 3\n"), std::string::npos) << out;
  for (const char* file : {"home/0.dat", "home/0.jpg", "result.png"}) EXPECT_TRUE(fs::exists(folder / file)) << file;
  EXPECT_EQ(out.find("SMS Error") == std::string::npos, modems) << out;
  if (modems) {
    const auto sent = bus.messages(modem);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(std::tuple(sent[0].number, sent[0].text.empty(), sent[0].state), std::tuple("+12025550143", false, 5u));
  }
  fs::remove_all(folder);
}

}  // namespace
