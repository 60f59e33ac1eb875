// The failure page that ends an identification that could not be completed.
#pragma once

#include <string>

#include "app/screen/picture.h"
#include "app/screen/screen.h"

class TryAgainScreen : public Screen {
 public:
  static constexpr std::size_t kMaxMessage = 1023;

  TryAgainScreen(HINSTANCE hInst, HWND hWnd);

  void paint(HDC* hdc, RECT* client) override;
  int onKey(WPARAM vk, LPARAM keyData) override;
  void onActivate() override;

  // Keeps a copy of the reason (not shown: the picture says what the user reads).
  void setMessage(const wchar_t* text);
  const std::wstring& message() const { return m_message; }

 private:
  Picture m_banner;
  Picture m_picture;
  std::wstring m_message;
};
