// The window manager vocabulary of the application: window classes and
// windows, the message queue and loop, timers, painting and a few system
// calls, with Win32 names, values and semantics.
//
// One message queue serves the process. PostMessageW may be called from any
// thread; every other call belongs to the user-interface thread (the thread
// that called InitPlatform). Retrieval order is that of Win32: posted
// messages (input included) first, then WM_QUIT, then WM_PAINT for a visible
// window with an update region or internal paint request, then WM_TIMER for
// the timer that fell due first. Timers and paints are never queued: they are
// generated when the queue has nothing else, so they never pile up.
#pragma once

#include "platform/types.h"

// Messages.
constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_SIZE = 0x0005;
constexpr UINT WM_ACTIVATE = 0x0006;
constexpr UINT WM_PAINT = 0x000F;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_ERASEBKGND = 0x0014;
constexpr UINT WM_SETTINGCHANGE = 0x001A;
constexpr UINT WM_KEYDOWN = 0x0100;
constexpr UINT WM_KEYUP = 0x0101;
constexpr UINT WM_CHAR = 0x0102;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_MOUSEMOVE = 0x0200;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_LBUTTONUP = 0x0202;
constexpr UINT MM_WIM_DATA = 0x03C0;
constexpr UINT WM_USER = 0x0400;

// WM_ACTIVATE states (LOWORD of wParam).
constexpr WORD WA_INACTIVE = 0;
constexpr WORD WA_ACTIVE = 1;
constexpr WORD WA_CLICKACTIVE = 2;

// Virtual-key codes.
constexpr UINT VK_BACK = 0x08;
constexpr UINT VK_CLEAR = 0x0C;
constexpr UINT VK_RETURN = 0x0D;
constexpr UINT VK_ESCAPE = 0x1B;
constexpr UINT VK_LEFT = 0x25;
constexpr UINT VK_UP = 0x26;
constexpr UINT VK_RIGHT = 0x27;
constexpr UINT VK_DOWN = 0x28;
constexpr UINT VK_DELETE = 0x2E;
constexpr UINT VK_F1 = 0x70;
constexpr UINT VK_F2 = 0x71;
constexpr UINT VK_F3 = 0x72;
constexpr UINT VK_VOLUME_DOWN = 0xAE;
constexpr UINT VK_VOLUME_UP = 0xAF;
constexpr UINT VK_OEM_PERIOD = 0xBE;

// RedrawWindow flags.
constexpr UINT RDW_INVALIDATE = 0x0001;
constexpr UINT RDW_INTERNALPAINT = 0x0002;
constexpr UINT RDW_UPDATENOW = 0x0100;

// ShowWindow commands.
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOW = 5;

// Class and window styles, default position.
constexpr UINT CS_VREDRAW = 0x0001;
constexpr UINT CS_HREDRAW = 0x0002;
constexpr DWORD WS_VISIBLE = 0x10000000;
constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000u);

// SystemParametersInfoW actions.
constexpr UINT SPI_GETWORKAREA = 0x0030;

// WM_SETTINGCHANGE wParam of the phone shell: the display was rotated or
// the work area reset.
constexpr WPARAM SETTINGCHANGE_RESET = 0x3002;

// PeekMessageW options.
constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;

using HCURSOR = HICON;
using ATOM = WORD;

// Calling-convention markers of Win32 declarations; nothing on Linux.
#ifndef CALLBACK
#define CALLBACK
#endif
#ifndef WINAPI
#define WINAPI
#endif

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);

struct WNDCLASSW {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCWSTR lpszMenuName;
  LPCWSTR lpszClassName;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};

struct PAINTSTRUCT {
  HDC hdc;
  BOOL fErase;
  RECT rcPaint;
  BOOL fRestore;
  BOOL fIncUpdate;
  BYTE rgbReserved[32];
};

// Resource names given by number, and the program's icon. LoadIconW finds
// an icon resource compiled into the program (null when there is none); the
// sdl backend shows the class icon as the window's icon.
inline LPWSTR MAKEINTRESOURCEW(WORD id) { return reinterpret_cast<LPWSTR>(static_cast<UINT_PTR>(id)); }
HICON LoadIconW(HINSTANCE instance, LPCWSTR name);

// Classes and windows. A window created with CW_USEDEFAULT covers the
// display; WM_CREATE is sent (lParam 0) before CreateWindowExW returns.
ATOM RegisterClassW(const WNDCLASSW* windowClass);
HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param);
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);
LRESULT DefWindowProcW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// The message loop. Window and range filters are not supported: pass null/0.
BOOL GetMessageW(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax);
BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMessage);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageW(const MSG* msg);
// Thread-safe. A window found in another process by FindWindowW receives the
// message in that process's queue.
BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// Calls the window procedure directly. Off the user-interface thread the
// message is posted instead and 0 returned, so the procedure never runs on a
// worker thread.
LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);

// Timers, keyed by window and id. Setting a live id re-arms it. Intervals
// below 10 ms count as 10 ms, as in Win32. The callback must be null.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC callback);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

// Painting. The update region is kept as one bounding rectangle.
BOOL RedrawWindow(HWND hwnd, const RECT* updateRect, HRGN updateRegion, UINT flags);
BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase);
BOOL UpdateWindow(HWND hwnd);
BOOL GetUpdateRect(HWND hwnd, RECT* rect, BOOL erase);
HDC BeginPaint(HWND hwnd, PAINTSTRUCT* paint);
BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* paint);
BOOL GetClientRect(HWND hwnd, RECT* rect);
HDC GetDC(HWND hwnd);
int ReleaseDC(HWND hwnd, HDC hdc);

// Position and visibility.
BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint);
BOOL ShowWindow(HWND hwnd, int command);
BOOL IsWindowVisible(HWND hwnd);
BOOL SystemParametersInfoW(UINT action, UINT param, LPVOID data, UINT winIni);

// Time. On the headless backend the clock is virtual and Sleep on the
// user-interface thread moves it forward without dispatching anything.
void Sleep(DWORD ms);
DWORD GetTickCount();

// Another running instance: FindWindowW looks in this process first, then
// asks the instance listening for that class (see single_instance.h).
HWND FindWindowW(LPCWSTR className, LPCWSTR windowName);
BOOL SetForegroundWindow(HWND hwnd);
