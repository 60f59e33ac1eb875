// The process-wide application state. Owned by the user-interface thread;
// worker threads only read the handles and the owner identifier.
#pragma once

#include <atomic>

#include "platform/types.h"

class AudioRecorder;
class Screen;
class SoftKeyBar;

constexpr int SCREEN_COUNT = 12;  // slots 0..11
constexpr int SCREEN_NONE = 12;
constexpr int BACK_STACK_SIZE = 10;

constexpr int SCREEN_SPLASH = 1;
constexpr int SCREEN_MAIN_MENU = 3;
constexpr int SCREEN_LISTENING = 4;
constexpr int SCREEN_SEARCHING = 5;
constexpr int SCREEN_RESULT = 6;
constexpr int SCREEN_SMS = 7;
constexpr int SCREEN_HISTORY = 8;
constexpr int SCREEN_HELP = 9;
constexpr int SCREEN_SEND_FAILED = 10;
constexpr int SCREEN_RECORD_FAILED = 11;

extern int g_nScreenHeight;
extern int g_nScreenWidth;
extern int g_nBackTop;
extern int g_anBackStack[BACK_STACK_SIZE];
extern wchar_t* g_szBrowserPath;
extern SoftKeyBar* g_pSoftKeyBar;
extern wchar_t* g_szOwnerID;
extern HDC g_hdcWindow;
extern HDC g_hdcBack;
extern HDC g_hdcImage;
extern int g_nCurrentScreen;
extern Screen* g_apScreens[SCREEN_COUNT];
extern std::atomic<HWND> g_hWnd;  // read by worker threads
extern HINSTANCE g_hInst;
// The one recorder, created by the first recording thread.
extern std::atomic<AudioRecorder*> g_pRecorder;

// The off-screen bitmap selected into g_hdcBack for the whole run.
extern HBITMAP g_hbmBack;
