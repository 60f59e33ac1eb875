#include "screens/result_screen.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "app/main_window.h"
#include "app/platform_services.h"
#include "app/screen/look.h"
#include "app/screen/screen_manager.h"
#include "app/screen/soft_key_bar.h"
#include "app/state.h"
#include "platform/gdi/gdi.h"
#include "platform/system/images.h"
#include "platform/window/window.h"
#include "screens/sms_screen.h"
#include "tags/tag_store.h"

namespace {

constexpr int kSuccessHeader = 144;
constexpr int kPlainHeader = 113;
constexpr int kNotFoundPicture = 124;
constexpr int kPlaceholderArt = 127;
constexpr int kGetLabel = 130;
constexpr int kBackLabel = 161;
constexpr int kNewIdLabel = 162;
// Ringtone, Full Song, Wallpaper, ID Picks, Share ID: normal and highlighted.
constexpr int kLinkGifs[ResultScreen::kMaxItems][2] = {{133, 134}, {128, 129}, {137, 138}, {131, 132}, {135, 136}};
constexpr int kLinkFieldCount = 4;
constexpr int kTextFontHeight = 30;
// The two smaller width classes give each name half of a 40-pixel band: a
// 30-pixel font would lose the lower part of every letter there and the
// start of the labels, so their text is set in a font that fits the band.
constexpr int kCompactFontHeight = 19;

constexpr UINT kFirstPauseMs = 100;
constexpr UINT kPauseMs = 1000;
constexpr UINT kRestMs = 1000;
constexpr UINT kStepMs = 200;
constexpr int kStepPixels = 3;
constexpr DWORD kTapFeedbackMs = 100;
// Between the album art and the link column.
constexpr int kArtGap = 5;

constexpr UINT kRepaint = RDW_INVALIDATE | RDW_INTERNALPAINT;
constexpr UINT kRepaintNow = RDW_INVALIDATE | RDW_UPDATENOW;
// Names are drawn as they are: an "&" in a name is a character, not a prefix.
constexpr UINT kNameFormat = DT_VCENTER | DT_NOPREFIX;
constexpr UINT kLabelFormat = DT_RIGHT | DT_VCENTER | DT_SINGLELINE;

// The record's four store links, in the order their items are listed.
const char* LinkField(const SongRecord& record, int index) {
  switch (index) {
    case 0:
      return record.ringer;
    case 1:
      return record.fullSong;
    case 2:
      return record.wallpaper;
    default:
      return record.recommend;
  }
}

// Where the three parts of the page go, by width class.
struct ResultLayout {
  RECT text;
  POINT art;
  POINT links;
};

ResultLayout LayoutFor(const RECT& client, int top) {
  const LONG L = client.left;
  const LONG R = client.right;
  const LONG Y = top;
  if (R > 320) return {{L, Y, R, Y + 60}, {L + 100, Y + 110}, {L + 263, Y + 65}};
  if (R > 240) return {{L + 5, Y, R - 105, Y + 40}, {L + 10, Y + 45}, {R - 100, Y + 15}};
  return {{L, Y, R, Y + 40}, {L + 10, Y + 45}, {L + 133, Y + 50}};
}

}  // namespace

ResultScreen::ResultScreen(HINSTANCE hInst, HWND hWnd)
    : Screen(hInst, hWnd),
      m_successHeader(kSuccessHeader),
      m_plainHeader(kPlainHeader),
      m_notFoundPicture(kNotFoundPicture),
      m_placeholderArt(kPlaceholderArt),
      m_getLabel(kGetLabel),
      m_textFont(CreatePageFont(kTextFontHeight)),
      m_compactFont(CreatePageFont(kCompactFontHeight)) {
  for (int i = 0; i < kMaxItems; ++i) {
    m_links[i].normal.load(kLinkGifs[i][0]);
    m_links[i].highlighted.load(kLinkGifs[i][1]);
  }
}

ResultScreen::~ResultScreen() {
  for (UINT_PTR timer : {kArtistPauseTimer, kArtistStepTimer, kTrackPauseTimer, kTrackStepTimer})
    KillTimer(m_hWnd, timer);
}

