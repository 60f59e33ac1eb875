// Start-up, the main window procedure, and shutdown.
#pragma once

#include "platform/types.h"

// Private message: a screen switch asked for on a worker thread, carried out
// on the user-interface thread (wParam is the screen index).
constexpr UINT WM_SWITCH_SCREEN = 0x8001;
// Private message: the identification request of activation wParam could
// not be sent; the searching screen shows the failure page if that request
// is still its current one.
constexpr UINT WM_SEND_FAILED = 0x8002;

// Runs start-up and the message loop; returns the process exit code.
int WinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);
BOOL InitInstance(HINSTANCE instance, int showCommand);
LRESULT WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
void FitWindowToWorkArea();
// Destroys the main window, which ends the program.
void ExitApplication();
void ShutdownCleanup();
