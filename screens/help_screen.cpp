#include "screens/help_screen.h"

#include <cwchar>

#include "app/screen/look.h"
#include "app/screen/screen_manager.h"
#include "app/screen/soft_key_bar.h"
#include "app/state.h"
#include "platform/gdi/gdi.h"
#include "platform/system/resources.h"
#include "platform/window/window.h"

namespace {

constexpr int kBanner = 145;
constexpr int kBackLabel = 161;
constexpr int kSelectLabel = 164;
constexpr int kFontHeight = 30;
constexpr int kRowPadding = 4;
constexpr int kPageMargin = 10;
constexpr int kPageChars = 512;  // 511 characters and the terminator
constexpr DWORD kTapFeedbackMs = 100;

constexpr const wchar_t* kTopicTitles[HelpScreen::kTopicCount] = {
    L"IDing a Song", L"ID Picks and More!", L"Subscription", L"About Melodex"};
// The first three pages are string resources; the last is the about text.
constexpr UINT kTopicStrings[HelpScreen::kTopicCount - 1] = {3, 4, 5};
constexpr int kAboutTopic = 3;

void FormatAboutText(wchar_t* text, std::size_t capacity) {
  // Short enough to fit the page of the smallest screen without scrolling.
  std::swprintf(text, capacity,
                L"Melodex %s\r\nNames the music playing around you.\r\nFree software, GNU GPL v3+.",
                MELODEX_VERSION);
}

}  // namespace

HelpScreen::HelpScreen(HINSTANCE hInst, HWND hWnd)
    : Screen(hInst, hWnd),
      m_banner(kBanner),
      m_font(CreatePageFont(kFontHeight)),
      m_highlightBrush(CreateSolidBrush(kHighlight)) {}

void HelpScreen::paint(HDC* hdc, RECT* client) {
  eraseBackground(g_hdcBack, client);
  m_banner.draw(client->right / 2 - m_banner.width() / 2, 0);
  if (m_pageOpen)
    drawPage(*client);
  else
    drawTopicList(*client);
  g_pSoftKeyBar->draw(g_hdcBack);
  PresentBackBuffer(*hdc, *client);
}

void HelpScreen::drawTopicList(const RECT& client) {
  HGDIOBJ previousFont = SelectObject(g_hdcBack, m_font.get());
  TEXTMETRICW metrics{};
  GetTextMetricsW(g_hdcBack, &metrics);
  const int rowHeight = metrics.tmHeight + kRowPadding;
  for (int i = 0; i < kTopicCount; ++i) {
    RECT row{client.left, m_banner.height() + i * rowHeight, client.right, m_banner.height() + (i + 1) * rowHeight};
    m_topicRects[i] = row;
    const bool selected = i == m_selectedTopic;
    if (selected) FillRect(g_hdcBack, &row, m_highlightBrush.get());
    SetBkColor(g_hdcBack, selected ? kHighlight : kWhite);
    SetTextColor(g_hdcBack, kBlack);
    DrawTextW(g_hdcBack, kTopicTitles[i], -1, &row, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  }
  SelectObject(g_hdcBack, previousFont);
}

RECT HelpScreen::pageBox(const RECT& client) const {
  return RECT{client.left + kPageMargin, client.top + m_banner.height(), client.right - kPageMargin,
              client.bottom - SoftKeyBar::kHeight};
}

void HelpScreen::loadPageText(wchar_t* text) const {
  if (m_selectedTopic == kAboutTopic)
    FormatAboutText(text, kPageChars);
  else
    LoadStringW(m_hInst, kTopicStrings[m_selectedTopic], text, kPageChars);
}

void HelpScreen::drawPage(const RECT& client) {
  wchar_t text[kPageChars] = {};
  loadPageText(text);
  const RECT box = pageBox(client);
  // A page longer than the box moves up by whole lines (Up and Down keys);
  // the box clips it on both edges.
  RECT shifted{box.left, box.top - m_pageScroll, box.right, box.bottom};
  RegionHandle clip(CreateRectRgn(box.left, box.top, box.right, box.bottom));
  SelectClipRgn(g_hdcBack, clip.get());
  HGDIOBJ previousFont = SelectObject(g_hdcBack, m_font.get());
  SetBkColor(g_hdcBack, kWhite);
  SetTextColor(g_hdcBack, kBlack);
  DrawTextW(g_hdcBack, text, -1, &shifted, DT_WORDBREAK);
  SelectObject(g_hdcBack, previousFont);
  SelectClipRgn(g_hdcBack, nullptr);
}

void HelpScreen::scrollPage(int lines) {
  wchar_t text[kPageChars] = {};
  loadPageText(text);
  RECT client{};
  GetClientRect(m_hWnd, &client);
  const RECT box = pageBox(client);
  RECT extent = box;
  HGDIOBJ previousFont = SelectObject(g_hdcBack, m_font.get());
  TEXTMETRICW metrics{};
  GetTextMetricsW(g_hdcBack, &metrics);
  const int textHeight = DrawTextW(g_hdcBack, text, -1, &extent, DT_WORDBREAK | DT_CALCRECT);
  SelectObject(g_hdcBack, previousFont);

  const int overflow = textHeight - (box.bottom - box.top);
  const int step = metrics.tmHeight > 0 ? metrics.tmHeight : 1;
  const int maxScroll = overflow > 0 ? (overflow + step - 1) / step * step : 0;
  m_pageScroll += lines * step;
  if (m_pageScroll > maxScroll) m_pageScroll = maxScroll;
  if (m_pageScroll < 0) m_pageScroll = 0;
}

int HelpScreen::onKey(WPARAM vk, LPARAM) {
  const bool back = vk == VK_ESCAPE || vk == VK_LEFT || vk == VK_F1;
  if (m_pageOpen) {
    if (back) {
      m_pageOpen = false;
      g_pSoftKeyBar->setRightKey(kSelectLabel);
    } else if (vk == VK_UP || vk == VK_DOWN) {
      scrollPage(vk == VK_DOWN ? 1 : -1);
    }
  } else if (vk == VK_RETURN || vk == VK_RIGHT || vk == VK_F2) {
    openPage();
  } else if (back) {
    SwitchScreen(SCREEN_MAIN_MENU);
  } else if (vk == VK_UP) {
    m_selectedTopic = m_selectedTopic == 0 ? kTopicCount - 1 : m_selectedTopic - 1;
  } else if (vk == VK_DOWN) {
    m_selectedTopic = m_selectedTopic == kTopicCount - 1 ? 0 : m_selectedTopic + 1;
  }
  RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_INTERNALPAINT);
  return 1;
}

int HelpScreen::onMouseUp(WPARAM wParam, LPARAM lParam) {
  if (onClick(wParam, lParam)) return 1;
  if (m_pageOpen) return 1;
  const int x = TapX(lParam);
  const int y = TapY(lParam);
  for (int i = 0; i < kTopicCount; ++i) {
    if (!pointInRect(x, y, m_topicRects[i])) continue;
    m_selectedTopic = i;
    repaintNow();
    Sleep(kTapFeedbackMs);
    openPage();
    repaintNow();
    return 1;
  }
  return 0;
}

void HelpScreen::onActivate() {
  g_pSoftKeyBar->setLeftKey(kBackLabel);
  g_pSoftKeyBar->setRightKey(kSelectLabel);
}

void HelpScreen::onDeactivate() { m_pageOpen = false; }

void HelpScreen::openPage() {
  m_pageOpen = true;
  m_pageScroll = 0;
  g_pSoftKeyBar->setRightKey(-1);
}

void HelpScreen::repaintNow() { RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW); }