void ResultScreen::setRecord(const SongRecord* record) {
  m_record = record ? std::make_unique<SongRecord>(*record) : nullptr;
  repaint(kRepaint);
}

void ResultScreen::paint(HDC* hdc, RECT* client) {
  eraseBackground(g_hdcBack, client);
  const Picture& header = m_record ? m_successHeader : m_plainHeader;
  header.draw(client->right / 2 - m_successHeader.width() / 2, 0);
  if (m_record) {
    layoutResult(*client);
  } else {
    // Centred between the header and the soft-key bar.
    const int top = client->top + m_successHeader.height();
    m_notFoundPicture.draw(client->right / 2 - m_notFoundPicture.width() / 2,
                           (client->bottom - SoftKeyBar::kHeight - top) / 2 - m_notFoundPicture.height() / 2 + top);
  }
  g_pSoftKeyBar->draw(g_hdcBack);
  PresentBackBuffer(*hdc, *client);
}

void ResultScreen::layoutResult(const RECT& client) {
  const ResultLayout layout = LayoutFor(client, client.top + m_successHeader.height());
  drawSongText(layout.text);
  const RECT room{layout.art.x, layout.art.y, layout.links.x - kArtGap, client.bottom - SoftKeyBar::kHeight};
  drawAlbumArt(layout.art.x, layout.art.y, room);
  drawLinks(layout.links.x, layout.links.y);
}

void ResultScreen::drawSongText(const RECT& box) {
  const LONG l = box.left, t = box.top, r = box.right, b = box.bottom;
  const LONG m = t + (b - t) / 2;
  const LONG q = l + (r - l) / 4;
  RECT artistLabel{l, t, q - 1, m - 1};
  RECT trackLabel{l, m, q - 1, b};
  const RECT artistValue{q + 4, t, r, m - 1};
  const RECT trackValue{q + 4, m, r, b};

  SetBkColor(g_hdcBack, kWhite);
  const FontHandle& font = b - t >= 2 * kTextFontHeight ? m_textFont : m_compactFont;
  HGDIOBJ previousFont = SelectObject(g_hdcBack, font.get());
  m_artistOverflow = drawName(m_record->artist, artistValue, m_artistOffset);
  m_trackOverflow = drawName(m_record->trackTitle, trackValue, m_trackOffset);
  SetBkColor(g_hdcBack, kWhite);
  DrawTextW(g_hdcBack, L"Artist:", -1, &artistLabel, kLabelFormat);
  DrawTextW(g_hdcBack, L"Track:", -1, &trackLabel, kLabelFormat);
  SelectObject(g_hdcBack, previousFont);
}

int ResultScreen::drawName(const wchar_t* name, const RECT& valueBox, int offset) {
  const wchar_t* text = name ? name : L"";
  RECT measured = valueBox;
  DrawTextW(g_hdcBack, text, -1, &measured, DT_CALCRECT | DT_NOPREFIX);
  const int textWidth = measured.right - measured.left;
  const int overflow = textWidth - (valueBox.right - valueBox.left);
  if (overflow > 0) {
    RECT shifted{valueBox.left - offset, valueBox.top, valueBox.left - offset + textWidth, valueBox.bottom};
    RegionHandle clip(CreateRectRgn(valueBox.left, valueBox.top, valueBox.right, valueBox.bottom));
    SelectClipRgn(g_hdcBack, clip.get());
    DrawTextW(g_hdcBack, text, -1, &shifted, kNameFormat);
    SelectClipRgn(g_hdcBack, nullptr);
  } else {
    RECT box = valueBox;
    DrawTextW(g_hdcBack, text, -1, &box, kNameFormat);
  }
  return overflow;
}

void ResultScreen::drawAlbumArt(int x, int y, const RECT& room) {
  const bool roomChanged = room.right - room.left != m_albumArtRoom.right - m_albumArtRoom.left ||
                           room.bottom - room.top != m_albumArtRoom.bottom - m_albumArtRoom.top;
  if (!m_albumArtLoaded || roomChanged) loadAlbumArt(room);
  (m_albumArt ? m_albumArt : m_placeholderArt).draw(x, y);
}

