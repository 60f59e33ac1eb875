#include "app/state.h"

int g_nScreenHeight = 0;
int g_nScreenWidth = 0;
int g_nBackTop = -1;
int g_anBackStack[BACK_STACK_SIZE] = {};
wchar_t* g_szBrowserPath = nullptr;
SoftKeyBar* g_pSoftKeyBar = nullptr;
wchar_t* g_szOwnerID = nullptr;
HDC g_hdcWindow = nullptr;
HDC g_hdcBack = nullptr;
HDC g_hdcImage = nullptr;
int g_nCurrentScreen = SCREEN_NONE;
Screen* g_apScreens[SCREEN_COUNT] = {};
std::atomic<HWND> g_hWnd{nullptr};
HINSTANCE g_hInst = nullptr;
std::atomic<AudioRecorder*> g_pRecorder{nullptr};
HBITMAP g_hbmBack = nullptr;
