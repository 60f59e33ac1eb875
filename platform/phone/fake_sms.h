// An SMS library for tests: every call is recorded, every message is taken
// unless the fake is told to fail.
#pragma once

#include <mutex>
#include <set>
#include <vector>

#include "platform/phone/sms.h"

class FakeSms : public SmsBackend {
 public:
  struct Sent {
    SMS_HANDLE handle;
    SmsOutgoing message;
  };

  // What later opens or sends return instead of S_OK (S_OK again to stop).
  void failOpen(HRESULT result);
  void failSend(HRESULT result);

  int opens() const;
  int closes() const;
  int openHandles() const;
  std::vector<Sent> sent() const;

  HRESULT open(SMS_HANDLE* handle) override;
  HRESULT send(SMS_HANDLE handle, const SmsOutgoing& message) override;
  HRESULT close(SMS_HANDLE handle) override;

 private:
  mutable std::mutex m_mutex;
  HRESULT m_openResult = S_OK;
  HRESULT m_sendResult = S_OK;
  int m_opens = 0;
  int m_closes = 0;
  std::set<SMS_HANDLE> m_open;
  std::vector<Sent> m_sent;
  UINT_PTR m_nextHandle = 1;
};
