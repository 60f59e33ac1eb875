#include "app/command_line.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>

#include "platform/window/zoom.h"

namespace {

bool ParseSize(const std::string& text, int* width, int* height) {
  static const std::regex kSize("([0-9]{2,4})x([0-9]{2,4})");
  std::smatch match;
  if (!std::regex_match(text, match, kSize)) return false;
  *width = std::stoi(match[1]);
  *height = std::stoi(match[2]);
  return *width >= 120 && *height >= 160;
}

}  // namespace

int ParseCommandLine(int argc, char** argv, CommandLine* options) {
  CLI::App app{"Melodex: hold the phone near the music and find out what is playing."};
  app.set_version_flag("--version", std::string("melodex ") + MELODEX_VERSION);

  std::string backend = "sdl";
  if (const char* fromEnvironment = std::getenv("MELODEX_BACKEND"); fromEnvironment && *fromEnvironment)
    backend = fromEnvironment;
  const std::map<std::string, Backend> backends{{"sdl", Backend::Sdl}, {"headless", Backend::Headless}};
  app.add_option("--backend", backend, "sdl: a real window; headless: no display, virtual clock, scripted")
      ->check(CLI::IsMember({"sdl", "headless"}));
  std::string size = "240x320";
  app.add_option("--size", size,
                 "client size in pixels, WxH (default 240x320), or auto: the whole usable display on a phone");
  std::string zoom = "auto";
  app.add_option("--zoom", zoom,
                 "show the sdl window N times larger (1 to 8), or auto (default): about half the desktop's height at "
                 "its own scale, 1 on a phone")
      ->check(CLI::IsMember({"auto"}) | CLI::Range(1, 8));
  app.add_option("--home", options->home, "data folder (log, tags)");
  app.add_option("--settings", options->settings, "settings file (TOML)");
  app.add_option("--script", options->script, "headless: run this script, - for standard input");
  app.add_option("--mic-file", options->micFile, "use this sound file (WAV, FLAC, Ogg, Opus, MP3) as the microphone");
  std::string audio;
  app.add_option("--audio", audio,
                 "sound devices: sdl records from the default microphone and plays sounds (default on the sdl "
                 "backend), none has neither (default on headless)")
      ->check(CLI::IsMember({"sdl", "none"}));
  app.add_flag("--check-microphone", options->checkMicrophone,
               "say whether the default microphone opens, and exit with status 0 if it does, 1 if not");
  app.add_flag("--fast", options->fast,
               "headless: run the clock as fast as possible (worker threads may then lag behind the script)");
  app.add_flag("--cancel", options->cancel, "cancel the running melodex's recording or search");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  options->platform.autoSize = size == "auto";
  if (!options->platform.autoSize && !ParseSize(size, &options->platform.width, &options->platform.height)) {
    std::fprintf(stderr, "melodex: --size needs WxH, at least 120x160, for example 480x640, or auto\n");
    return 2;
  }
  options->platform.zoom = zoom == "auto" ? kAutoZoom : std::stoi(zoom);
  options->platform.backend = backends.at(backend);
  if (!audio.empty()) options->audio = audio == "sdl" ? SoundDevices::Sdl : SoundDevices::None;
  if (options->platform.backend == Backend::Sdl && !options->script.empty()) {
    std::fprintf(stderr, "melodex: --script needs --backend headless\n");
    return 2;
  }
  if (options->platform.backend == Backend::Headless && options->script.empty()) options->script = "-";
  return -1;
}
