// The shell calls of the application: starting a program with one argument
// (the browser), and the phone shell's window calls, which have nothing to
// do on Linux.
#pragma once

#include "platform/types.h"

constexpr ULONG SEE_MASK_NOCLOSEPROCESS = 0x00000040;
constexpr ULONG SEE_MASK_FLAG_NO_UI = 0x00000400;
constexpr DWORD SHFS_HIDESIPBUTTON = 0x0008;

struct SHELLEXECUTEINFOW {
  DWORD cbSize;
  ULONG fMask;
  HWND hwnd;
  LPCWSTR lpVerb;
  LPCWSTR lpFile;
  LPCWSTR lpParameters;
  LPCWSTR lpDirectory;
  int nShow;
  HINSTANCE hInstApp;
  LPVOID lpIDList;
  LPCWSTR lpClass;
  HKEY hkeyClass;
  DWORD dwHotKey;
  HANDLE hIcon;
  HANDLE hProcess;
};

// Starts lpFile (looked up on PATH) with lpParameters as its one argument,
// unquoted and unsplit, in lpDirectory when given. FALSE when the program
// cannot be started. The child is reaped in the background; hProcess is
// always null, since nothing waits for it.
BOOL ShellExecuteExW(SHELLEXECUTEINFOW* info);

BOOL SHInitExtraControls();
BOOL SHFullScreen(HWND hwnd, DWORD state);
HWND SHFindMenuBar(HWND hwnd);
void InitCommonControls();
