// The melodex command itself: scripted headless runs, exit codes and the
// messages for bad scripts and options, no display and no microphone.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/headless_app.h"

namespace fs = std::filesystem;

namespace {

class ScriptRun : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove_all(root_); }

  // Runs melodex with the script (when not empty) and the options; the exit
  // status, and standard output and error together in *output.
  int run(const std::string& script, const std::string& options, std::string* output,
          const std::string& environment = "") {
    std::ofstream(root_ / "script.txt") << script;
    const std::string command = "env " + environment + " XDG_RUNTIME_DIR=" + root_.string() + " " + MELODEX_BINARY +
                                " " + options + " --home " + (root_ / "home").string() + " --settings " +
                                (root_ / "none.toml").string() +
                                (script.empty() ? "" : " --script " + (root_ / "script.txt").string()) + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output->append(buffer, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  const fs::path root_ = MakeTempFolder("melodex-script");
};

TEST_F(ScriptRun, WalksThroughTheMenuReportsScreensAndEndsWithTheProgram) {
  fs::create_directories(root_ / "home");
  std::string output;
  EXPECT_EQ(run("screen\nwait 2999\nscreen\nwait 1\nscreen\n# help me out\nkey Down\nkey Down\nkey Enter\nscreen\n"
                "shot " + (root_ / "help.png").string() + "\nkey SoftLeft\nscreen\nkey Down\nkey Enter\nscreen\n",
                "--backend headless --fast", &output),
            0) << output;
  EXPECT_NE(output.find("screen 1\nscreen 1\nscreen 3\nscreen 9\nscreen 3\n"), std::string::npos) << output;
  EXPECT_EQ(output.rfind("screen "), output.find("screen 3\n", output.find("screen 9")))
      << "exit from the menu ends the script: its last line never runs";
  EXPECT_GT(fs::file_size(root_ / "help.png"), 100u);
  EXPECT_NE(ReadFile(root_ / "home" / "log.txt").find("Melodex starting up"), std::string::npos);
}

TEST_F(ScriptRun, BadLinesAndOptionsStopWithAClearMessage) {
  const struct {
    const char* script;
    const char* options;
    int status;
    const char* message;
  } cases[] = {
      {"wait 10\n\nfrobnicate 3\nkey Enter\n", "", 2, ":3: unknown command 'frobnicate'"},
      {"key NoSuchKey\n", "", 2, ":1: key needs"},
      {"tap 10\n", "", 2, ":1: tap needs"},
      {"wait -5\n", "", 2, ":1: wait needs"},
      {"resize 100 100\n", "", 2, ":1: resize needs"},
      {"", "--size 12x3", 2, "--size needs WxH"},
      {"", "--audio loud", 105, "--audio"},
  };
  for (const auto& c : cases) {
    std::string output;
    EXPECT_EQ(run(c.script, std::string("--backend headless ") + c.options, &output), c.status) << output;
    EXPECT_NE(output.find(c.message), std::string::npos) << output;
  }
}

TEST_F(ScriptRun, AutoSizeWithoutADisplayKeepsTheDefaultAndAResizeRefits) {
  std::string output;
  EXPECT_EQ(run("wait 3000\nresize 480 640\nshot " + (root_ / "menu.png").string() + "\n",
                "--backend headless --size auto --fast", &output),
            0) << output;
  std::ifstream png(root_ / "menu.png", std::ios::binary);
  unsigned char header[24] = {};
  png.read(reinterpret_cast<char*>(header), sizeof header);
  // The PNG's IHDR: width and height, big-endian, at bytes 16 and 20.
  EXPECT_EQ((header[18] << 8 | header[19]) * 1000 + (header[22] << 8 | header[23]), 480640);
}

TEST_F(ScriptRun, NoDisplayAndNoMicrophoneAreToldPlainly) {
  std::string output;
  EXPECT_NE(run("", "--backend sdl", &output, "-u DISPLAY -u WAYLAND_DISPLAY -u SDL_VIDEODRIVER"), 0);
  EXPECT_NE(output.find("no display available"), std::string::npos) << output;
  EXPECT_NE(output.find("--backend headless"), std::string::npos) << output;
  // SDL's dummy driver has a capture device that hears silence.
  output.clear();
  EXPECT_EQ(run("", "--check-microphone", &output, "SDL_AUDIODRIVER=dummy"), 0) << output;
  EXPECT_NE(output.find("microphone found (SDL audio driver dummy)"), std::string::npos) << output;
  output.clear();
  EXPECT_EQ(run("", "--check-microphone", &output, "SDL_AUDIODRIVER=no-such-driver"), 1) << output;
  EXPECT_NE(output.find("melodex: no microphone ("), std::string::npos) << output;
}

}  // namespace
