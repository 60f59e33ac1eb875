#include "tags/history_screen.h"

#include <algorithm>
#include <cwchar>
#include <utility>

#include "app/screen/look.h"
#include "app/screen/screen_manager.h"
#include "app/screen/soft_key_bar.h"
#include "app/state.h"
#include "platform/window/window.h"
#include "screens/result_screen.h"
#include "tags/tag_date.h"
#include "tags/tag_store.h"

namespace {

constexpr int kBanner = 139;
constexpr int kBackLabel = 161;
constexpr int kOptionsLabel = 163;
constexpr int kFontHeight = 40;
constexpr int kMenuEntryPadding = 4;
constexpr int kMenuFrame = 3;
constexpr int kTitleChars = 512;  // 511 characters and the terminator
constexpr DWORD kTapFeedbackMs = 100;
constexpr RECT kNoRect{-1, -1, -1, -1};
// Song texts are shown as they are: an "&" is a character, not a mnemonic.
constexpr UINT kRowText = DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX;

std::wstring TitleText(const SongRecord& tag) {
  wchar_t text[kTitleChars];
  std::swprintf(text, kTitleChars, L"%ls - %ls", tag.artist ? tag.artist : L"",
                tag.trackTitle ? tag.trackTitle : L"");
  return text;
}

}  // namespace

HistoryScreen::HistoryScreen(HINSTANCE hInst, HWND hWnd)
    : Screen(hInst, hWnd),
      m_banner(kBanner),
      m_font(CreatePageFont(kFontHeight)),
      m_highlightPen(CreatePen(PS_SOLID, 1, kHighlight)),
      m_highlightBrush(CreateSolidBrush(kHighlight)),
      m_whiteBrush(CreateSolidBrush(kWhite)),
      m_blackBrush(CreateSolidBrush(kBlack)) {
  HGDIOBJ previousFont = SelectObject(g_hdcBack, m_font.get());
  GetTextMetricsW(g_hdcBack, &m_metrics);
  SelectObject(g_hdcBack, previousFont);
  layout();
}

void HistoryScreen::layout() {
  RECT client{};
  GetClientRect(m_hWnd, &client);
  m_listArea = RECT{client.left, client.top + m_banner.height(), client.right, client.bottom - SoftKeyBar::kHeight};
  m_visibleRows = std::max(0, (m_listArea.bottom - m_listArea.top) / (m_metrics.tmHeight + 1));
  // Moving and deleting keep the highlighted row in view; so does a window
  // that grows shorter.
  if (m_cursor < m_firstVisible) m_firstVisible = m_cursor;
  if (m_visibleRows > 0 && m_cursor >= m_firstVisible + m_visibleRows) m_firstVisible = m_cursor - m_visibleRows + 1;
}

// Rebuilds the list from disk: the highest-numbered tags that load, newest
// first. Damaged files are passed over, so they never hide a good tag.
void HistoryScreen::reload() {
  m_records.clear();
  for (const std::wstring& name : ListTagFilesNewestFirst()) {
    if (count() == kMaxRows) break;
    SongRecord tag;
    if (loadTag(tag, name.c_str())) m_records.push_back(std::move(tag));
  }
  if (count() > 0)
    m_menuTexts = {L"ID Info", L"Delete ID", L"New ID!"};
  else
    m_menuTexts = {L"New ID!"};
}

void HistoryScreen::onActivate() {
  m_cursor = 0;
  m_menuSelection = 0;
  m_firstVisible = 0;
  m_marqueeOffset = 0;
  m_marqueeOverflow = 0;
  m_menuOpen = false;
  reload();
  g_pSoftKeyBar->setLeftKey(kBackLabel);
  g_pSoftKeyBar->setRightKey(kOptionsLabel);
  restartScroll();
}

void HistoryScreen::onDeactivate() {
  stopScroll();
  m_menuOpen = false;
}

