#include "tests/support/private_pulseaudio.h"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

std::string PrivatePulseAudio::Missing() {
  for (const char* tool : {"/usr/bin/pulseaudio", "/usr/bin/paplay", "/usr/bin/pactl"})
    if (access(tool, X_OK) != 0) return std::string(tool) + " is not installed (packages pulseaudio, pulseaudio-utils)";
  return {};
}

PrivatePulseAudio::PrivatePulseAudio(const fs::path& root) : m_root(root) {
  for (const char* dir : {"pulse-home", "run"}) fs::create_directories(root / dir);
  m_environment = {"HOME=" + (root / "pulse-home").string(), "XDG_RUNTIME_DIR=" + (root / "run").string(),
                   "PULSE_SERVER=" + server()};
  std::ofstream(root / "default.pa") << "load-module module-native-protocol-unix auth-anonymous=1 socket="
                                     << (root / "run/native").string() << "\nload-module module-null-sink "
                                     << "sink_name=room\nset-default-sink room\nset-default-source room.monitor\n";
  m_server.start({"/usr/bin/pulseaudio", "-n", "-F", (root / "default.pa").string(), "--daemonize=no",
                  "--use-pid-file=no", "--exit-idle-time=20", "--log-target=stderr"},
                 m_environment, root / "pulseaudio.log");
  for (int i = 0; i < 100 && !m_up; ++i) {  // 10 s at most
    ChildProcess info;
    m_up = info.start({"/usr/bin/pactl", "info"}, m_environment, root / "pactl.log") && info.wait() == 0;
    if (!m_up) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

std::string PrivatePulseAudio::log() const {
  std::ifstream in(m_root / "pulseaudio.log");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string PrivatePulseAudio::server() const { return "unix:" + (m_root / "run/native").string(); }
