// Whether recordings come from, and sounds go to, the machine's sound
// devices through SDL. By default they do on the sdl backend only, so that
// tests and scripted runs neither need nor disturb a sound card; a headless
// run can ask for them (a scripted run against a real microphone).
#pragma once

#include <string>

enum class SoundDevices { ByBackend, Sdl, None };

void UseSoundDevices(SoundDevices choice);
bool SoundDevicesInUse();

// Opens the default capture device in the recording format, as a recording
// would, and closes it again. True when it opens; *description then names
// SDL's audio driver, else it says why nothing opened.
bool ProbeMicrophone(std::string* description);
