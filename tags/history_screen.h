// The list of stored tags, newest first: the date each was stored and
// "artist - title". A tag is opened on the result page, deleted, or a new
// identification started from the Options menu. The highlighted line scrolls
// sideways when it is wider than the screen.
#pragma once

#include <string>
#include <vector>

#include "app/screen/gdi_handle.h"
#include "app/screen/picture.h"
#include "app/screen/screen.h"
#include "ident/song_record.h"
#include "platform/gdi/gdi.h"

class HistoryScreen : public Screen {
 public:
  static constexpr int kMaxRows = 10;
  static constexpr int kMaxMenuEntries = 3;
  // Sideways scroll: the pause at the start of the line, then the steps.
  static constexpr UINT_PTR kPauseTimer = 300;
  static constexpr UINT_PTR kStepTimer = 301;
  static constexpr UINT kFirstPauseMs = 100;
  static constexpr UINT kPauseMs = 1000;
  static constexpr UINT kRestMs = 1000;
  static constexpr UINT kStepMs = 200;
  static constexpr int kStepPixels = 3;
  // The date column; the title starts one pixel to its right.
  static constexpr int kDateWidth = 90;
  static constexpr int kMenuWidth = 200;

  HistoryScreen(HINSTANCE hInst, HWND hWnd);

  void paint(HDC* hdc, RECT* client) override;
  int onKey(WPARAM vk, LPARAM keyData) override;
  int onMouseUp(WPARAM wParam, LPARAM lParam) override;
  void onTimer(WPARAM timerId, LPARAM lParam) override;
  void onActivate() override;
  void onDeactivate() override;

  int count() const { return static_cast<int>(m_records.size()); }
  // The tag at list position p (0 is the newest).
  const SongRecord& listed(int p) const { return m_records[p]; }
  int cursor() const { return m_cursor; }
  int firstVisible() const { return m_firstVisible; }
  int visibleRows() const { return m_visibleRows; }
  int rowHeight() const { return m_metrics.tmHeight; }
  const RECT& listArea() const { return m_listArea; }
  bool menuOpen() const { return m_menuOpen; }
  int menuSelection() const { return m_menuSelection; }
  int menuEntryCount() const { return static_cast<int>(m_menuTexts.size()); }
  const RECT& menuEntryRect(int i) const { return m_menuEntryRects[i]; }
  int marqueeOffset() const { return m_marqueeOffset; }
  int marqueeOverflow() const { return m_marqueeOverflow; }

 private:
  enum MenuEntry { ENTRY_ID_INFO = 0, ENTRY_DELETE_ID = 1, ENTRY_NEW_ID = 2 };

  void reload();
  void layout();
  void drawList();
  void drawRow(const SongRecord& tag, const RECT& row, bool highlighted);
  void drawTitle(const std::wstring& title, const RECT& box, bool highlighted);
  void setHitRects();
  void drawMenu(const RECT& client);
  void onListKey(WPARAM vk);
  void onMenuKey(WPARAM vk);
  void openHighlightedTag();
  void runHighlightedEntry();
  void deleteHighlightedTag();
  void startNewId();
  bool tapMenu(int x, int y);
  bool tapRow(int x, int y);
  void onPauseTimer();
  void onStepTimer();
  void stopScroll();
  void restartScroll();
  void repaint();
  void repaintNow();

  std::vector<SongRecord> m_records;  // newest first, at most kMaxRows
  Picture m_banner;
  FontHandle m_font;
  TEXTMETRICW m_metrics{};
  PenHandle m_highlightPen;
  BrushHandle m_highlightBrush;
  BrushHandle m_whiteBrush;
  BrushHandle m_blackBrush;
  int m_cursor = 0;
  int m_firstVisible = 0;
  int m_visibleRows = 0;
  bool m_menuOpen = false;
  int m_menuSelection = 0;
  std::vector<std::wstring> m_menuTexts;
  int m_marqueeOffset = 0;
  int m_marqueeOverflow = 0;
  // The line rests at its start before it moves: the pause timer's next
  // tick then starts the steps instead of putting the line back.
  bool m_resting = false;
  RECT m_listArea{};
  RECT m_rowRects[kMaxRows] = {};
  RECT m_menuRect{};
  RECT m_menuFrame{};
  RECT m_menuEntryRects[kMaxMenuEntries] = {};
  int m_menuEntryHeight = 0;
};
