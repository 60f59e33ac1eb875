#include "ident/searching_screen.h"

#include <cstdlib>
#include <cstring>

#include "app/screen/look.h"
#include "app/screen/screen_manager.h"
#include "app/screen/strip_page.h"
#include "app/state.h"
#include "audio/audio_recorder.h"
#include "ident/reply_parser.h"
#include "ident/song_record.h"
#include "net/http_handler.h"
#include "platform/audio/sound.h"
#include "platform/window/window.h"
#include "screens/result_screen.h"
#include "screens/try_again_screen.h"
#include "tags/tag_store.h"

namespace {

constexpr int kAnalyzing = 178;
constexpr int kStrip = 122;
constexpr int kBanner = 113;
constexpr int kLogo = 175;
constexpr int kCancelLabel = 177;
constexpr const wchar_t* kStartSound = L"#160";
constexpr const wchar_t* kSendError = L"Error sending recording to the server!";

}  // namespace

SearchingScreen::SearchingScreen(HINSTANCE hInst, HWND hWnd)
    : Screen(hInst, hWnd),
      m_analyzing(kAnalyzing),
      m_strip(kStrip),
      m_banner(kBanner),
      m_logo(kLogo),
      m_cancelLabel(kCancelLabel) {}

SearchingScreen::~SearchingScreen() {
  abandonRequest();
  joinWorker();
}

void SearchingScreen::paint(HDC* hdc, RECT* client) {
  eraseBackground(g_hdcBack, client);
  m_banner.draw(client->right / 2 - m_banner.width() / 2, 0);
  DrawStripPage({m_analyzing, m_strip, m_logo, m_cancelLabel}, *client, client->top + m_banner.height(),
                m_nAnimationOffset);
  PresentBackBuffer(*hdc, *client);
}

int SearchingScreen::onKey(WPARAM vk, LPARAM) {
  if (vk == VK_ESCAPE || vk == VK_F1) {
    cancel();
    SwitchScreen(PopScreen());
  }
  return 0;
}

void SearchingScreen::onTimer(WPARAM timerId, LPARAM) {
  if (timerId == kAnimationTimer) {
    m_nAnimationOffset = NextStripOffset(m_nAnimationOffset, m_strip.width());
  } else if (timerId == kTimeoutTimer) {
    cancel();
    showSendError();
  }
  RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_INTERNALPAINT);
}

void SearchingScreen::onActivate() {
  // 1. A request of this activation's own, not cancelled.
  joinWorker();
  const AudioRecorder* recorder = g_pRecorder;
  m_pRequest = std::make_shared<IdentificationRequest>(m_hWnd, ++m_nGeneration, recorder ? recorder->buffer() : nullptr,
                                                       recorder ? recorder->bufferSize() : 0);
  // 2. The start sound.
  PlaySoundW(kStartSound, m_hInst, SND_RESOURCE | SND_ASYNC);
  // 3. The time-out.
  SetTimer(m_hWnd, kTimeoutTimer, kTimeoutMs, nullptr);
  // 4. The worker that sends the recording.
  m_worker = std::thread(sendRecording, m_pRequest);
  // 5. The animation.
  SetTimer(m_hWnd, kAnimationTimer, kAnimationMs, nullptr);
}

// Whatever way the page is left, the request still in progress is told to
// stop, so no reply of this visit can act later.
void SearchingScreen::onDeactivate() {
  KillTimer(m_hWnd, kAnimationTimer);
  KillTimer(m_hWnd, kTimeoutTimer);
  abandonRequest();
}

void SearchingScreen::cancel() {
  abandonRequest();
  SwitchScreen(SCREEN_MAIN_MENU);
}

void SearchingScreen::abandonRequest() {
  if (m_pRequest) m_pRequest->cancel();
  m_pRequest.reset();
}

void SearchingScreen::showSendError() {
  SwitchScreen(SCREEN_SEND_FAILED);
  if (g_nCurrentScreen == SCREEN_SEND_FAILED)
    static_cast<TryAgainScreen*>(g_apScreens[SCREEN_SEND_FAILED])->setMessage(kSendError);
}

void SearchingScreen::onSendFailed(WPARAM generation) {
  if (!m_pRequest || m_pRequest->generation() != generation) return;
  m_pRequest.reset();
  showSendError();
}

void SearchingScreen::joinWorker() {
  if (m_worker.joinable()) m_worker.join();
}

void SearchingScreen::onUserMessage() {
  // 1. Only this activation's reply, once its POST has posted it: a late
  // reply of a cancelled or earlier request finds nothing to take.
  std::unique_ptr<HTTPHandler> handler = m_pRequest ? m_pRequest->takeReply() : nullptr;
  if (!handler) return;
  m_pRequest.reset();
  // 2. Parse the reply, then release the handler.
  std::unique_ptr<SongRecord> record =
      parseReply(reinterpret_cast<const char*>(handler->reply()), static_cast<int>(handler->replyLength()));
  handler.reset();
  // 3.-5. A song: its album art, unless the reply has none, then the tag
  // store. A cover that cannot be fetched does not lose the song: it is
  // stored and shown without one.
  if (record) {
    if (IsFieldPresent(record->albumArtUrl)) fetchAlbumArt(*record);
    saveTag(*record);
  }
  // 6. The result page, with the song or, for a reply without one, none.
  SwitchScreen(SCREEN_RESULT);
  if (g_nCurrentScreen == SCREEN_RESULT)
    static_cast<ResultScreen*>(g_apScreens[SCREEN_RESULT])->setRecord(record.get());
}

// On this thread, which waits for it: a transfer of the user-interface
// thread gives up after a few seconds in all.
void SearchingScreen::fetchAlbumArt(SongRecord& record) {
  HTTPHandler handler(m_hWnd);
  handler.openSession();  // without a session the request fails at once
  if (handler.httpGet(record.albumArtUrl) != HTTPHandler::HTTP_OK) return;
  const DWORD length = handler.replyLength();
  auto* art = length ? static_cast<BYTE*>(std::malloc(length)) : nullptr;
  if (!art) return;
  std::memcpy(art, handler.reply(), length);
  std::free(record.albumArt);
  record.albumArt = art;
  record.albumArtSize = static_cast<int32_t>(length);
}