// The art comes from the tag store, where every result is saved before it
// is shown. A picture larger than its room (a foreign service may send any
// size) is shrunk to fit, keeping its proportions; one that fits is shown
// at its own size.
void ResultScreen::loadAlbumArt(const RECT& room) {
  m_albumArtLoaded = true;
  m_albumArtRoom = room;
  m_albumArt.reset();
  const std::string path = TagArtPath(m_record->tagNumber);
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return;
  std::fclose(file);
  m_albumArt.adopt(SHLoadImageFile(TagArtPathW(m_record->tagNumber).c_str()));
  if (!m_albumArt) return;

  const int roomWidth = std::max<int>(1, room.right - room.left);
  const int roomHeight = std::max<int>(1, room.bottom - room.top);
  const int width = m_albumArt.width();
  const int height = m_albumArt.height();
  if (width <= roomWidth && height <= roomHeight) return;
  const double scale = std::min(static_cast<double>(roomWidth) / width, static_cast<double>(roomHeight) / height);
  const int fitWidth = std::max(1, static_cast<int>(width * scale));
  const int fitHeight = std::max(1, static_cast<int>(height * scale));

  HDC scratch = CreateCompatibleDC(g_hdcBack);
  HBITMAP fitted = CreateCompatibleBitmap(g_hdcBack, fitWidth, fitHeight);
  HGDIOBJ previousTarget = SelectObject(scratch, fitted);
  HGDIOBJ previousSource = SelectObject(g_hdcImage, m_albumArt.handle());
  SetStretchBltMode(scratch, HALFTONE);
  StretchBlt(scratch, 0, 0, fitWidth, fitHeight, g_hdcImage, 0, 0, width, height, SRCCOPY);
  SelectObject(g_hdcImage, previousSource);
  SelectObject(scratch, previousTarget);
  DeleteDC(scratch);
  m_albumArt.adopt(fitted);
}

void ResultScreen::drawLinks(int x, int y) {
  m_getLabel.draw(x, y);
  int h = m_getLabel.height();
  // Every item is tapped within the size of the highlighted first one.
  const int tapWidth = m_links[0].highlighted.width();
  const int tapHeight = m_links[0].highlighted.height();
  int k = 0;
  for (int item = 0; item < kMaxItems; ++item) {
    const bool shareItem = item == kMaxItems - 1;
    if (!shareItem && !IsFieldPresent(LinkField(*m_record, item))) continue;
    const LinkItem& link = m_links[item];
    (k == m_selected ? link.highlighted : link.normal).draw(x, y + h);
    m_itemRects[k] = RECT{x, y + h, x + tapWidth, y + h + tapHeight};
    h += link.normal.height();
    ++k;
  }
  m_itemCount = k;
}

void ResultScreen::activateLink() {
  int present = 0;
  for (int field = 0; field < kLinkFieldCount; ++field) {
    const char* link = LinkField(*m_record, field);
    if (!IsFieldPresent(link)) continue;
    if (present == m_selected) {
      LaunchURL(link);
      return;
    }
    ++present;
  }
  // "Share ID": the SMS page gets its own copy of the record.
  SwitchScreen(SCREEN_SMS);
  if (g_nCurrentScreen != SCREEN_SMS) return;
  static_cast<SmsScreen*>(g_apScreens[SCREEN_SMS])->setRecord(m_record.get());
  PushScreen(SCREEN_RESULT);
}

int ResultScreen::onKey(WPARAM vk, LPARAM) {
  switch (vk) {
    case VK_UP:
      if (m_record && --m_selected < 0) m_selected = m_itemCount - 1;
      break;
    case VK_DOWN:
      if (m_record && ++m_selected >= m_itemCount) m_selected = 0;
      break;
    case VK_RETURN:
      if (m_record) activateLink();
      break;
    case 1:
    case VK_ESCAPE:
    case VK_LEFT:
    case 91:
    case VK_F1:
      SwitchScreen(PopScreen());
      break;
    case 2:
    case 92:
    case VK_F2:
      SwitchScreen(SCREEN_LISTENING);
      PushScreen(SCREEN_RESULT);
      break;
    default:
      break;
  }
  repaint(kRepaint);
  return 0;
}

