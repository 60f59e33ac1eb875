#include "platform/audio/sound_devices.h"

#include <atomic>

#include "platform/window/platform.h"

namespace {

std::atomic<SoundDevices> g_choice{SoundDevices::ByBackend};

}  // namespace

void UseSoundDevices(SoundDevices choice) { g_choice = choice; }

bool SoundDevicesInUse() {
  const SoundDevices choice = g_choice;
  return choice == SoundDevices::Sdl || (choice == SoundDevices::ByBackend && CurrentBackend() == Backend::Sdl);
}
