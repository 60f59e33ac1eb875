// The whole road of an identification against the real melodex-server on a
// loopback port with a small catalogue of generated songs: the client in this
// process on the headless backend with a song file as its microphone, on the
// virtual clock; the program itself as a script runs it; and the program
// recording a song played into a private PulseAudio server, in real time.
#include <httplib.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "platform/audio/microphone_file.h"
#include "tags/history_screen.h"
#include "tests/platform/phone/private_bus.h"
#include "tests/server/synth.h"
#include "tests/support/child_process.h"
#include "tests/support/client_fixture.h"
#include "tests/support/http_test_server.h"
#include "tests/support/private_pulseaudio.h"
#include "tests/support/silent_port.h"

namespace fs = std::filesystem;
namespace synth = melodex::server::test;

namespace {

struct CatalogueSong {
  std::string artist, title;
  unsigned seed;
};

// The first 20 seconds of the generated song of that seed as a WAV file.
void WriteSong(const fs::path& path, unsigned seed) {
  synth::writeFile(path.string(), synth::wavFile(synth::melody(seed, 20.0), 8000));
}

// A temporary folder that goes when the object does; the programs started in
// it are objects declared after it, so they have ended by then.
struct Folder {
  const fs::path path = MakeTempFolder("melodex-e2e");
  ~Folder() { fs::remove_all(path); }
};

// The songs (each with a cover.jpg beside it), indexed and served from a
// folder of their own.
class CatalogueServer {
 public:
  CatalogueServer(const fs::path& folder, const std::vector<CatalogueSong>& songs) : m_folder(folder) {
    for (const CatalogueSong& song : songs) {
      fs::create_directories(songFile(song).parent_path());
      WriteSong(songFile(song), song.seed);
      synth::writeFile((songFile(song).parent_path() / "cover.jpg").string(), synth::makeJpeg(200, 200));
    }
    const std::string db = (m_folder / "db").string();
    ChildProcess index;
    if (!index.start({MELODEX_SERVER_EXE, "--db", db, "index", (m_folder / "music").string()}, {}, m_folder / "log") ||
        index.wait() != 0)
      return;
    m_port = FreePort();
    const std::string listen = "127.0.0.1:" + std::to_string(m_port);
    m_server.start({MELODEX_SERVER_EXE, "--db", db, "serve", "--listen", listen}, {}, m_folder / "log");
    httplib::Client client("127.0.0.1", m_port);
    for (int i = 0; i < 200 && !m_started; ++i) {
      const auto reply = client.Get("/health");
      m_started = reply && reply->status == 200;
      if (!m_started) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
  }
  bool started() const { return m_started; }
  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/servlet/QuaverId"; }
  fs::path songFile(const CatalogueSong& song) const {
    return m_folder / "music" / song.artist / (song.artist + " - " + song.title + ".wav");
  }
  std::string accessLog() const { return ReadFile(m_folder / "log"); }

 private:
  fs::path m_folder;
  int m_port = 0;
  bool m_started = false;
  ChildProcess m_server;
};

// Runs the program to its end with these arguments and extra environment; its status and output.
std::pair<int, std::string> RunMelodex(const fs::path& folder, const std::vector<std::string>& environment,
                                       const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {MELODEX_EXE, "--backend", "headless"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  ChildProcess run;
  const int status = run.start(argv, environment, folder / "melodex.log") ? run.wait() : -1;
  return {status, ReadFile(folder / "melodex.log")};
}

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

TEST_F(Identify, CatalogueSongsAreFoundStoredSharedListedAndShownAgain) {
  const CatalogueSong first{"Band One", "Song One", 11}, second{"Band Two", "Song Two", 22};
  const Folder temp;
  const fs::path& folder = temp.path;
  CatalogueServer server(folder / "server", {first, second});
  ASSERT_TRUE(server.started()) << "melodex-server did not start";
  // The program as a user or a script runs it: a catalogue song as its
  // microphone ends on the result page, and "Share ID" sends it by SMS
  // through a mock ModemManager (where its tools are installed).
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
  const auto [status, out] =
      RunMelodex(folder,
                 {"XDG_RUNTIME_DIR=" + folder.string(),
                  "MELODEX_SYSTEM_BUS_ADDRESS=" + (modems ? bus.address() : "unix:path=/nonexistent")},
                 {"--home", (folder / "home").string(), "--settings", (folder / "settings.toml").string(), "--mic-file",
                  server.songFile(first).string(), "--script", (folder / "script").string()});
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("screen 6\nscreen 7\nscreen 6\nscreen 6\nscreen 3\n"), std::string::npos) << out;
  for (const char* file : {"home/0.dat", "home/0.jpg", "result.png"}) EXPECT_TRUE(fs::exists(folder / file)) << file;
  EXPECT_EQ(out.find("SMS Error") == std::string::npos, modems) << out;
  if (modems) {
    const auto sent = bus.messages(modem);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(std::tuple(sent[0].number, sent[0].text.empty(), sent[0].state), std::tuple("+12025550143", false, 5u));
  }
  // Then in this process, on the virtual clock; the browser fetches the address it is given and notes the status.
  const fs::path browser = folder / "browser", seen = folder / "seen";
  std::ofstream(browser) << "#!/bin/sh\ncurl -so /dev/null -w \"%{http_code} $1\\n\" \"$1\" >>\"${0%/*}/seen\"\n";
  fs::permissions(browser, fs::perms::owner_all);
  start(240, 320, "serverURL = \"" + server.endpoint() + "\"\nbrowserPath = \"" + browser.string() + "\"\n");
  app_->key(VK_RETURN);
  identify(server.songFile(second));
  ASSERT_NE(shown(), nullptr);
  EXPECT_EQ(std::pair(std::wstring(shown()->artist), std::wstring(shown()->trackTitle)),
            std::pair(std::wstring(L"Band Two"), std::wstring(L"Song Two")));
  EXPECT_TRUE(stored("0.jpg")) << "the server's cover";
  // Each link on the page opens the service's own page for the song, one after the other.
  const std::string host = server.endpoint().substr(0, server.endpoint().find("/servlet"));
  for (const std::string page : {"/ringtone/", "/song/", "/wallpaper/", "/picks/"}) {
    app_->key(VK_RETURN);
    PumpWhile([&] { return ReadFile(seen).find(host + page) == std::string::npos; });
    EXPECT_NE(ReadFile(seen).find("200 " + host + page), std::string::npos) << ReadFile(seen);
    app_->key(VK_DOWN);
  }
  // In the history, and shown again from it.
  keys({VK_F1, VK_DOWN, VK_RETURN});
  auto& history = page<HistoryScreen>(SCREEN_HISTORY);
  ASSERT_EQ(history.count(), 1);
  app_->key(VK_RETURN);
  EXPECT_EQ(std::pair(std::wstring(shown()->trackTitle), shown()->tagNumber), std::pair(std::wstring(L"Song Two"), 0));
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
}

// The real microphone: a song played into the room of a private PulseAudio
// server is recorded from its monitor and identified. About 30 s.
TEST(RealMicrophone, ASongPlayedIntoTheRoomIsRecordedAndIdentified) {
  if (const std::string missing = PrivatePulseAudio::Missing(); !missing.empty()) GTEST_SKIP() << missing;
  const Folder temp;
  const fs::path& root = temp.path;
  for (const char* dir : {"home", "client-run"}) fs::create_directories(root / dir);
  const PrivatePulseAudio room(root / "pulse");
  ASSERT_TRUE(room.up()) << room.log();
  const std::vector<std::string>& pulse = room.environment();
  ChildProcess player;
  const CatalogueSong played{"Room Band", "Kitchen Radio", 41}, other{"Other Band", "Other Song", 42};
  CatalogueServer server(root / "server", {played, other});
  ASSERT_TRUE(server.started());
  std::ofstream(root / "settings.toml") << "serverURL = \"" << server.endpoint() << "\"\n";
  // Splash, "ID song!", 3 s, 11 s of recording and the capture's latency
  // (about 1.5 s, more on a busy machine), then the search. The 20-second
  // song starts 4.5 s in, so that it plays all through the recording.
  std::ofstream(root / "script") << "wait 3000\nkey Enter\nwait 24000\nscreen\n";
  std::thread playing([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(4500));
    player.start({"/usr/bin/paplay", "--device=room", server.songFile(played).string()}, pulse, root / "paplay.log");
  });
  // The client has an instance socket of its own.
  const auto [status, out] = RunMelodex(
      root, {pulse[0], pulse[2], "SDL_AUDIODRIVER=pulseaudio", "XDG_RUNTIME_DIR=" + (root / "client-run").string()},
      {"--audio", "sdl", "--home", (root / "home").string(), "--settings", (root / "settings.toml").string(),
       "--script", (root / "script").string()});
  playing.join();
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("AudioRecorder::recordAudio: beginning recording"), std::string::npos) << out;
  EXPECT_NE(out.find("screen 6"), std::string::npos) << out << server.accessLog();
  const std::string tag = ReadFile(root / "home/0.dat");
  for (const std::string name : {"Room Band", "Kitchen Radio"}) {
    std::string utf16;  // as the tag file stores names
    for (char c : name) utf16 += {c, '\0'};
    EXPECT_NE(tag.find(utf16), std::string::npos) << out << server.accessLog();
  }
}

}  // namespace
