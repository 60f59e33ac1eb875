#include "screens/sms_screen.h"

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <vector>

#include "app/log.h"
#include "app/screen/look.h"
#include "app/screen/screen_manager.h"
#include "app/screen/soft_key_bar.h"
#include "app/state.h"
#include "app/strings.h"
#include "platform/gdi/gdi.h"
#include "platform/phone/sms.h"
#include "platform/system/wide_text.h"
#include "platform/window/window.h"

namespace {

constexpr int kBanner = 113;
constexpr int kPicture = 142;
constexpr int kInputBox = 143;
constexpr int kBackLabel = 161;
constexpr int kShareLabel = 165;
constexpr int kFontHeight = 30;
// The number's groups hold three digits and the bar (40 pixels) and four
// digits and the bar (55 pixels) at this height; at the page font's height
// the digits would be cut off.
constexpr int kNumberFontHeight = 20;
// The smallest the prompt shrinks to on a narrow window.
constexpr int kMinPromptHeight = 10;
// Right of the number's anchor, the last group ends here.
constexpr int kEntryWidth = 205;
// The input box's rounded corners, and how far it reaches left and right of the number.
constexpr int kInputBoxBorder = 8;
constexpr int kInputBoxMargin = 10;
// On the smallest screens the picture sinks this far into the soft-key bar.
constexpr int kSmallPictureRise = 62;
constexpr std::size_t kPrefixLength = 2;  // "+1"
constexpr std::size_t kMaxUnits = 160;    // one message's worth of UTF-16 units
// The provider data travels in a buffer of this size, only its start set.
constexpr DWORD kProviderBufferSize = 688;

constexpr const wchar_t* kPrompt = L"Enter a number to send the\r\nsong details and a link to\r\nmore information:";
constexpr const wchar_t* kPromptLines[] = {L"Enter a number to send the", L"song details and a link to",
                                           L"more information:"};

// Each group of the number: where its rectangle lies right of x0, and which
// characters of the number it shows.
struct Group {
  int left;
  int right;
  std::size_t first;
  std::size_t count;
};
constexpr Group kGroups[3] = {{50, 90, 2, 3}, {100, 140, 5, 3}, {150, 205, 8, 4}};

struct FreeText {
  void operator()(wchar_t* text) const { std::free(text); }
};

// The anchor of the number entry by width class, moved left where the input
// box round the last group would end past the window's edge.
POINT EntryAnchor(const RECT& client, int top) {
  POINT anchor{client.left + 60, top + 100};
  if (client.right > 320)
    anchor = POINT{client.left + 50, top + 175};
  else if (client.right > 240)
    anchor = POINT{client.left + 30, top + 75};
  anchor.x = std::max<LONG>(client.left + kInputBoxMargin,
                            std::min<LONG>(anchor.x, client.right - kEntryWidth - kInputBoxMargin - 5));
  return anchor;
}

// The page font, or a smaller one where the prompt's widest line would not
// fit into `room` pixels.
FontHandle PromptFont(HDC dc, int room) {
  for (int height = kFontHeight;; --height) {
    FontHandle font = CreatePageFont(height);
    if (height == kMinPromptHeight) return font;
    HGDIOBJ previous = SelectObject(dc, font.get());
    bool fits = true;
    for (const wchar_t* line : kPromptLines) {
      SIZE extent{};
      GetTextExtentPoint32W(dc, line, static_cast<int>(std::wcslen(line)), &extent);
      fits = fits && extent.cx <= room;
    }
    SelectObject(dc, previous);
    if (fits) return font;
  }
}

// How many units of the text one message takes: at most 160, one fewer when
// the 160th would be the first half of a surrogate pair, so that no
// character is cut in two.
std::size_t MessageUnits(const std::u16string& text) {
  if (text.size() <= kMaxUnits) return text.size();
  const char16_t last = text[kMaxUnits - 1];
  return last >= 0xD800 && last <= 0xDBFF ? kMaxUnits - 1 : kMaxUnits;
}

// The library's failures, which the page reports in the log.
bool IsSmsFailure(HRESULT result) {
  const auto code = static_cast<DWORD>(result);
  return code == 0x82000001u || code == 0x82000002u || (code >= 0x82000100u && code <= 0x8200010Fu) ||
         (code >= 0x82000200u && code <= 0x8200020Du) || code == 0x02000003u;
}

}  // namespace

SmsScreen::SmsScreen(HINSTANCE hInst, HWND hWnd)
    : Screen(hInst, hWnd),
      m_banner(kBanner),
      m_picture(kPicture),
      m_inputBox(kInputBox),
      m_numberFont(CreatePageFont(kNumberFontHeight)) {}

SmsScreen::~SmsScreen() { KillTimer(m_hWnd, kCaretTimer); }

void SmsScreen::paint(HDC* hdc, RECT* client) {
  eraseBackground(g_hdcBack, client);
  m_banner.draw(client->right / 2 - m_banner.width() / 2, 0);
  const int bottom = client->bottom - SoftKeyBar::kHeight;
  if (client->right > 240)
    m_picture.draw(client->right - m_picture.width(), bottom - m_picture.height());
  else
    m_picture.draw(client->right - m_picture.width(), bottom - kSmallPictureRise);
  const int top = client->top + m_banner.height();
  RECT prompt{client->left + 35, top + 5, client->left + 435, top + 105};
  const int room = std::min(prompt.right, client->right) - prompt.left;
  if (room != m_promptRoom) {
    m_promptFont = PromptFont(g_hdcBack, room);
    m_promptRoom = room;
  }
  HGDIOBJ previousFont = SelectObject(g_hdcBack, m_promptFont.get());
  SetTextColor(g_hdcBack, kBlack);
  SetBkColor(g_hdcBack, kWhite);
  DrawTextW(g_hdcBack, kPrompt, -1, &prompt, 0);
  SelectObject(g_hdcBack, m_numberFont.get());
  drawNumber(*client, top);
  SelectObject(g_hdcBack, previousFont);
  g_pSoftKeyBar->draw(g_hdcBack);
  PresentBackBuffer(*hdc, *client);
}

