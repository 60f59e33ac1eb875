// The page shown while the recording is identified: "Analyzing...", a moving
// strip of level-meter bars and "Cancel". It sends the recording on a worker
// thread, turns the reply into a song (with its album art), stores it and
// shows it on the result page; it gives up after 90 seconds.
#pragma once

#include <memory>
#include <thread>

#include "app/screen/picture.h"
#include "app/screen/screen.h"
#include "ident/send_recording.h"

class SongRecord;

class SearchingScreen : public Screen {
 public:
  static constexpr UINT_PTR kAnimationTimer = 200;
  static constexpr UINT_PTR kTimeoutTimer = 201;
  static constexpr UINT kAnimationMs = 100;
  static constexpr UINT kTimeoutMs = 90000;

  SearchingScreen(HINSTANCE hInst, HWND hWnd);
  ~SearchingScreen() override;

  void paint(HDC* hdc, RECT* client) override;
  int onKey(WPARAM vk, LPARAM keyData) override;
  void onTimer(WPARAM timerId, LPARAM lParam) override;
  // The reply-ready message: parse, fetch the album art, store, show.
  void onUserMessage() override;
  void onActivate() override;
  void onDeactivate() override;

  // Abandons the request and returns to the main menu (also the answer to
  // the cancel request message).
  void cancel();
  // The failure page, with the reason the failure page keeps.
  void showSendError();
  // A worker's failure report (WM_SEND_FAILED): acted on only while that
  // worker's request is still the current one.
  void onSendFailed(WPARAM generation);
  // Waits for the last worker to end; it must not outlive the recording it sends.
  void joinWorker();

  int animationOffset() const { return m_nAnimationOffset; }
  // The request in progress, or null.
  std::shared_ptr<const IdentificationRequest> request() const { return m_pRequest; }

 private:
  // Tells the request in progress, if any, to stop, and forgets it.
  void abandonRequest();
  // Fetches the cover into the record; an empty or failed reply leaves it without.
  void fetchAlbumArt(SongRecord& record);

  // Loaded in this order.
  Picture m_analyzing;
  Picture m_strip;
  Picture m_banner;
  Picture m_logo;
  Picture m_cancelLabel;
  int m_nAnimationOffset = 0;
  // Shared with its worker; a new one for each activation.
  std::shared_ptr<IdentificationRequest> m_pRequest;
  WPARAM m_nGeneration = 0;
  std::thread m_worker;
};
