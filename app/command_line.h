// The options of the melodex command.
#pragma once

#include <string>

#include "platform/audio/sound_devices.h"
#include "platform/window/platform.h"

struct CommandLine {
  PlatformOptions platform;
  std::string home;      // data folder
  std::string settings;  // settings file
  std::string script;    // headless script, "-" for standard input
  std::string micFile;   // sound file used as the microphone
  SoundDevices audio = SoundDevices::ByBackend;
  bool cancel = false;
  bool checkMicrophone = false;
  bool fast = false;     // headless: let the virtual clock run ahead of real time
};

// Fills `options` from the arguments and MELODEX_BACKEND. Returns -1 to go
// on, or the exit status when the program should end now (help, version,
// bad options).
int ParseCommandLine(int argc, char** argv, CommandLine* options);
