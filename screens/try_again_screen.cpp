#include "screens/try_again_screen.h"

#include "app/screen/look.h"
#include "app/screen/screen_manager.h"
#include "app/screen/soft_key_bar.h"
#include "app/state.h"
#include "platform/window/window.h"

namespace {
constexpr int kBanner = 113;
constexpr int kPicture = 125;
constexpr int kOkLabel = 166;
}  // namespace

TryAgainScreen::TryAgainScreen(HINSTANCE hInst, HWND hWnd)
    : Screen(hInst, hWnd), m_banner(kBanner), m_picture(kPicture) {}

void TryAgainScreen::paint(HDC* hdc, RECT* client) {
  eraseBackground(g_hdcBack, client);
  m_banner.draw(client->right / 2 - m_banner.width() / 2, 0);
  // Centred in the band between the banner and the soft-key bar.
  const int x = (client->right - client->left) / 2 - m_picture.width() / 2;
  const int y = (client->bottom - client->top - m_banner.height() - SoftKeyBar::kHeight) / 2 -
                m_picture.height() / 2 + m_banner.height();
  m_picture.draw(x, y);
  g_pSoftKeyBar->draw(g_hdcBack);
  PresentBackBuffer(*hdc, *client);
}

int TryAgainScreen::onKey(WPARAM vk, LPARAM) {
  if (vk == VK_F1) SwitchScreen(SCREEN_MAIN_MENU);
  return 1;
}

void TryAgainScreen::onActivate() {
  g_pSoftKeyBar->setLeftKey(kOkLabel);
  g_pSoftKeyBar->setRightKey(-1);
}

void TryAgainScreen::setMessage(const wchar_t* text) {
  m_message = text ? std::wstring(text).substr(0, kMaxMessage) : std::wstring();
}
