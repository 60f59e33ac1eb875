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

// The connection settings, read afresh at every call (each opens and closes
// the key). A value counts as absent when the key or value is missing or has
// another type; the getters then return the default.

// `connNetName`: the network to use. False when absent, not text, or
// longer than capacity (characters, terminator included).
bool ReadConnNetName(wchar_t* name, DWORD capacity);
// `connLingerTime`, default 1.
LONG ReadConnLingerTime();
// `connPriority`, default 0x8000.
DWORD ReadConnPriority();
// `connFlags`, default 1.
DWORD ReadConnFlags();
// `connExclusive` as 0 or 1 (any non-zero value is 1), default 0.
BOOL ReadConnExclusive();

// The identification endpoint, `serverURL`, as a new UTF-8 heap string that
// the caller frees; "http://127.0.0.1:8017/servlet/QuaverId" when absent.
char* ReadServerURL();
