// The page shown while the phone listens: three seconds to bring the phone
// to the music, then the start sound, the recorder started on a short-lived
// thread, and a scrolling waveform until the recorder's buffer is full.
#pragma once

#include <thread>

#include "app/screen/picture.h"
#include "app/screen/screen.h"

class ListeningScreen : public Screen {
 public:
  static constexpr UINT_PTR kWaitTimer = 100;
  static constexpr UINT_PTR kScrollTimer = 101;
  static constexpr UINT kWaitMs = 3000;
  static constexpr UINT kScrollMs = 100;

  enum Phase { PHASE_WAITING = 0, PHASE_RECORDING = 1, PHASE_DONE = 2 };

  ListeningScreen(HINSTANCE hInst, HWND hWnd);
  ~ListeningScreen() override;

  void paint(HDC* hdc, RECT* client) override;
  int onKey(WPARAM vk, LPARAM keyData) override;
  void onTimer(WPARAM timerId, LPARAM lParam) override;
  void onActivate() override;
  void onDeactivate() override;

  // Stops the recording (if any) and returns to the main menu.
  void cancelRecording();
  // The recorder has handed its buffer back: on to the searching screen, or
  // after a cancel back to where the listening was started from.
  void onRecordingDone();

  int phase() const { return m_nPhase; }
  int scrollOffset() const { return m_nScrollOffset; }
  bool cancelled() const { return m_bCancelled; }
  std::thread::id recorderThreadId() const { return m_recorderThreadId; }

 private:
  void startRecorderThread();
  // Waits for the recording thread to finish starting the recorder, so that
  // what follows sees the recorder as that thread left it.
  void joinRecorderThread();

  bool m_bCancelled = false;
  // Loaded in this order.
  Picture m_caption;
  Picture m_getReady;
  Picture m_waveform;
  Picture m_banner;
  Picture m_logo;
  Picture m_cancelLabel;
  int m_nPhase = PHASE_WAITING;
  int m_nScrollOffset = 0;
  std::thread m_recorderThread;
  std::thread::id m_recorderThreadId;
};
