// The registry key SOFTWARE\Melodex, read from the TOML settings file
// (SettingsFile() in paths.h). The file's top-level keys are the key's
// values: a string is REG_SZ, an integer that fits in 32 bits is REG_DWORD,
// a wider one REG_QWORD, anything else REG_NONE with no data. The file is
// read afresh at every RegOpenKeyExW and never written.
#pragma once

#include "platform/system/errors.h"
#include "platform/types.h"

using REGSAM = DWORD;
using PHKEY = HKEY*;
using LPDWORD = DWORD*;
using LPBYTE = BYTE*;

inline const HKEY HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u));

constexpr REGSAM KEY_READ = 0x20019;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_QWORD = 11;

// Only HKEY_LOCAL_MACHINE\SOFTWARE\Melodex exists. A missing settings file is
// ERROR_FILE_NOT_FOUND; a malformed one is ERROR_INVALID_DATA, with one
// message on stderr naming the file, the line and the reason.
LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);

// As Win32: with null data only the type and size are reported; a buffer too
// small gives ERROR_MORE_DATA with the size needed in *size. Strings are
// WCHAR units with their terminator. Value names match case-insensitively
// when there is no exact match.
LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size);

LONG RegCloseKey(HKEY key);
