#include "app/main_window.h"

#include <cstdlib>

#include "app/log.h"
#include "audio/audio_recorder.h"
#include "app/platform_services.h"
#include "app/screen/screen.h"
#include "app/strings.h"
#include "app/screen/screen_manager.h"
#include "app/screen/soft_key_bar.h"
#include "app/settings.h"
#include "app/state.h"
#include "ident/searching_screen.h"
#include "platform/gdi/gdi.h"
#include "platform/system/files.h"
#include "platform/system/paths.h"
#include "platform/system/resources.h"
#include "platform/system/shell.h"
#include "platform/window/window.h"
#include "screens/listening_screen.h"

namespace {

constexpr int kTextBufferChars = 1024;
constexpr UINT kTitleString = 1;
constexpr UINT kClassString = 2;
constexpr int kIconId = 101;

// The bitmap a fresh memory DC holds, put back before the back buffer is deleted.
HGDIOBJ g_hbmBackDefault = nullptr;
int g_nBackSide = 0;

Screen* CurrentScreen() {
  if (g_nCurrentScreen < 0 || g_nCurrentScreen >= SCREEN_COUNT) return nullptr;
  return g_apScreens[g_nCurrentScreen];
}

void CreateDrawingSurfaces() {
  g_hdcImage = CreateCompatibleDC(g_hdcWindow);
  g_hdcBack = CreateCompatibleDC(g_hdcWindow);
}

int BackBufferSide() { return g_nScreenWidth > g_nScreenHeight ? g_nScreenWidth : g_nScreenHeight; }

// Square on the longer side, so it serves portrait and landscape alike.
void CreateBackBuffer() {
  g_nBackSide = BackBufferSide();
  g_hbmBack = CreateCompatibleBitmap(g_hdcWindow, g_nBackSide, g_nBackSide);
  g_hbmBackDefault = SelectObject(g_hdcBack, g_hbmBack);
}

// A rotation never outgrows the square, but a window made larger by the user
// or the compositor can: only then is the bitmap replaced.
void GrowBackBufferIfNeeded() {
  if (!g_hbmBack || BackBufferSide() <= g_nBackSide) return;
  HBITMAP smaller = g_hbmBack;
  g_nBackSide = BackBufferSide();
  g_hbmBack = CreateCompatibleBitmap(g_hdcWindow, g_nBackSide, g_nBackSide);
  SelectObject(g_hdcBack, g_hbmBack);
  DeleteObject(smaller);
}

void CreateDataFolder() {
  wchar_t* folder = AnsiToWide(DataFolder().c_str());
  if (!folder) return;
  CreateDirectoryW(folder, nullptr);
  std::free(folder);
}

void DestroyMenuBarIfAny() {
  if (HWND menuBar = SHFindMenuBar(g_hWnd)) {
    LogMessage("Deleting existing menu bar\r\n");
    DestroyWindow(menuBar);
  }
}

void Paint() {
  if (!GetUpdateRect(g_hWnd, nullptr, FALSE)) return;
  PAINTSTRUCT ps{};
  BeginPaint(g_hWnd, &ps);
  RECT client{};
  GetClientRect(g_hWnd, &client);
  if (Screen* screen = CurrentScreen()) screen->paint(&ps.hdc, &client);
  EndPaint(g_hWnd, &ps);
}

ListeningScreen* ListeningScreenIfAny() { return static_cast<ListeningScreen*>(g_apScreens[SCREEN_LISTENING]); }
SearchingScreen* SearchingScreenIfAny() { return static_cast<SearchingScreen*>(g_apScreens[SCREEN_SEARCHING]); }

// The sound device has handed the recording buffer back: the recorder
// closes its device, and the listening screen, current or not, moves on
// (unless the buffer only came back to undo a failed start).
LRESULT OnRecordingBufferFull() {
  LogMessage("Melodex: got MM_WIM_DATA message\r\n");
  bool recordingEnded = true;
  if (AudioRecorder* recorder = g_pRecorder) recordingEnded = recorder->recordingComplete();
  if (ListeningScreen* listening = ListeningScreenIfAny(); listening && recordingEnded) listening->onRecordingDone();
  return 0;
}

// A cancel request from outside the program.
LRESULT OnCancelRequest() {
  if (g_nCurrentScreen == SCREEN_LISTENING) ListeningScreenIfAny()->cancelRecording();
  else if (g_nCurrentScreen == SCREEN_SEARCHING) SearchingScreenIfAny()->cancel();
  return 1;
}

}  // namespace

int WinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int showCommand) {
  if (!InitInstance(instance, showCommand)) return 0;
  MSG msg{};
  while (GetMessageW(&msg, nullptr, 0, 0)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}

BOOL InitInstance(HINSTANCE instance, int showCommand) {
  g_hInst = instance;
  wchar_t title[kTextBufferChars];
  wchar_t className[kTextBufferChars];
  LoadStringW(instance, kTitleString, title, kTextBufferChars);
  LoadStringW(instance, kClassString, className, kTextBufferChars);

  // A second launch only brings the running window forward. It is turned
  // away before it opens the log, which would truncate the running
  // program's log under it.
  if (HWND running = FindWindowW(className, title)) {
    SetForegroundWindow(reinterpret_cast<HWND>(reinterpret_cast<UINT_PTR>(running) | 1));
    return FALSE;
  }

  OpenLog();
  LogMessage("Melodex starting up\r\n");
  SHInitExtraControls();

  WNDCLASSW wc{};
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = WndProc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kIconId));
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  wc.lpszClassName = className;
  if (!RegisterClassW(&wc)) return FALSE;

  HWND hWnd = CreateWindowExW(0, className, title, WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
  if (!hWnd) return FALSE;

  g_nCurrentScreen = SCREEN_NONE;
  g_hWnd = hWnd;
  for (Screen*& screen : g_apScreens) screen = nullptr;
  MarkUserInterfaceThread();

  g_hdcWindow = GetDC(g_hWnd);
  SHFullScreen(g_hWnd, SHFS_HIDESIPBUTTON);
  CreateDrawingSurfaces();
  FitWindowToWorkArea();
  CreateBackBuffer();
  g_nBackTop = -1;

  CreateDataFolder();
  DestroyMenuBarIfAny();

  g_pSoftKeyBar = new SoftKeyBar();
  InitBrowserPath();
  LoadSettings();
  FitWindowToWorkArea();
  SwitchScreen(SCREEN_SPLASH);

  ShowWindow(g_hWnd, showCommand);
  UpdateWindow(g_hWnd);
  return TRUE;
}

void FitWindowToWorkArea() {
  if (!g_hWnd) return;
  g_nScreenWidth = GetDeviceCaps(nullptr, HORZRES);
  g_nScreenHeight = GetDeviceCaps(nullptr, VERTRES);
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  if (HWND menuBar = SHFindMenuBar(g_hWnd)) {
    RECT bar{};
    GetClientRect(menuBar, &bar);
    work.bottom -= bar.bottom - bar.top;
  }
  MoveWindow(g_hWnd, work.left, work.top, work.right - work.left, work.bottom - work.top, FALSE);
  GrowBackBufferIfNeeded();
}

void ExitApplication() {
  if (HWND hWnd = g_hWnd) {
    DestroyWindow(hWnd);
    g_hWnd = nullptr;
  }
}

LRESULT WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Screen* screen = CurrentScreen();
  switch (message) {
    case WM_CREATE:
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      ShutdownCleanup();
      return 0;
    case WM_SIZE:
      FitWindowToWorkArea();
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_ACTIVE || LOWORD(wParam) == WA_CLICKACTIVE) ShowWindow(hWnd, SW_SHOWNORMAL);
      return 0;
    case WM_PAINT:
      Paint();
      return 0;
    case WM_SETTINGCHANGE:
      if (wParam == SETTINGCHANGE_RESET) FitWindowToWorkArea();
      return 0;
    case WM_CLOSE:
      // The window's close button hides the program, as the phone's does;
      // only the menu's exit ends it.
      ShowWindow(hWnd, SW_HIDE);
      return 0;
    case WM_KEYUP:
      if (wParam == VK_F3 || wParam == VK_VOLUME_UP || wParam == VK_VOLUME_DOWN)
        return DefWindowProcW(hWnd, message, wParam, lParam);
      return screen ? screen->onKey(wParam, lParam) : 1;
    case WM_COMMAND:
      return DefWindowProcW(hWnd, message, wParam, lParam);
    case WM_TIMER:
      if (screen) screen->onTimer(wParam, lParam);
      return 0;
    case WM_LBUTTONUP:
      return screen ? screen->onMouseUp(wParam, lParam) : 1;
    case MM_WIM_DATA:
      return OnRecordingBufferFull();
    case WM_USER:
      if (screen) screen->onUserMessage();
      return 0;
    case WM_USER + 1:
      return OnCancelRequest();
    case WM_SWITCH_SCREEN:
      SwitchScreen(static_cast<int>(wParam));
      return 0;
    case WM_SEND_FAILED:
      if (SearchingScreen* searching = SearchingScreenIfAny()) searching->onSendFailed(wParam);
      return 0;
    default:
      if (g_hWnd) SHFullScreen(g_hWnd, SHFS_HIDESIPBUTTON);
      return 1;
  }
}

void ShutdownCleanup() {
  SwitchScreen(SCREEN_NONE);
  // A send worker, told to stop when its page was left, may still be reading the recording.
  if (SearchingScreen* searching = SearchingScreenIfAny()) searching->joinWorker();
  delete g_pRecorder.exchange(nullptr);
  CloseLog();
  for (Screen*& screen : g_apScreens) {
    delete screen;
    screen = nullptr;
  }
  std::free(g_szOwnerID);
  g_szOwnerID = nullptr;
  if (g_pSoftKeyBar) {
    g_pSoftKeyBar->release();
    delete g_pSoftKeyBar;
    g_pSoftKeyBar = nullptr;
  }
  std::free(g_szBrowserPath);
  g_szBrowserPath = nullptr;
  DeleteDC(g_hdcImage);
  g_hdcImage = nullptr;
  SelectObject(g_hdcBack, g_hbmBackDefault);
  DeleteObject(g_hbmBack);
  g_hbmBack = nullptr;
  DeleteDC(g_hdcBack);
  g_hdcBack = nullptr;
  ReleaseDC(g_hWnd, g_hdcWindow);
  g_hdcWindow = nullptr;
}
