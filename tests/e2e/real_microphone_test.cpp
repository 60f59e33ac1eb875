// The real microphone path, end to end: a private PulseAudio server with a
// null sink whose monitor is the default source, a catalogue song played
// into that sink, and the real melodex (headless window, SDL audio) recording
// it and getting it identified by the real melodex-server on a loopback port.
// This one runs in real time: about 30 seconds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "tests/e2e/catalogue_server.h"
#include "tests/support/child_process.h"
#include "tests/support/headless_app.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kPulseAudio = "/usr/bin/pulseaudio";
constexpr const char* kPaplay = "/usr/bin/paplay";
constexpr const char* kPactl = "/usr/bin/pactl";
const CatalogueServer::Song kPlayed{"Room Band", "Kitchen Radio", 41};
const CatalogueServer::Song kOther{"Other Band", "Other Song", 42};

std::string MissingTools() {
  if (access(kPulseAudio, X_OK) != 0) return "pulseaudio is not installed (Debian package pulseaudio)";
  if (access(kPaplay, X_OK) != 0 || access(kPactl, X_OK) != 0)
    return "paplay and pactl are not installed (Debian package pulseaudio-utils)";
  return {};
}

// UTF-16LE bytes of ASCII text, as the tag file stores names.
std::string Utf16(const std::string& text) {
  std::string bytes;
  for (char c : text) bytes += std::string{c, '\0'};
  return bytes;
}

class RealMicrophone : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string missing = MissingTools(); !missing.empty()) GTEST_SKIP() << missing;
    m_root = MakeTempFolder("melodex-mic");
    ASSERT_FALSE(m_root.empty());
    for (const char* dir : {"home", "pulse-home", "run", "client-run"}) fs::create_directories(m_root / dir);
  }
  void TearDown() override {
    m_player.stop();
    m_pulse.stop();
    if (!m_root.empty()) fs::remove_all(m_root);
  }

  // PulseAudio as a user daemon in private folders (CI runs as root, where it
  // warns and goes on), reachable only through its socket in run/. Should the
  // test die, the daemon ends by itself 20 s after its last client.
  void startPulseAudio() {
    std::ofstream(m_root / "default.pa") << "load-module module-native-protocol-unix auth-anonymous=1 socket="
                                         << (m_root / "run" / "native").string() << "\n"
                                         << "load-module module-null-sink sink_name=room\n"
                                         << "set-default-sink room\n"
                                         << "set-default-source room.monitor\n";
    ASSERT_TRUE(m_pulse.start({kPulseAudio, "-n", "-F", (m_root / "default.pa").string(), "--daemonize=no",
                               "--use-pid-file=no", "--exit-idle-time=20", "--log-target=stderr"},
                              pulseEnvironment(), m_root / "pulseaudio.log"));
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {  // 10 s at most
      up = RunProgram({kPactl, "info"}, pulseEnvironment(), m_root / "pactl.log") == 0;
      if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(up) << ReadFile(m_root / "pulseaudio.log");
  }

  std::vector<std::string> pulseEnvironment() const {
    return {"HOME=" + (m_root / "pulse-home").string(), "XDG_RUNTIME_DIR=" + (m_root / "run").string(),
            "PULSE_SERVER=unix:" + (m_root / "run" / "native").string()};
  }

  fs::path m_root;
  ChildProcess m_pulse;
  ChildProcess m_player;
};

TEST_F(RealMicrophone, ASongPlayedIntoTheRoomIsRecordedAndIdentified) {
  ASSERT_NO_FATAL_FAILURE(startPulseAudio());
  CatalogueServer server(m_root / "server", {kPlayed, kOther});
  ASSERT_TRUE(server.started());

  std::ofstream(m_root / "settings.toml") << "serverURL = \"" << server.endpoint() << "\"\n";
  // Splash, "ID song!", 3 s, 11 s of recording and the capture's latency (about 1.5 s, more
  // on a busy machine), then the search.
  std::ofstream(m_root / "script.txt") << "wait 3000\nkey Enter\nwait 24000\nscreen\n";
  std::vector<std::string> environment = pulseEnvironment();
  environment.push_back("SDL_AUDIODRIVER=pulseaudio");
  environment.push_back("XDG_RUNTIME_DIR=" + (m_root / "client-run").string());  // the client's own instance socket
  ChildProcess client;
  ASSERT_TRUE(client.start({MELODEX_EXE, "--backend", "headless", "--audio", "sdl", "--home",
                            (m_root / "home").string(), "--settings", (m_root / "settings.toml").string(),
                            "--script", (m_root / "script.txt").string()},
                           environment, m_root / "client.log"));
  // The 20-second song starts 4.5 s in, so that it plays all through the
  // recording (from about 6.5 s to 19 s).
  std::this_thread::sleep_for(std::chrono::milliseconds(4500));
  ASSERT_TRUE(m_player.start({kPaplay, "--device=room", server.songFile(kPlayed).string()}, pulseEnvironment(),
                             m_root / "paplay.log"));
  const int status = client.wait();
  const std::string output = ReadFile(m_root / "client.log");
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("AudioRecorder::recordAudio: beginning recording"), std::string::npos) << output;
  EXPECT_NE(output.find("screen 6"), std::string::npos) << output << server.accessLog();

  const std::string tag = ReadFile(m_root / "home" / "0.dat");
  EXPECT_NE(tag.find(Utf16("Room Band")), std::string::npos) << output << server.accessLog();
  EXPECT_NE(tag.find(Utf16("Kitchen Radio")), std::string::npos);
}

}  // namespace
