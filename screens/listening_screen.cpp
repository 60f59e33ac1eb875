#include "screens/listening_screen.h"

#include "app/log.h"
#include "app/main_window.h"
#include "app/screen/look.h"
#include "app/screen/screen_manager.h"
#include "app/screen/strip_page.h"
#include "app/state.h"
#include "audio/audio_recorder.h"
#include "platform/audio/sound.h"
#include "platform/window/window.h"

namespace {

constexpr int kCaption = 176;
constexpr int kGetReady = 118;
constexpr int kWaveform = 120;
constexpr int kBanner = 113;
constexpr int kLogo = 175;
constexpr int kCancelLabel = 177;
constexpr const wchar_t* kStartSound = L"#159";

// The recording thread: creates the recorder on first use and starts it. A
// failure is shown by the user-interface thread, which alone switches screens.
void RecorderStart() {
  AudioRecorder* recorder = g_pRecorder;
  if (!recorder) {
    recorder = new AudioRecorder(g_hWnd);
    g_pRecorder = recorder;
  }
  if (recorder->recordAudio() != RECORD_STARTED)
    PostMessageW(g_hWnd, WM_SWITCH_SCREEN, SCREEN_RECORD_FAILED, 0);
}

}  // namespace

ListeningScreen::ListeningScreen(HINSTANCE hInst, HWND hWnd)
    : Screen(hInst, hWnd),
      m_caption(kCaption),
      m_getReady(kGetReady),
      m_waveform(kWaveform),
      m_banner(kBanner),
      m_logo(kLogo),
      m_cancelLabel(kCancelLabel) {}

ListeningScreen::~ListeningScreen() {
  joinRecorderThread();
  KillTimer(m_hWnd, kWaitTimer);
  KillTimer(m_hWnd, kScrollTimer);
}

void ListeningScreen::paint(HDC* hdc, RECT* client) {
  eraseBackground(g_hdcBack, client);
  m_banner.draw(client->right / 2 - m_banner.width() / 2, 0);
  const int bannerHeight = m_banner.height();
  if (m_nPhase == PHASE_WAITING) {
    m_getReady.draw(client->right / 2 - m_getReady.width() / 2,
                    (client->bottom - bannerHeight) / 2 - m_getReady.height() / 2 + bannerHeight);
  } else if (m_nPhase == PHASE_RECORDING) {
    DrawStripPage({m_caption, m_waveform, m_logo, m_cancelLabel}, *client, client->top + bannerHeight, m_nScrollOffset);
  }
  PresentBackBuffer(*hdc, *client);
}

int ListeningScreen::onKey(WPARAM vk, LPARAM) {
  if (vk == VK_ESCAPE || vk == VK_F1) cancelRecording();
  return 0;
}

void ListeningScreen::onTimer(WPARAM timerId, LPARAM) {
  if (timerId == kWaitTimer) {
    m_nPhase = PHASE_RECORDING;
    KillTimer(m_hWnd, kWaitTimer);
    SetTimer(m_hWnd, kScrollTimer, kScrollMs, nullptr);
    PlaySoundW(kStartSound, m_hInst, SND_RESOURCE | SND_ASYNC);
    startRecorderThread();
  } else if (timerId == kScrollTimer) {
    m_nScrollOffset = NextStripOffset(m_nScrollOffset, m_waveform.width());
  }
  RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_INTERNALPAINT);
}

void ListeningScreen::onActivate() {
  m_nPhase = PHASE_WAITING;
  // A cancel while waiting is answered by no hand-back, so nothing else
  // would clear it before the next recording ends.
  m_bCancelled = false;
  SetTimer(m_hWnd, kWaitTimer, kWaitMs, nullptr);
}

void ListeningScreen::onDeactivate() {
  KillTimer(m_hWnd, kWaitTimer);
  KillTimer(m_hWnd, kScrollTimer);
  joinRecorderThread();
  if (AudioRecorder* recorder = g_pRecorder) recorder->reset();
}

void ListeningScreen::cancelRecording() {
  LogMessage("ListeningScreen::cancelRecording: cancelling recording\r\n");
  m_bCancelled = true;
  joinRecorderThread();
  if (AudioRecorder* recorder = g_pRecorder) recorder->cancelRecording();
  SwitchScreen(SCREEN_MAIN_MENU);
}

void ListeningScreen::onRecordingDone() {
  m_nPhase = PHASE_DONE;
  if (m_bCancelled)
    SwitchScreen(PopScreen());
  else
    SwitchScreen(SCREEN_SEARCHING);
  m_bCancelled = false;
}

void ListeningScreen::startRecorderThread() {
  joinRecorderThread();
  m_recorderThread = std::thread(RecorderStart);
  m_recorderThreadId = m_recorderThread.get_id();
}

void ListeningScreen::joinRecorderThread() {
  if (m_recorderThread.joinable()) m_recorderThread.join();
}
