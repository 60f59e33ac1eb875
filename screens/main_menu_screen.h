// The hub: four stacked menu items under the title banner.
#pragma once

#include "app/screen/picture.h"
#include "app/screen/screen.h"

class MainMenuScreen : public Screen {
 public:
  static constexpr int kItemCount = 4;

  MainMenuScreen(HINSTANCE hInst, HWND hWnd);

  void paint(HDC* hdc, RECT* client) override;
  int onKey(WPARAM vk, LPARAM keyData) override;
  int onMouseUp(WPARAM wParam, LPARAM lParam) override;

  int selectedItem() const { return m_selectedItem; }

 private:
  void runSelectedItem();

  Picture m_banner;
  Picture m_items[kItemCount];
  Picture m_highlighted[kItemCount];
  Picture m_logo;
  int m_selectedItem = 0;
  RECT m_itemRects[kItemCount] = {};
};
