// The program's settings, read from the registry key SOFTWARE\Melodex
// (on Linux, the settings file). The program never writes them.
#pragma once

#include "platform/types.h"

// Fills g_szOwnerID from `ownerID`, or "2422" when it is absent, not text,
// or 128 characters or longer.
void LoadSettings();

// Reads a text value into `buffer` (capacity in characters, terminator
// included). False, leaving the buffer untouched, when the key or value is
// missing, is not text, or does not fit.
bool ReadSettingString(LPCWSTR name, wchar_t* buffer, DWORD capacity);
