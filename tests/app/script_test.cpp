// The melodex command itself: scripted headless runs, exit codes, and the
// message it gives without a display.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/headless_app.h"

namespace fs = std::filesystem;

namespace {

struct RunResult {
  int status = -1;
  std::string output;  // standard output and standard error together
};

class ScriptRun : public ::testing::Test {
 protected:
  void SetUp() override {
    m_root = MakeTempFolder("melodex-script");
    fs::create_directories(m_root / "home");
  }
  void TearDown() override { fs::remove_all(m_root); }

  RunResult runScript(const std::string& script, const std::string& extra = "--backend headless") {
    const fs::path file = m_root / "script.txt";
    std::ofstream(file) << script;
    const std::string command = "env XDG_RUNTIME_DIR=" + m_root.string() + " " + MELODEX_BINARY + " " + extra +
                                " --home " + (m_root / "home").string() + " --settings " +
                                (m_root / "none.toml").string() + " --script " + file.string() + " 2>&1";
    RunResult result;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
  }

  fs::path m_root;
};

TEST_F(ScriptRun, WalksThroughTheMenuAndReportsScreens) {
  const RunResult run = runScript(
      "screen\n"
      "wait 2999\n"
      "screen\n"
      "wait 1\n"
      "screen\n"
      "# help me out\n"
      "key Down\nkey Down\nkey Enter\n"
      "screen\n"
      "shot " + (m_root / "help.png").string() + "\n"
      "key SoftLeft\n"
      "screen\n");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("screen 1\nscreen 1\nscreen 3\nscreen 9\nscreen 3\n"), std::string::npos) << run.output;
  EXPECT_GT(fs::file_size(m_root / "help.png"), 100u);
}

TEST_F(ScriptRun, ExitFromTheMenuEndsWithStatusZero) {
  const RunResult run = runScript("key Enter\nkey Up\nkey Enter\nscreen\n");
  EXPECT_EQ(run.status, 0) << run.output;
  // The script stops when the program ends: "screen" never runs.
  EXPECT_EQ(run.output.find("screen 12"), std::string::npos) << run.output;
  EXPECT_NE(ReadFile(m_root / "home" / "log.txt").find("Melodex starting up"), std::string::npos);
}

TEST_F(ScriptRun, ABadLineStopsWithItsNumberAndStatusTwo) {
  RunResult run = runScript("wait 10\n\nfrobnicate 3\nkey Enter\n");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.output.find(":3: unknown command 'frobnicate'"), std::string::npos) << run.output;

  run = runScript("key NoSuchKey\n");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.output.find(":1: key needs"), std::string::npos) << run.output;

  run = runScript("tap 10\n");
  EXPECT_EQ(run.status, 2);
  run = runScript("wait -5\n");
  EXPECT_EQ(run.status, 2);
  run = runScript("resize 100 100\n");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.output.find(":1: resize needs"), std::string::npos) << run.output;
  run = runScript("", "--backend headless --audio loud");
  EXPECT_NE(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("--audio"), std::string::npos) << run.output;
}

TEST_F(ScriptRun, AutoSizeWithoutADisplayKeepsTheDefaultAndResizeRefits) {
  const RunResult run = runScript("wait 3000\nresize 480 640\nshot " + (m_root / "menu.png").string() + "\n",
                                  "--backend headless --size auto --fast");
  EXPECT_EQ(run.status, 0) << run.output;
  std::ifstream png(m_root / "menu.png", std::ios::binary);
  unsigned char header[24] = {};
  png.read(reinterpret_cast<char*>(header), sizeof header);
  // The PNG's IHDR: width and height, big-endian, at bytes 16 and 20.
  EXPECT_EQ(header[18] << 8 | header[19], 480);
  EXPECT_EQ(header[22] << 8 | header[23], 640);
}

TEST_F(ScriptRun, WithoutADisplayTheWindowBackendSaysSoAndFails) {
  const std::string command = std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u SDL_VIDEODRIVER ") +
                              "XDG_RUNTIME_DIR=" + m_root.string() + " " + MELODEX_BINARY + " --backend sdl --home " +
                              (m_root / "home").string() + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  std::string output;
  char buffer[1024];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  const int status = pclose(pipe);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 0);
  EXPECT_NE(output.find("display"), std::string::npos) << output;
  EXPECT_NE(output.find("--backend headless"), std::string::npos) << output;
}

// Scripts ask this before they choose between the microphone and a --mic-file.
TEST_F(ScriptRun, CheckMicrophoneTellsWhetherTheDefaultCaptureDeviceOpens) {
  const auto check = [&](const std::string& driver) {
    const std::string command = "env SDL_AUDIODRIVER=" + driver + " " + MELODEX_BINARY + " --check-microphone 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    RunResult result;
    char buffer[1024];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
  };
  // SDL's dummy driver has a capture device that hears silence.
  RunResult run = check("dummy");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("microphone found (SDL audio driver dummy)"), std::string::npos) << run.output;

  run = check("no-such-driver");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("melodex: no microphone ("), std::string::npos) << run.output;
}

TEST_F(ScriptRun, BadSizesAreRefused) {
  const RunResult run = runScript("", "--backend headless --size 12x3");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.output.find("--size"), std::string::npos);
}

}  // namespace
