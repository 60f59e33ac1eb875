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
  ~ResultScreen() override;

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
  struct LinkItem {
    Picture normal;
    Picture highlighted;
  };

  void layoutResult(const RECT& client);
  void drawSongText(const RECT& box);
  // Draws one name in its value box, scrolled left by `offset` when it is
  // wider than the box, and returns by how much it is wider.
  int drawName(const wchar_t* name, const RECT& valueBox, int offset);
  // `room` is where the art may go without covering the links or the soft keys.
  void drawAlbumArt(int x, int y, const RECT& room);
  void loadAlbumArt(const RECT& room);
  void drawLinks(int x, int y);
  void activateLink();
  void onMarqueeTimer(UINT_PTR timerId);
  void repaint(UINT flags) const;

  std::unique_ptr<SongRecord> m_record;
  Picture m_successHeader;
  Picture m_plainHeader;
  Picture m_notFoundPicture;
  Picture m_placeholderArt;
  // The loaded album art; empty while the placeholder is shown.
  Picture m_albumArt;
  Picture m_getLabel;
  LinkItem m_links[kMaxItems];
  FontHandle m_textFont;
  FontHandle m_compactFont;
  int m_selected = 0;
  int m_itemCount = 1;
  RECT m_itemRects[kMaxItems] = {};
  bool m_albumArtLoaded = false;
  // The room the loaded art was fitted to; a window resized meanwhile fits it anew.
  RECT m_albumArtRoom = {};
  bool m_artistScroll = true;
  int m_artistOffset = 0;
  int m_artistOverflow = 0;
  int m_trackOffset = 0;
  int m_trackOverflow = 0;
  // A name that has jumped back to its start rests there for a second
  // before it moves again; the pause timer measures the rest.
  bool m_artistResting = false;
  bool m_trackResting = false;
};