void HistoryScreen::paint(HDC* hdc, RECT* client) {
  layout();
  eraseBackground(g_hdcBack, client);
  m_banner.draw(client->right / 2 - m_banner.width() / 2, 0);
  g_pSoftKeyBar->draw(g_hdcBack);
  HGDIOBJ previousFont = SelectObject(g_hdcBack, m_font.get());
  SetTextColor(g_hdcBack, kBlack);
  drawList();
  setHitRects();
  if (m_menuOpen) drawMenu(*client);
  SelectObject(g_hdcBack, previousFont);
  PresentBackBuffer(*hdc, *client);
}

void HistoryScreen::drawList() {
  int top = m_listArea.top;
  const int last = std::min(count(), m_firstVisible + m_visibleRows);
  for (int p = std::max(0, m_firstVisible); p < last; ++p) {
    drawRow(m_records[p], RECT{m_listArea.left, top, m_listArea.right, top + m_metrics.tmHeight}, p == m_cursor);
    top += m_metrics.tmHeight + 1;
  }
}

// A highlighted row is filled down to the line below it; every other row has
// a line in the highlight colour along its top.
void HistoryScreen::drawRow(const SongRecord& tag, const RECT& row, bool highlighted) {
  if (highlighted) {
    const RECT fill{row.left, row.top, row.right, row.bottom + 1};
    FillRect(g_hdcBack, &fill, m_highlightBrush.get());
    SetBkColor(g_hdcBack, kHighlight);
  } else {
    HGDIOBJ previousPen = SelectObject(g_hdcBack, m_highlightPen.get());
    MoveToEx(g_hdcBack, row.left, row.top, nullptr);
    LineTo(g_hdcBack, row.right + 1, row.top);
    SelectObject(g_hdcBack, previousPen);
    SetBkColor(g_hdcBack, kWhite);
  }
  RECT dateBox{row.left, row.top + 1, row.left + kDateWidth, row.bottom};
  const std::wstring date = TagDateText(tag.created);
  DrawTextW(g_hdcBack, date.c_str(), -1, &dateBox, DT_CENTER | kRowText);
  drawTitle(TitleText(tag), RECT{row.left + kDateWidth + 1, row.top + 1, row.right, row.bottom}, highlighted);
}

// The highlighted title, when wider than its box, is drawn marqueeOffset
// pixels further left and clipped to the box.
void HistoryScreen::drawTitle(const std::wstring& title, const RECT& box, bool highlighted) {
  RECT shifted = box;
  if (highlighted) {
    RECT extent = box;
    DrawTextW(g_hdcBack, title.c_str(), -1, &extent, DT_CALCRECT | kRowText);
    m_marqueeOverflow = (extent.right - extent.left) - (box.right - box.left);
    if (m_marqueeOverflow > 0) {
      shifted.left -= m_marqueeOffset;
      shifted.right = shifted.left + (extent.right - extent.left);
    }
  }
  RegionHandle clip(CreateRectRgn(box.left, box.top, box.right, box.bottom));
  SelectClipRgn(g_hdcBack, clip.get());
  DrawTextW(g_hdcBack, title.c_str(), -1, &shifted, DT_LEFT | kRowText);
  SelectClipRgn(g_hdcBack, nullptr);
}

// Only rows that show a tag can be tapped.
void HistoryScreen::setHitRects() {
  for (int i = 0; i < kMaxRows; ++i) {
    if (i < m_visibleRows && m_firstVisible + i < count()) {
      const int top = m_listArea.top + i * (m_metrics.tmHeight + 1);
      m_rowRects[i] = RECT{m_listArea.left, top, m_listArea.right, top + m_metrics.tmHeight};
    } else {
      m_rowRects[i] = kNoRect;
    }
  }
}

