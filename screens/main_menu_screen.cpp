#include "screens/main_menu_screen.h"

#include "app/main_window.h"
#include "app/screen/look.h"
#include "app/screen/screen_manager.h"
#include "app/state.h"
#include "platform/gdi/gdi.h"
#include "platform/window/window.h"

namespace {

constexpr int kBanner = 113;
constexpr int kItemGifs[MainMenuScreen::kItemCount] = {114, 115, 116, 117};
constexpr int kHighlightedGifs[MainMenuScreen::kItemCount] = {171, 172, 173, 174};
constexpr int kLogo = 175;
constexpr int kItemTargets[MainMenuScreen::kItemCount] = {SCREEN_LISTENING, SCREEN_HISTORY, SCREEN_HELP, -1};
constexpr int kExitItem = 3;
constexpr DWORD kTapFeedbackMs = 100;

}  // namespace

MainMenuScreen::MainMenuScreen(HINSTANCE hInst, HWND hWnd)
    : Screen(hInst, hWnd), m_banner(kBanner), m_logo(kLogo) {
  for (int i = 0; i < kItemCount; ++i) {
    m_items[i].load(kItemGifs[i]);
    m_highlighted[i].load(kHighlightedGifs[i]);
  }
}

void MainMenuScreen::paint(HDC* hdc, RECT* client) {
  eraseBackground(g_hdcBack, client);
  m_banner.draw(client->right / 2 - m_banner.width() / 2, 0);

  // Every item is drawn at the size of the first one.
  const int w = m_items[0].width();
  const int h = m_items[0].height();
  const int x = client->right / 2 - w / 2;
  const int y0 = (client->bottom - m_banner.height() - m_logo.height()) / 2 - (kItemCount * h) / 2 + m_banner.height();
  for (int i = 0; i < kItemCount; ++i) {
    const int y = y0 + i * h;
    (i == m_selectedItem ? m_highlighted[i] : m_items[i]).draw(x, y);
    m_itemRects[i] = RECT{x, y, x + w, y + h};
  }

  m_logo.draw(client->right - m_logo.width(), client->bottom - m_logo.height());
  PresentBackBuffer(*hdc, *client);
}

int MainMenuScreen::onKey(WPARAM vk, LPARAM) {
  switch (vk) {
    case VK_RETURN:
    case VK_RIGHT:
      runSelectedItem();
      break;
    case VK_UP:
      --m_selectedItem;
      break;
    case VK_DOWN:
      ++m_selectedItem;
      break;
    case VK_ESCAPE:
      // The program keeps running in the background; a new launch brings it back.
      ShowWindow(m_hWnd, SW_HIDE);
      break;
    default:
      return 0;
  }
  if (m_selectedItem < 0) m_selectedItem = kItemCount - 1;
  if (m_selectedItem >= kItemCount) m_selectedItem = 0;
  if (g_hWnd) RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_INTERNALPAINT);
  return 1;
}

int MainMenuScreen::onMouseUp(WPARAM wParam, LPARAM lParam) {
  if (onClick(wParam, lParam)) return 1;
  const int x = TapX(lParam);
  const int y = TapY(lParam);
  for (int i = 0; i < kItemCount; ++i) {
    if (!pointInRect(x, y, m_itemRects[i])) continue;
    m_selectedItem = i;
    RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    Sleep(kTapFeedbackMs);
    runSelectedItem();
    return 1;
  }
  return 0;
}

void MainMenuScreen::runSelectedItem() {
  if (m_selectedItem == kExitItem)
    ExitApplication();
  else
    SwitchScreen(kItemTargets[m_selectedItem]);
  PushScreen(SCREEN_MAIN_MENU);
}
