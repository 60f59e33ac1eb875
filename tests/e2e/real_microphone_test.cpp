// The real microphone path, end to end: a private PulseAudio server with a
// null sink whose monitor is the default source, a catalogue song played
// into that sink, and the real melodex (headless window, SDL audio) recording
// it and getting it identified by the real melodex-server on a loopback port.
// This one runs in real time: about 30 seconds.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "tests/e2e/catalogue_server.h"
#include "tests/support/headless_app.h"

namespace fs = std::filesystem;

namespace {

class RealMicrophone : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"/usr/bin/pulseaudio", "/usr/bin/paplay", "/usr/bin/pactl"})
      if (access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is not installed (packages pulseaudio, pulseaudio-utils)";
    m_root = MakeTempFolder("melodex-mic");
    for (const char* dir : {"home", "pulse-home", "run", "client-run"}) fs::create_directories(m_root / dir);
    // A daemon in private folders, reached only through its socket in run/ (CI
    // runs as root, where it warns and goes on); should the test die, it ends
    // by itself 20 s after its last client.
    m_pulse = m_root / "run" / "native";
    m_environment = "env HOME='" + (m_root / "pulse-home").string() + "' XDG_RUNTIME_DIR='" +
                    (m_root / "run").string() + "' PULSE_SERVER='unix:" + m_pulse.string() + "' ";
    std::ofstream(m_root / "default.pa") << "load-module module-native-protocol-unix auth-anonymous=1 socket="
                                         << m_pulse.string() << "\nload-module module-null-sink sink_name=room\n"
                                         << "set-default-sink room\nset-default-source room.monitor\n";
    background("pulseaudio -n -F '" + (m_root / "default.pa").string() +
                   "' --daemonize=no --use-pid-file=no --exit-idle-time=20 --log-target=stderr",
               "pulseaudio");
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {  // 10 s at most
      up = std::system((m_environment + "pactl info >/dev/null 2>&1").c_str()) == 0;
      if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(up) << ReadFile(m_root / "pulseaudio.log");
  }
  void TearDown() override {
    for (const char* name : {"paplay", "pulseaudio"})
      if (const std::string pid = ReadFile(m_root / (std::string(name) + ".pid")); !pid.empty())
        kill(std::stoi(pid), SIGTERM);
    if (!m_root.empty()) fs::remove_all(m_root);
  }
  // Starts a command of the PulseAudio environment that runs on; its pid goes to NAME.pid.
  void background(const std::string& command, const std::string& name) const {
    const std::string log = (m_root / (name + ".log")).string(), pid = (m_root / (name + ".pid")).string();
    ASSERT_EQ(std::system((m_environment + command + " >'" + log + "' 2>&1 & echo $! >'" + pid + "'").c_str()), 0);
  }

  fs::path m_root, m_pulse;
  std::string m_environment;
};

TEST_F(RealMicrophone, ASongPlayedIntoTheRoomIsRecordedAndIdentified) {
  const CatalogueServer::Song played{"Room Band", "Kitchen Radio", 41}, other{"Other Band", "Other Song", 42};
  CatalogueServer server(m_root / "server", {played, other});
  ASSERT_TRUE(server.started());
  std::ofstream(m_root / "settings.toml") << "serverURL = \"" << server.endpoint() << "\"\n";
  // Splash, "ID song!", 3 s, 11 s of recording and the capture's latency
  // (about 1.5 s, more on a busy machine), then the search.
  std::ofstream(m_root / "script.txt") << "wait 3000\nkey Enter\nwait 24000\nscreen\n";
  // The client has an instance socket of its own.
  FILE* client = popen((m_environment + "SDL_AUDIODRIVER=pulseaudio XDG_RUNTIME_DIR='" +
                        (m_root / "client-run").string() + "' " + MELODEX_EXE + " --backend headless --audio sdl " +
                        "--home '" + (m_root / "home").string() + "' --settings '" +
                        (m_root / "settings.toml").string() + "' --script '" + (m_root / "script.txt").string() +
                        "' 2>&1")
                           .c_str(),
                       "r");
  ASSERT_NE(client, nullptr);
  // The 20-second song starts 4.5 s in, so that it plays all through the
  // recording (from about 6.5 s to 19 s).
  std::this_thread::sleep_for(std::chrono::milliseconds(4500));
  background("paplay --device=room '" + server.songFile(played).string() + "'", "paplay");
  std::string output;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, client)) > 0;) output.append(buffer, n);
  EXPECT_EQ(pclose(client), 0) << output;
  EXPECT_NE(output.find("AudioRecorder::recordAudio: beginning recording"), std::string::npos) << output;
  EXPECT_NE(output.find("screen 6"), std::string::npos) << output << server.accessLog();
  const std::string tag = ReadFile(m_root / "home" / "0.dat");
  for (const std::string name : {"Room Band", "Kitchen Radio"}) {
    std::string utf16;  // as the tag file stores names
    for (char c : name) utf16 += {c, '\0'};
    EXPECT_NE(tag.find(utf16), std::string::npos) << output << server.accessLog();
  }
}

}  // namespace
