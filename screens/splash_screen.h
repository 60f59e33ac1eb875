// The start-up picture, shown for three seconds or until a key.
#pragma once

#include "app/screen/picture.h"
#include "app/screen/screen.h"

class SplashScreen : public Screen {
 public:
  SplashScreen(HINSTANCE hInst, HWND hWnd);

  void paint(HDC* hdc, RECT* client) override;
  int onKey(WPARAM vk, LPARAM keyData) override;
  void onTimer(WPARAM timerId, LPARAM lParam) override;
  void onActivate() override;
  void onDeactivate() override;

 private:
  static constexpr UINT_PTR kTimer = 1;
  static constexpr UINT kShowMs = 3000;
  Picture m_picture;
};
