#include "screens/splash_screen.h"

#include "app/screen/screen_manager.h"
#include "app/state.h"
#include "platform/window/window.h"

namespace {
constexpr int kSplashPicture = 110;
}

SplashScreen::SplashScreen(HINSTANCE hInst, HWND hWnd) : Screen(hInst, hWnd), m_picture(kSplashPicture) {}

// Drawn straight onto the paint target: the splash has no banner or soft keys.
void SplashScreen::paint(HDC* hdc, RECT* client) {
  eraseBackgroundVia(hdc, client);
  const int x = (client->right - client->left) / 2 - m_picture.width() / 2;
  const int y = (client->bottom - client->top) / 2 - m_picture.height() / 2;
  m_picture.drawTo(*hdc, x, y);
}

int SplashScreen::onKey(WPARAM, LPARAM) {
  SwitchScreen(SCREEN_MAIN_MENU);
  return 1;
}

void SplashScreen::onTimer(WPARAM timerId, LPARAM) {
  if (timerId == kTimer) SwitchScreen(SCREEN_MAIN_MENU);
}

void SplashScreen::onActivate() { SetTimer(m_hWnd, kTimer, kShowMs, nullptr); }

void SplashScreen::onDeactivate() { KillTimer(m_hWnd, kTimer); }
