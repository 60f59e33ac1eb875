// The identification request: one POST of the whole recording, sent by a
// worker thread that the searching screen starts on each activation.
//
// Each activation makes a request object of its own and shares it with its
// worker: the handler slot and the cancel flag live there, not in the screen.
// So a worker of an earlier activation that is still waiting on the network
// can neither hand its reply to the current activation nor take its handler;
// the request (and its handler) is released by whichever of the two lets go
// of it last.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "net/http_handler.h"
#include "platform/types.h"

class IdentificationRequest {
 public:
  // `generation` numbers the activation; `body` (the recorder's buffer, not
  // copied) must outlive the worker.
  IdentificationRequest(HWND notifyWindow, WPARAM generation, const BYTE* body, DWORD length);
  IdentificationRequest(const IdentificationRequest&) = delete;
  IdentificationRequest& operator=(const IdentificationRequest&) = delete;

  WPARAM generation() const { return m_generation; }

  // User-interface thread: abandons the request. The worker and the transfer
  // in progress notice at their next check and end without a word.
  void cancel();
  bool cancelled() const { return m_bCancel; }

  // User-interface thread, on the reply-ready message: the handler with this
  // request's reply, once its POST has posted it; null before that, after a
  // cancel, and after it has been taken once.
  std::unique_ptr<HTTPHandler> takeReply();

  // The worker's side of the slot. openHandler puts a new handler in the
  // slot and returns it, or returns null when the request is cancelled.
  HTTPHandler* openHandler();
  void dropHandler();

  HWND notifyWindow() const { return m_hNotifyWnd; }
  const BYTE* body() const { return m_pBody; }
  DWORD bodyLength() const { return m_nBodyLength; }

 private:
  const HWND m_hNotifyWnd;
  const WPARAM m_generation;
  const BYTE* const m_pBody;
  const DWORD m_nBodyLength;
  std::atomic<bool> m_bCancel{false};
  // Keeps a cancel from meeting the slot half filled or half emptied.
  std::mutex m_mutex;
  std::unique_ptr<HTTPHandler> m_pHandler;
};

// The worker: builds the address from the serverURL setting, the client id
// and the owner identifier, and posts the body. On success the handler stays
// in the slot and the reply-ready message (WM_USER) is on its way; on failure
// the worker posts WM_SEND_FAILED with the request's generation, unless the
// request was cancelled.
void sendRecording(std::shared_ptr<IdentificationRequest> request);
