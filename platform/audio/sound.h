// Playing the program's two short WAVE resources.
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"

constexpr DWORD SND_ASYNC = 0x00000001;
constexpr DWORD SND_RESOURCE = 0x00040004;

// Plays a WAVE resource named "#<id>" (with SND_RESOURCE) and returns at
// once. Where the sound devices are in use (sound_devices.h) the sound goes
// to the default output device when there is one; otherwise nothing is
// heard. Every request is recorded.
BOOL PlaySoundW(LPCWSTR name, HMODULE module, DWORD flags);

// The names asked for so far, oldest first (for tests).
std::vector<std::wstring> PlayedSounds();
void ClearPlayedSounds();