void SmsScreen::drawNumber(const RECT& client, int top) {
  const POINT anchor = EntryAnchor(client, top);
  // The box reaches round all three groups and the height of their font,
  // so that no digit stands on or outside its outline.
  TEXTMETRICW metrics{};
  GetTextMetricsW(g_hdcBack, &metrics);
  const RECT box{anchor.x - kInputBoxMargin, anchor.y - 5, anchor.x + kEntryWidth + kInputBoxMargin,
                 std::max<LONG>(anchor.y - 5 + m_inputBox.height(), anchor.y + 7 + metrics.tmHeight + 4)};
  m_inputBox.drawFramed(box, kInputBoxBorder);
  const std::size_t typed = m_number.size() - kPrefixLength;
  // The group being filled: the first until three digits, the second until
  // six, then the third.
  const int filling = typed < 3 ? 0 : typed < 6 ? 1 : 2;
  for (int group = 0; group <= filling; ++group) {
    const Group& g = kGroups[group];
    std::wstring text = m_number.size() > g.first ? m_number.substr(g.first, g.count) : std::wstring();
    if (group == filling && m_caretVisible) text += L'|';
    RECT box{anchor.x + g.left, anchor.y + 7, anchor.x + g.right, client.bottom - SoftKeyBar::kHeight};
    DrawTextW(g_hdcBack, text.c_str(), -1, &box, 0);
  }
}

int SmsScreen::onKey(WPARAM vk, LPARAM) {
  if (vk >= '0' && vk <= '9') {
    appendDigit(static_cast<wchar_t>(vk));
  } else if (vk == VK_OEM_PERIOD) {
    appendDigit(L'0');
  } else if (vk == VK_BACK || vk == VK_CLEAR || vk == VK_ESCAPE || vk == VK_LEFT || vk == VK_DELETE) {
    deleteLast();
  } else if (vk == VK_F1) {
    SwitchScreen(PopScreen());
  } else if (vk == VK_F2 && m_record) {
    const std::unique_ptr<wchar_t, FreeText> text(AnsiToWide(m_record->smsMessage));
    if (text) sendSms(m_number, text.get());
  }
  RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_INTERNALPAINT);
  return 0;
}

void SmsScreen::onTimer(WPARAM, LPARAM) {
  m_caretVisible = !m_caretVisible;
  RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
}

void SmsScreen::onActivate() {
  g_pSoftKeyBar->setLeftKey(kBackLabel);
  g_pSoftKeyBar->setRightKey(kShareLabel);
  SetTimer(m_hWnd, kCaretTimer, kCaretMs, nullptr);
}

void SmsScreen::onDeactivate() { KillTimer(m_hWnd, kCaretTimer); }

void SmsScreen::setRecord(const SongRecord* record) {
  m_record = record ? std::make_unique<SongRecord>(*record) : nullptr;
}

void SmsScreen::appendDigit(wchar_t digit) {
  if (m_number.size() < kFullNumber) m_number += digit;
}

void SmsScreen::deleteLast() {
  if (m_number.size() > kPrefixLength)
    m_number.pop_back();
  else
    SwitchScreen(PopScreen());
}

void SmsScreen::sendSms(const std::wstring& number, const wchar_t* text) {
  if (number.size() < kFullNumber) return;
  const std::u16string units = WideToUtf16(text);
  const DWORD byteCount = static_cast<DWORD>(2 * MessageUnits(units));

  SMS_ADDRESS destination{};
  destination.smsatAddressType = SMSAT_INTERNATIONAL;
  number.copy(destination.ptsAddress, SMS_MAX_ADDRESS_LENGTH - 1);

  std::vector<BYTE> providerBuffer(kProviderBufferSize, 0);
  auto* providerData = reinterpret_cast<TEXT_PROVIDER_SPECIFIC_DATA*>(providerBuffer.data());
  providerData->dwMessageOptions = PS_MESSAGE_OPTION_NONE;
  providerData->psMessageClass = PS_MESSAGE_CLASS1;
  providerData->psReplaceOption = PSRO_NONE;

  SMS_HANDLE handle = nullptr;
  HANDLE messageAvailable = nullptr;
  SmsOpen(SMS_MSGTYPE_TEXT, SMS_MODE_SEND, &handle, &messageAvailable);
  const HRESULT result =
      SmsSendMessage(handle, nullptr, &destination, nullptr, reinterpret_cast<const BYTE*>(units.data()), byteCount,
                     providerBuffer.data(), kProviderBufferSize, SMSDE_OPTIMAL, SMS_OPTION_DELIVERY_NONE, nullptr);
  if (IsSmsFailure(result)) LogMessage("SMS Error\r\n");
  SmsClose(handle);
  // The 6 pushed when this page opened stays on the back stack.
  SwitchScreen(SCREEN_RESULT);
}
