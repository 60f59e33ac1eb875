// One HTTP GET or POST into a 100000-byte reply buffer, on libcurl. A
// handler is made, opened with openSession, used for one request and
// destroyed. The request can be abandoned from another thread with cancel().
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstdlib>
#include <memory>

#include "net/url_parts.h"
#include "platform/types.h"

class HTTPHandler {
 public:
  static constexpr DWORD kReplyCapacity = 100000;
  static constexpr DWORD kConnectionTimeoutMs = 10000;

  // Result codes of openSession, httpGet and httpPost.
  enum Result {
    HTTP_OK = 0,
    HTTP_NO_CONNECTION = 1,
    HTTP_NO_SESSION = 2,
    HTTP_BAD_URL = 3,
    HTTP_CONNECT_FAILED = 4,
    HTTP_OPEN_FAILED = 5,
    HTTP_SEND_FAILED = 6,
    HTTP_BAD_STATUS = 7,
    HTTP_NO_BUFFER = 8,
    HTTP_READ_FAILED = 9,
    HTTP_CANCELLED = 11,
  };

  // notifyWindow receives WM_USER when a POST's reply is in the buffer.
  explicit HTTPHandler(HWND notifyWindow);
  // Closes the request, the server connection and the session, releases a
  // connection still held (linger 0), then frees the reply buffer.
  ~HTTPHandler();
  HTTPHandler(const HTTPHandler&) = delete;
  HTTPHandler& operator=(const HTTPHandler&) = delete;

  int openSession();
  int httpGet(const char* url);
  // On success the reply is in the buffer and WM_USER (both parameters 0)
  // has been posted to the notify window, which from then on owns the handler.
  int httpPost(const char* url, const BYTE* body, DWORD length);

  // Makes sure a connection that reaches the URL's server is up: 1 when it
  // is, 0 when not. Called by every request before anything is sent.
  int setupConnection(const char* url);

  // True once httpPost has posted the reply-ready message: from then on the
  // reply is the notify window's to read.
  bool replyPosted() const { return m_bReplyPosted; }

  // Any thread: abandons the request at its next check. Never cleared.
  void cancel() { m_bCancel = true; }
  bool cancelled() const { return m_bCancel; }

  // The reply: exactly replyLength() bytes, not terminated.
  const BYTE* reply() const { return m_pReply.get(); }
  DWORD replyLength() const { return m_nReplyLength; }

 private:
  enum class Verb { Get, Post };
  // Where a transfer stopped before curl finished it.
  enum class Stop { None, Cancelled, BadStatus, BufferFull };

  struct FreeDelete {
    void operator()(BYTE* block) const { std::free(block); }
  };
  struct SessionDelete {
    void operator()(CURL* session) const { curl_easy_cleanup(session); }
  };
  struct HeadersDelete {
    void operator()(curl_slist* headers) const { curl_slist_free_all(headers); }
  };

  int request(Verb verb, const char* url, const BYTE* body, DWORD length);
  bool openRequest(Verb verb, const BYTE* body, DWORD length);
  int transfer(Verb verb);
  int failureOf(CURLcode code) const;
  void releaseConnection(LONG linger);

  static size_t OnHeader(char* data, size_t size, size_t count, void* handler);
  static size_t OnBody(char* data, size_t size, size_t count, void* handler);
  static int OnProgress(void* handler, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
  static int OnConnected(void* handler, char*, char*, int, int);

  std::unique_ptr<BYTE, FreeDelete> m_pReply;
  std::atomic<DWORD> m_nReplyLength{0};  // read by the owner while a transfer runs
  std::atomic<bool> m_bCancel{false};
  std::atomic<bool> m_bReplyPosted{false};
  std::unique_ptr<CURL, SessionDelete> m_hSession;
  UrlParts m_server;  // the server connection: the URL split into its parts
  std::unique_ptr<curl_slist, HeadersDelete> m_hRequest;
  HWND m_hNotifyWnd;
  HANDLE m_hConnection = nullptr;
  LONG m_nLinger = 1;

  // State of the transfer in progress, kept by the curl callbacks.
  Verb m_verb = Verb::Get;
  bool m_bConnected = false;
  bool m_bReading = false;
  Stop m_stop = Stop::None;
};
