// Four help topics; choosing one shows its text page. The last is the about page.
#pragma once

#include "app/screen/gdi_handle.h"
#include "app/screen/picture.h"
#include "app/screen/screen.h"

class HelpScreen : public Screen {
 public:
  static constexpr int kTopicCount = 4;

  HelpScreen(HINSTANCE hInst, HWND hWnd);

  void paint(HDC* hdc, RECT* client) override;
  int onKey(WPARAM vk, LPARAM keyData) override;
  int onMouseUp(WPARAM wParam, LPARAM lParam) override;
  void onActivate() override;
  void onDeactivate() override;

  bool pageOpen() const { return m_pageOpen; }
  int pageScroll() const { return m_pageScroll; }
  int selectedTopic() const { return m_selectedTopic; }

 private:
  void drawTopicList(const RECT& client);
  void drawPage(const RECT& client);
  RECT pageBox(const RECT& client) const;
  void loadPageText(wchar_t* text) const;
  void scrollPage(int lines);
  void openPage();
  void repaintNow();

  Picture m_banner;
  FontHandle m_font;
  BrushHandle m_highlightBrush;
  bool m_pageOpen = false;
  int m_selectedTopic = 0;
  int m_pageScroll = 0;  // pixels of the open page moved up out of view
  RECT m_topicRects[kTopicCount] = {};
};