int ResultScreen::onMouseUp(WPARAM wParam, LPARAM lParam) {
  if (onClick(wParam, lParam)) return 1;
  if (!m_record) return 0;
  const int x = TapX(lParam);
  const int y = TapY(lParam);
  for (int k = 0; k < m_itemCount; ++k) {
    if (!pointInRect(x, y, m_itemRects[k])) continue;
    m_selected = k;
    repaint(kRepaintNow);
    Sleep(kTapFeedbackMs);
    activateLink();
    repaint(kRepaintNow);
    return 1;
  }
  return 0;
}

void ResultScreen::onTimer(WPARAM timerId, LPARAM) { onMarqueeTimer(timerId); }

// Each name that is too wide slides left 3 pixels every 200 ms until its end
// shows, stays a second, jumps back to its start and rests there a second.
// The rests run on the pause timers, so keys and taps are handled meanwhile.
void ResultScreen::onMarqueeTimer(UINT_PTR timerId) {
  switch (timerId) {
    case kArtistPauseTimer:
      KillTimer(m_hWnd, kArtistPauseTimer);
      if (m_artistResting) {
        m_artistResting = false;
        if (m_artistScroll) SetTimer(m_hWnd, kArtistStepTimer, kStepMs, nullptr);
        return;
      }
      m_artistOffset = 0;
      repaint(kRepaintNow);
      m_artistResting = true;
      SetTimer(m_hWnd, kArtistPauseTimer, kRestMs, nullptr);
      return;
    case kArtistStepTimer:
      if (m_artistScroll) {
        m_artistOffset += kStepPixels;
        if (m_artistOffset > m_artistOverflow) {
          KillTimer(m_hWnd, kArtistStepTimer);
          SetTimer(m_hWnd, kArtistPauseTimer, kPauseMs, nullptr);
          // With both names too long the artist passes once, then the track alone moves.
          m_artistScroll = m_trackOverflow <= 0;
        }
      }
      repaint(kRepaint);
      return;
    case kTrackPauseTimer:
      KillTimer(m_hWnd, kTrackPauseTimer);
      if (m_trackResting) {
        m_trackResting = false;
        SetTimer(m_hWnd, kTrackStepTimer, kStepMs, nullptr);
        return;
      }
      m_trackOffset = 0;
      repaint(kRepaintNow);
      m_trackResting = true;
      SetTimer(m_hWnd, kTrackPauseTimer, kRestMs, nullptr);
      return;
    case kTrackStepTimer:
      m_trackOffset += kStepPixels;
      if (m_trackOffset > m_trackOverflow) {
        KillTimer(m_hWnd, kTrackStepTimer);
        SetTimer(m_hWnd, kTrackPauseTimer, kPauseMs, nullptr);
      }
      repaint(kRepaint);
      return;
    default:
      return;
  }
}

void ResultScreen::onActivate() {
  g_pSoftKeyBar->setLeftKey(kBackLabel);
  g_pSoftKeyBar->setRightKey(kNewIdLabel);
  m_artistScroll = true;
  m_artistResting = m_trackResting = false;
  m_artistOffset = m_trackOffset = 0;
  m_artistOverflow = m_trackOverflow = 0;
  SetTimer(m_hWnd, kArtistPauseTimer, kFirstPauseMs, nullptr);
  SetTimer(m_hWnd, kTrackPauseTimer, kFirstPauseMs, nullptr);
}

void ResultScreen::onDeactivate() {
  m_albumArt.reset();
  m_albumArtLoaded = false;
  for (UINT_PTR timer : {kArtistPauseTimer, kArtistStepTimer, kTrackPauseTimer, kTrackStepTimer})
    KillTimer(m_hWnd, timer);
  m_artistOffset = m_trackOffset = 0;
  m_selected = 0;
}

void ResultScreen::repaint(UINT flags) const {
  if (g_hWnd) RedrawWindow(m_hWnd, nullptr, nullptr, flags);
}
