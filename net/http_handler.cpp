#include "net/http_handler.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "app/screen/screen_manager.h"
#include "net/http_timeouts.h"
#include "platform/phone/connection_manager.h"
#include "platform/window/window.h"

namespace {

constexpr const char* kUserAgent = "WindowsMobile-Melodex-0.9";
constexpr const char* kGetAccept = "Accept: application/octet-stream, text/plain, text/html, image/jpeg";
constexpr const char* kPostAccept = "Accept: application/octet-stream, text/plain, text/html";
constexpr long kStatusOk = 200;

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

HTTPHandler::HTTPHandler(HWND notifyWindow) : m_hNotifyWnd(notifyWindow) {}

HTTPHandler::~HTTPHandler() {
  m_hRequest.reset();
  m_server.url.reset();
  m_hSession.reset();
  if (m_hConnection) releaseConnection(0);
  m_pReply.reset();
}

int HTTPHandler::openSession() {
  InitCurlOnce();
  m_hSession.reset(curl_easy_init());
  if (!m_hSession) return HTTP_NO_SESSION;
  m_pReply.reset(static_cast<BYTE*>(std::malloc(kReplyCapacity)));
  return m_pReply ? HTTP_OK : HTTP_NO_BUFFER;
}

int HTTPHandler::httpGet(const char* url) { return request(Verb::Get, url, nullptr, 0); }

int HTTPHandler::httpPost(const char* url, const BYTE* body, DWORD length) {
  return request(Verb::Post, url, body, length);
}

// The request's steps, with a cancel check after each one that can take time.
int HTTPHandler::request(Verb verb, const char* url, const BYTE* body, DWORD length) {
  if (!m_hSession || !m_pReply) return HTTP_NO_CONNECTION;
  if (m_bCancel) return HTTP_CANCELLED;
  if (!setupConnection(url)) return HTTP_NO_CONNECTION;
  if (m_bCancel) return HTTP_CANCELLED;
  if (!SplitUrl(url, &m_server)) return HTTP_BAD_URL;
  if (m_bCancel) return HTTP_CANCELLED;
  if (!openRequest(verb, body, length)) return HTTP_OPEN_FAILED;
  if (m_bCancel) return HTTP_CANCELLED;
  const int result = transfer(verb);
  if (result != HTTP_OK) return result;
  if (verb == Verb::Get && m_bCancel) return HTTP_CANCELLED;
  releaseConnection(m_nLinger);
  if (verb == Verb::Post) {
    m_bReplyPosted = true;
    PostMessageW(m_hNotifyWnd, WM_USER, 0, 0);
  }
  return HTTP_OK;
}

bool HTTPHandler::openRequest(Verb verb, const BYTE* body, DWORD length) {
  curl_slist* headers = curl_slist_append(nullptr, verb == Verb::Get ? kGetAccept : kPostAccept);
  // curl would add a form Content-Type to a POST, and an Expect header that
  // costs a round trip; the service gets neither.
  if (headers && verb == Verb::Post) headers = curl_slist_append(headers, "Content-Type:");
  if (headers) headers = curl_slist_append(headers, "Expect:");
  m_hRequest.reset(headers);
  if (!m_hRequest) return false;

  CURL* session = m_hSession.get();
  const HttpTimeouts timeouts = CurrentHttpTimeouts();
  const long totalMs = OnUserInterfaceThread() ? timeouts.totalOnUserInterfaceMs : 0;
  bool ok = curl_easy_setopt(session, CURLOPT_CURLU, m_server.url.get()) == CURLE_OK &&
            curl_easy_setopt(session, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
            curl_easy_setopt(session, CURLOPT_USERAGENT, kUserAgent) == CURLE_OK &&
            curl_easy_setopt(session, CURLOPT_HTTPHEADER, m_hRequest.get()) == CURLE_OK &&
            curl_easy_setopt(session, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            curl_easy_setopt(session, CURLOPT_CONNECTTIMEOUT_MS, timeouts.connectMs) == CURLE_OK &&
            curl_easy_setopt(session, CURLOPT_TIMEOUT_MS, totalMs) == CURLE_OK &&
            curl_easy_setopt(session, CURLOPT_HEADERFUNCTION, OnHeader) == CURLE_OK &&
            curl_easy_setopt(session, CURLOPT_HEADERDATA, this) == CURLE_OK &&
            curl_easy_setopt(session, CURLOPT_WRITEFUNCTION, OnBody) == CURLE_OK &&
            curl_easy_setopt(session, CURLOPT_WRITEDATA, this) == CURLE_OK &&
            curl_easy_setopt(session, CURLOPT_XFERINFOFUNCTION, OnProgress) == CURLE_OK &&
            curl_easy_setopt(session, CURLOPT_XFERINFODATA, this) == CURLE_OK &&
            curl_easy_setopt(session, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
            curl_easy_setopt(session, CURLOPT_PREREQFUNCTION, OnConnected) == CURLE_OK &&
            curl_easy_setopt(session, CURLOPT_PREREQDATA, this) == CURLE_OK;
  if (ok && verb == Verb::Post) {
    static const char kEmpty[] = "";
    ok = curl_easy_setopt(session, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length)) == CURLE_OK &&
         curl_easy_setopt(session, CURLOPT_POSTFIELDS, body ? reinterpret_cast<const char*>(body) : kEmpty) ==
             CURLE_OK;
  }
  return ok;
}

// Sends the request and reads the reply until it is complete or the buffer
// is full. The callbacks check the cancel flag: while the request is sent and
// the status awaited, once more when the status has arrived, and for a GET
// while the body is read (a POST whose status has arrived completes).
int HTTPHandler::transfer(Verb verb) {
  m_verb = verb;
  m_bConnected = false;
  m_bReading = false;
  m_stop = Stop::None;
  m_nReplyLength = 0;
  const CURLcode code = curl_easy_perform(m_hSession.get());
  switch (m_stop) {
    case Stop::Cancelled:
      return HTTP_CANCELLED;
    case Stop::BadStatus:
      return HTTP_BAD_STATUS;
    case Stop::BufferFull:
      return HTTP_OK;
    case Stop::None:
      break;
  }
  if (code != CURLE_OK) return failureOf(code);
  long status = 0;
  curl_easy_getinfo(m_hSession.get(), CURLINFO_RESPONSE_CODE, &status);
  return status == kStatusOk ? HTTP_OK : HTTP_BAD_STATUS;
}

int HTTPHandler::failureOf(CURLcode code) const {
  if (m_bReading) return HTTP_READ_FAILED;
  if (!m_bConnected) return HTTP_CONNECT_FAILED;
  // A reply that is not HTTP/1.x has no status to read.
  if (code == CURLE_WEIRD_SERVER_REPLY || code == CURLE_UNSUPPORTED_PROTOCOL) return HTTP_BAD_STATUS;
  return HTTP_SEND_FAILED;
}

void HTTPHandler::releaseConnection(LONG linger) {
  ConnMgrReleaseConnection(m_hConnection, linger);
  m_hConnection = nullptr;
}

size_t HTTPHandler::OnHeader(char* data, size_t size, size_t count, void* context) {
  auto* self = static_cast<HTTPHandler*>(context);
  const size_t bytes = size * count;
  const bool endOfHeaders = (bytes == 2 && data[0] == '\r' && data[1] == '\n') || (bytes == 1 && data[0] == '\n');
  if (!endOfHeaders) return bytes;
  long status = 0;
  curl_easy_getinfo(self->m_hSession.get(), CURLINFO_RESPONSE_CODE, &status);
  if (status >= 100 && status < 200) return bytes;  // an interim reply; the real one follows
  if (status != kStatusOk) {
    self->m_stop = Stop::BadStatus;
    return 0;
  }
  if (self->m_bCancel) {
    self->m_stop = Stop::Cancelled;
    return 0;
  }
  self->m_bReading = true;
  return bytes;
}

size_t HTTPHandler::OnBody(char* data, size_t size, size_t count, void* context) {
  auto* self = static_cast<HTTPHandler*>(context);
  const size_t bytes = size * count;
  const size_t room = kReplyCapacity - self->m_nReplyLength;
  const size_t taken = std::min(bytes, room);
  std::memcpy(self->m_pReply.get() + self->m_nReplyLength, data, taken);
  self->m_nReplyLength += static_cast<DWORD>(taken);
  if (taken == bytes) return bytes;
  // The buffer is full: the rest of the reply is not wanted.
  self->m_stop = Stop::BufferFull;
  return 0;
}

int HTTPHandler::OnProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* self = static_cast<HTTPHandler*>(context);
  if (!self->m_bCancel || (self->m_bReading && self->m_verb == Verb::Post)) return 0;
  self->m_stop = Stop::Cancelled;
  return 1;
}

int HTTPHandler::OnConnected(void* context, char*, char*, int, int) {
  static_cast<HTTPHandler*>(context)->m_bConnected = true;
  return CURL_PREREQFUNC_OK;
}