// A box at the bottom right above the soft keys, framed in black: three
// entries stacked, or "New ID!" alone while the list is empty.
void HistoryScreen::drawMenu(const RECT& client) {
  const int entries = menuEntryCount();
  const int menuHeight = entries * (m_metrics.tmHeight + kMenuEntryPadding);
  m_menuRect.right = client.right;
  m_menuRect.left = m_menuRect.right - kMenuWidth;
  m_menuRect.bottom = client.bottom - SoftKeyBar::kHeight;
  m_menuRect.top = m_menuRect.bottom - menuHeight;
  m_menuFrame = RECT{m_menuRect.left - kMenuFrame, m_menuRect.top - kMenuFrame, m_menuRect.right + 1,
                     m_menuRect.bottom + 1};
  FillRect(g_hdcBack, &m_menuFrame, m_blackBrush.get());
  FillRect(g_hdcBack, &m_menuRect, m_whiteBrush.get());

  m_menuEntryHeight = menuHeight / entries;
  for (int i = 0; i < kMaxMenuEntries; ++i) {
    const int row = std::min(i, entries - 1);
    const int top = m_menuRect.top + row * m_menuEntryHeight;
    m_menuEntryRects[i] = RECT{m_menuRect.left, top, m_menuRect.right, top + m_menuEntryHeight};
  }
  for (int i = 0; i < entries; ++i) {
    RECT entry = m_menuEntryRects[i];
    const bool highlighted = entries == 1 || i == m_menuSelection;
    if (highlighted) FillRect(g_hdcBack, &entry, m_highlightBrush.get());
    SetBkColor(g_hdcBack, highlighted ? kHighlight : kWhite);
    DrawTextW(g_hdcBack, m_menuTexts[i].c_str(), -1, &entry, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  }
}

int HistoryScreen::onKey(WPARAM vk, LPARAM) {
  if (m_menuOpen) {
    onMenuKey(vk);
    if (m_menuSelection > kMaxMenuEntries - 1) m_menuSelection = 0;
    if (m_menuSelection < 0) m_menuSelection = kMaxMenuEntries - 1;
  } else {
    onListKey(vk);
    if (m_cursor < 0) {
      m_cursor = count() - 1;
      m_firstVisible = std::max(0, count() - m_visibleRows);
    }
    if (m_cursor >= count() || m_cursor < 0) {
      m_cursor = 0;
      m_firstVisible = 0;
    }
  }
  repaint();
  return 1;
}

void HistoryScreen::onListKey(WPARAM vk) {
  switch (vk) {
    case VK_RETURN:
    case VK_RIGHT:
      openHighlightedTag();
      break;
    case VK_ESCAPE:
    case VK_LEFT:
    case VK_F1:
      SwitchScreen(PopScreen());
      break;
    case VK_UP:
      --m_cursor;
      if (m_cursor < m_firstVisible) --m_firstVisible;
      restartScroll();
      break;
    case VK_DOWN:
      ++m_cursor;
      if (m_cursor >= m_firstVisible + m_visibleRows) ++m_firstVisible;
      restartScroll();
      break;
    case VK_F2:
      m_menuOpen = true;
      stopScroll();
      break;
    default:
      break;
  }
}

void HistoryScreen::onMenuKey(WPARAM vk) {
  switch (vk) {
    case VK_RETURN:
    case VK_RIGHT:
      runHighlightedEntry();
      break;
    case VK_LEFT:
    case VK_F1:
    case VK_F2:
      m_menuOpen = false;
      restartScroll();
      break;
    case VK_UP:
      --m_menuSelection;
      break;
    case VK_DOWN:
      ++m_menuSelection;
      break;
    default:
      break;
  }
}

void HistoryScreen::openHighlightedTag() {
  if (count() == 0) return;
  SwitchScreen(SCREEN_RESULT);
  if (g_nCurrentScreen != SCREEN_RESULT) return;
  // The result page keeps a copy of its own.
  static_cast<ResultScreen*>(g_apScreens[SCREEN_RESULT])->setRecord(&m_records[m_cursor]);
  PushScreen(SCREEN_HISTORY);
}

void HistoryScreen::runHighlightedEntry() {
  if (count() == 0) {
    startNewId();
    return;
  }
  switch (m_menuSelection) {
    case ENTRY_ID_INFO:
      m_menuOpen = false;
      openHighlightedTag();
      break;
    case ENTRY_DELETE_ID:
      deleteHighlightedTag();
      break;
    case ENTRY_NEW_ID:
      m_menuOpen = false;
      startNewId();
      break;
    default:
      break;
  }
}

// At once and without confirmation; the list keeps its scroll position as
// far as the highlighted row stays in view (see layout).
void HistoryScreen::deleteHighlightedTag() {
  deleteTag(m_records[m_cursor]);
  reload();
  m_cursor = std::max(0, std::min(m_cursor - 1, count() - 1));
  m_menuOpen = false;
  restartScroll();
}

void HistoryScreen::startNewId() {
  SwitchScreen(SCREEN_LISTENING);
  PushScreen(SCREEN_HISTORY);
}

int HistoryScreen::onMouseUp(WPARAM wParam, LPARAM lParam) {
  if (onClick(wParam, lParam)) return 1;
  const int x = TapX(lParam);
  const int y = TapY(lParam);
  if (m_menuOpen && tapMenu(x, y)) return 1;
  return tapRow(x, y) ? 1 : 0;
}

bool HistoryScreen::tapMenu(int x, int y) {
  for (int i = 0; i < kMaxMenuEntries; ++i) {
    if (!pointInRect(x, y, m_menuEntryRects[i])) continue;
    m_menuSelection = i;
    repaintNow();
    Sleep(kTapFeedbackMs);
    runHighlightedEntry();
    repaintNow();
    return true;
  }
  return false;
}

// The tapped row is highlighted, and after a moment acts as Enter: it opens
// the tag, or with the menu open runs the highlighted entry on it.
bool HistoryScreen::tapRow(int x, int y) {
  for (int i = 0; i < count() && i < m_visibleRows; ++i) {
    if (!pointInRect(x, y, m_rowRects[i])) continue;
    m_cursor = m_firstVisible + i;
    stopScroll();
    repaintNow();
    Sleep(kTapFeedbackMs);
    onKey(VK_RETURN, 0);
    repaintNow();
    return true;
  }
  return false;
}

void HistoryScreen::onTimer(WPARAM timerId, LPARAM) {
  if (timerId == kPauseTimer)
    onPauseTimer();
  else if (timerId == kStepTimer)
    onStepTimer();
}

// The line goes back to its start and rests there before it moves again.
// The rest is a second run of the pause timer rather than a wait, so that
// keys and taps are answered meanwhile.
void HistoryScreen::onPauseTimer() {
  KillTimer(m_hWnd, kPauseTimer);
  if (m_resting) {
    m_resting = false;
    SetTimer(m_hWnd, kStepTimer, kStepMs, nullptr);
    return;
  }
  m_marqueeOffset = 0;
  repaintNow();
  m_resting = true;
  SetTimer(m_hWnd, kPauseTimer, kRestMs, nullptr);
}

// Steps until the end of the line shows, then pauses there.
void HistoryScreen::onStepTimer() {
  m_marqueeOffset += kStepPixels;
  if (m_marqueeOffset > m_marqueeOverflow) {
    KillTimer(m_hWnd, kStepTimer);
    SetTimer(m_hWnd, kPauseTimer, kPauseMs, nullptr);
  }
  repaint();
}

void HistoryScreen::stopScroll() {
  KillTimer(m_hWnd, kPauseTimer);
  KillTimer(m_hWnd, kStepTimer);
  m_resting = false;
  m_marqueeOffset = 0;
}

void HistoryScreen::restartScroll() {
  stopScroll();
  SetTimer(m_hWnd, kPauseTimer, kFirstPauseMs, nullptr);
}

void HistoryScreen::repaint() { RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_INTERNALPAINT); }

void HistoryScreen::repaintNow() { RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW); }
