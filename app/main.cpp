// The melodex command: options, platform start-up, then the program itself
// (the window's message loop, or a script on the headless backend).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "app/command_line.h"
#include "app/main_window.h"
#include "app/script_runner.h"
#include "app/state.h"
#include "platform/audio/microphone_file.h"
#include "platform/audio/sound_devices.h"
#include "platform/system/paths.h"
#include "platform/system/resources.h"
#include "platform/window/headless.h"
#include "platform/window/platform.h"
#include "platform/window/window.h"

namespace {

int moduleTag;  // its address stands for the module instance

HINSTANCE ThisModule() { return reinterpret_cast<HINSTANCE>(&moduleTag); }

// Asks the running program to cancel its recording or search.
int SendCancel() {
  wchar_t title[64];
  wchar_t className[64];
  LoadStringW(ThisModule(), 1, title, 64);
  LoadStringW(ThisModule(), 2, className, 64);
  HWND running = FindWindowW(className, title);
  if (!running) {
    std::fprintf(stderr, "melodex: no running melodex to cancel\n");
    return 1;
  }
  PostMessageW(running, WM_USER + 1, 0, 0);
  return 0;
}

// Tells whether a recording would find a microphone (SDL's default capture
// device), for scripts that choose between it and a --mic-file.
int CheckMicrophone() {
  std::string description;
  if (!ProbeMicrophone(&description)) {
    std::printf("melodex: no microphone (%s)\n", description.c_str());
    return 1;
  }
  std::printf("melodex: microphone found (%s)\n", description.c_str());
  return 0;
}

// pacedClock: the virtual clock keeps to real time, so that worker threads
// (recording, sending) and a microphone file keep step with the timers.
int RunHeadless(const std::string& scriptPath, bool pacedClock) {
  if (!InitInstance(ThisModule(), SW_SHOWNORMAL)) return 0;
  SetRealTimePacing(pacedClock);
  int status = 0;
  if (scriptPath == "-") {
    status = RunScript(std::cin, "<stdin>", std::cout);
  } else {
    std::ifstream script(scriptPath);
    if (!script) {
      std::fprintf(stderr, "melodex: cannot open script %s\n", scriptPath.c_str());
      status = kScriptError;
    } else {
      status = RunScript(script, scriptPath, std::cout);
    }
  }
  ExitApplication();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine options;
  if (const int status = ParseCommandLine(argc, argv, &options); status >= 0) return status;
  if (!options.home.empty()) SetDataFolder(options.home);
  if (!options.settings.empty()) SetSettingsFile(options.settings);
  if (options.cancel) return SendCancel();
  if (options.checkMicrophone) return CheckMicrophone();
  UseSoundDevices(options.audio);
  if (!options.micFile.empty()) {
    std::string why;
    if (!UseMicrophoneFile(options.micFile, &why)) {
      std::fprintf(stderr, "melodex: --mic-file %s\n", why.c_str());
      return 1;
    }
  }

  options.platform.appId = "org.melodex.Melodex";
  std::string error;
  if (!InitPlatform(options.platform, &error)) {
    std::fprintf(stderr, "melodex: %s\n", error.c_str());
    return 1;
  }
  const int status = options.platform.backend == Backend::Headless
                         ? RunHeadless(options.script, !options.fast)
                         : WinMain(ThisModule(), nullptr, nullptr, SW_SHOWNORMAL);
  ShutdownPlatform();
  return status;
}
