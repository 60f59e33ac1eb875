#include "ident/send_recording.h"

#include <cstdlib>

#include "app/main_window.h"
#include "app/settings.h"
#include "app/state.h"
#include "app/strings.h"
#include "ident/request_url.h"
#include "platform/window/window.h"

namespace {

struct FreeDelete {
  void operator()(char* text) const { std::free(text); }
};
using HeapText = std::unique_ptr<char, FreeDelete>;

// Screens switch on the user-interface thread only: the failure page is
// asked for there, naming the request so that a stale worker is ignored.
void showSendError(const IdentificationRequest& request) {
  PostMessageW(request.notifyWindow(), WM_SEND_FAILED, request.generation(), 0);
}

// "%s?id=%d&ownerIdentifier=%s" with the endpoint and the owner identifier
// as 8-bit text.
bool BuildUrl(char (&url)[kRequestUrlBytes]) {
  const HeapText endpoint(ReadServerURL());
  const HeapText owner(WideToAnsi(g_szOwnerID));
  return FormatRequestUrl(url, sizeof url, endpoint.get(), owner ? owner.get() : "");
}

}  // namespace

IdentificationRequest::IdentificationRequest(HWND notifyWindow, WPARAM generation, const BYTE* body, DWORD length)
    : m_hNotifyWnd(notifyWindow), m_generation(generation), m_pBody(body), m_nBodyLength(length) {}

void IdentificationRequest::cancel() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bCancel = true;
  if (m_pHandler) m_pHandler->cancel();
}

std::unique_ptr<HTTPHandler> IdentificationRequest::takeReply() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_bCancel || !m_pHandler || !m_pHandler->replyPosted()) return nullptr;
  return std::move(m_pHandler);
}

HTTPHandler* IdentificationRequest::openHandler() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_bCancel) return nullptr;
  m_pHandler = std::make_unique<HTTPHandler>(m_hNotifyWnd);
  return m_pHandler.get();
}

void IdentificationRequest::dropHandler() {
  std::unique_ptr<HTTPHandler> dropped;
  std::lock_guard<std::mutex> lock(m_mutex);
  dropped = std::move(m_pHandler);
}

void sendRecording(std::shared_ptr<IdentificationRequest> request) {
  // 1. A handler in the slot, with a session; nothing is sent once cancelled.
  HTTPHandler* handler = request->openHandler();
  if (!handler) return;
  if (handler->openSession() != HTTPHandler::HTTP_OK) {
    if (!request->cancelled()) showSendError(*request);
    request->dropHandler();
    return;
  }
  // 2. The address.
  char url[kRequestUrlBytes];
  const bool urlFits = BuildUrl(url);
  // 3. A cancel meanwhile ends the request here.
  if (request->cancelled()) {
    request->dropHandler();
    return;
  }
  // An address that does not fit its buffer is not sent cut short.
  if (!urlFits) {
    request->dropHandler();
    showSendError(*request);
    return;
  }
  // 4. The POST of the whole recording.
  const int result = handler->httpPost(url, request->body(), request->bodyLength());
  // 5. A failure shows the failure page, unless the request was cancelled.
  if (result != HTTPHandler::HTTP_OK) {
    request->dropHandler();
    if (!request->cancelled()) showSendError(*request);
  }
  // 6. On success the handler stays in the slot for the user-interface thread.
}
