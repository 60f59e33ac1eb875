// The page that shares a found song by SMS: the user types a ten-digit North
// American number behind the fixed "+1", and "Share ID!" sends the song's
// message text to it. Afterwards, or on "back", the result page returns.
#pragma once

#include <memory>
#include <string>

#include "app/screen/gdi_handle.h"
#include "app/screen/picture.h"
#include "app/screen/screen.h"
#include "ident/song_record.h"

class SmsScreen : public Screen {
 public:
  static constexpr UINT_PTR kCaretTimer = 6969;
  static constexpr UINT kCaretMs = 500;
  // "+1" and ten digits.
  static constexpr std::size_t kFullNumber = 12;

  SmsScreen(HINSTANCE hInst, HWND hWnd);
  ~SmsScreen() override;

  void paint(HDC* hdc, RECT* client) override;
  int onKey(WPARAM vk, LPARAM keyData) override;
  void onTimer(WPARAM timerId, LPARAM lParam) override;
  void onActivate() override;
  void onDeactivate() override;

  // Keeps a deep copy of `record` (replacing the one held); the caller keeps
  // what it passed. Call it after SwitchScreen(7).
  void setRecord(const SongRecord* record);

  // Appends the digit while the number is not complete.
  void appendDigit(wchar_t digit);
  // Removes the last digit; with only "+1" left, goes back instead.
  void deleteLast();
  // Sends `text` to a complete `number`, then shows the result page again.
  // An incomplete number does nothing.
  void sendSms(const std::wstring& number, const wchar_t* text);

  const SongRecord* record() const { return m_record.get(); }
  const std::wstring& number() const { return m_number; }
  bool caretVisible() const { return m_caretVisible; }

 private:
  void drawNumber(const RECT& client, int top);

  std::unique_ptr<SongRecord> m_record;
  bool m_caretVisible = true;
  Picture m_banner;
  Picture m_picture;
  Picture m_inputBox;
  // Made for the room the prompt has in the window, at most the page font.
  FontHandle m_promptFont;
  int m_promptRoom = -1;
  FontHandle m_numberFont;
  // Kept between visits: the number typed last is offered again.
  std::wstring m_number = L"+1";
};
