// The page a found song ends on: "ID Success!", the artist and track names
// (side-scrolling when too wide), the album art, and a column of store links
// ending with "Share ID". Without a record it shows the not-found picture.
#pragma once

#include <memory>

#include "app/screen/gdi_handle.h"
#include "app/screen/picture.h"
#include "app/screen/screen.h"
#include "ident/song_record.h"

class ResultScreen : public Screen {
 public:
  static constexpr int kMaxItems = 5;
  // Marquee timers: artist pause and step, track pause and step.
  static constexpr UINT_PTR kArtistPauseTimer = 400;
  static constexpr UINT_PTR kArtistStepTimer = 401;
  static constexpr UINT_PTR kTrackPauseTimer = 402;
  static constexpr UINT_PTR kTrackStepTimer = 403;

  ResultScreen(HINSTANCE hInst, HWND hWnd);

  void paint(HDC* hdc, RECT* client) override;
  int onKey(WPARAM vk, LPARAM keyData) override;
  int onMouseUp(WPARAM wParam, LPARAM lParam) override;
  void onTimer(WPARAM timerId, LPARAM lParam) override;
  void onActivate() override;
  void onDeactivate() override;

  // Shows a deep copy of `record`, or the not-found page for null. The
  // caller keeps what it passed. Call it after SwitchScreen(6).
  void setRecord(const SongRecord* record);

  const SongRecord* record() const { return m_record.get(); }
  int selected() const { return m_selected; }
  int itemCount() const { return m_itemCount; }
  const RECT& itemRect(int k) const { return m_itemRects[k]; }
  int artistOffset() const { return m_artistOffset; }
  int trackOffset() const { return m_trackOffset; }
  int artistOverflow() const { return m_artistOverflow; }
  int trackOverflow() const { return m_trackOverflow; }

 private:
  void layoutResult(const RECT& client);
  void drawSongText(const RECT& box);
  void drawName(const wchar_t* name, const RECT& valueBox, int offset, int* overflow);
  void drawAlbumArt(int x, int y, const RECT& room);
  void loadAlbumArt(const RECT& room);
  void drawLinks(int x, int y);
  void activateLink();
  void onMarqueeTimer(UINT_PTR timerId);
  // The one-second rest after a name jumps back to its start.
  void startRest(UINT_PTR pauseTimer);
  void repaint(UINT flags);

  std::unique_ptr<SongRecord> m_record;
  Picture m_successHeader;
  Picture m_plainHeader;
  Picture m_notFoundPicture;
  Picture m_placeholderArt;
  // The loaded album art; empty while the placeholder is shown.
  Picture m_albumArt;
  Picture m_getLabel;
  Picture m_linkImages[kMaxItems];
  Picture m_linkHighlighted[kMaxItems];
  FontHandle m_textFont;
  int m_selected = 0;
  int m_itemCount = 1;
  RECT m_itemRects[kMaxItems] = {};
  bool m_albumArtLoaded = false;
  bool m_artistScroll = true;
  int m_artistOffset = 0;
  int m_artistOverflow = 0;
  int m_trackOffset = 0;
  int m_trackOverflow = 0;
  // Which rest is running (timer id), 0 for none: during a rest the pause
  // timer's next tick starts the step timer instead of resetting the name.
  UINT_PTR m_restingFor = 0;
};
