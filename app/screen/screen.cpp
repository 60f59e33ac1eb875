#include "app/screen/screen.h"

#include "app/screen/soft_key_bar.h"
#include "app/state.h"
#include "platform/gdi/gdi.h"
#include "platform/window/window.h"

void Screen::paint(HDC*, RECT*) {}

int Screen::onKey(WPARAM, LPARAM) { return 0; }

int Screen::onMouseUp(WPARAM wParam, LPARAM lParam) { return onClick(wParam, lParam) ? 1 : 0; }

int Screen::onClick(WPARAM, LPARAM lParam) {
  if (!g_pSoftKeyBar) return 0;
  RECT client{};
  GetClientRect(g_hWnd, &client);
  const int x = TapX(lParam);
  const int y = TapY(lParam);
  if (y <= client.bottom - SoftKeyBar::kHeight) return 0;
  onKey(x < client.right / 2 ? VK_F1 : VK_F2, 0);
  return 1;
}

void Screen::onTimer(WPARAM, LPARAM) {}
void Screen::onUserMessage() {}
void Screen::onActivate() {}
void Screen::onDeactivate() {}

void Screen::eraseBackground(HDC hdc, RECT* rect) {
  HBRUSH white = CreateSolidBrush(RGB(255, 255, 255));
  if (!white) return;
  FillRect(hdc, rect, white);
  DeleteObject(white);
}

void Screen::eraseBackgroundVia(HDC* hdc, RECT* rect) { eraseBackground(*hdc, rect); }

bool Screen::pointInRect(int x, int y, const RECT& rect) {
  return x >= rect.left && x <= rect.right && y >= rect.top && y <= rect.bottom;
}
