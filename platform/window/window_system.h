// The state shared by the window system's parts: the backend, the queue,
// the timers and the windows. Internal to platform/window.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/gdi/surface.h"
#include "platform/window/backend.h"
#include "platform/window/message_queue.h"
#include "platform/window/timers.h"
#include "platform/window/window.h"

struct WindowClass {
  WNDCLASSW attributes;
  std::wstring name;
};

struct Window {
  HWND handle = nullptr;
  WNDPROC procedure = nullptr;
  std::wstring className;
  std::wstring title;
  RECT frame{};  // position and size on the display
  bool visible = false;
  bool destroying = false;  // WM_DESTROY has been sent
  bool hasUpdate = false;
  RECT update{};
  bool internalPaint = false;
  // Counts BeginPaint calls, so a WM_PAINT left unhandled can be validated.
  std::uint64_t paints = 0;
  int openDCs = 0;
  std::unique_ptr<Surface> client = std::make_unique<Surface>();
  Surface presented;
};

// Private message posted by the single-instance listener: show the window
// and bring it to the front (registered-message range, so never a Win32 one).
constexpr UINT kShowAndRaiseMessage = 0xC0DE;

struct WindowSystem {
  std::unique_ptr<WindowBackend> backend;
  Backend kind = Backend::Headless;
  std::thread::id uiThread;
  int displayWidth = 240;
  int displayHeight = 320;
  MessageQueue queue;
  TimerTable timers;
  bool quitPending = false;
  int quitCode = 0;
  bool quitEverPosted = false;
  bool realTimePacing = false;  // headless driver: see SetRealTimePacing

  // Guards the membership of `windows` (PostMessageW checks handles from
  // any thread); window contents belong to the user-interface thread.
  std::mutex windowsMutex;
  std::map<HWND, std::unique_ptr<Window>> windows;
  std::map<std::wstring, WindowClass> classes;
  std::uintptr_t nextHandle = 0x10010;
  HWND focus = nullptr;  // the window that receives input
  // Client surfaces of destroyed windows whose DCs were never released.
  std::vector<std::unique_ptr<Surface>> orphanSurfaces;
};

// Null before InitPlatform.
WindowSystem* System();
bool OnUiThread();
std::uint64_t NowMs();
// The live window with this handle, or null. User-interface thread only.
Window* FindLocalWindow(HWND hwnd);
bool IsLocalWindow(HWND hwnd);

// Retrieves the next message in Win32 order (see window.h). WM_QUIT is only
// reported when includeQuit is set.
bool NextMessage(MSG* msg, bool remove, bool includeQuit);
// Runs messages, paints and due timers until the queue is idle.
void DispatchIdle();
// Destroys every window without the window procedure (shutdown).
void DropAllWindows();
// The user or the compositor has given the window a new client size: that
// size becomes the display and its work area, and the window is told as a
// phone tells it of a rotation (WM_SETTINGCHANGE, SETTINGCHANGE_RESET), so
// the application refits itself. Posted, so any caller may use it.
void DisplayResizedFromOutside(HWND hwnd, int width, int height);
