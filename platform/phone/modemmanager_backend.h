// The SMS library on ModemManager, over the system D-Bus (or the bus at
// $MELODEX_SYSTEM_BUS_ADDRESS).
//
// Opening finds a modem that offers messaging; sending creates a message on
// it (number, text as UTF-8, message class, delivery-report request) and
// sends it. The whole exchange waits at most `bound`: a quarter of it for
// finding the modem, the rest for creating and sending the message. No bus,
// no ModemManager, no modem with messaging, a refused send or no answer in
// time: the call returns one of the library's error codes.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include "platform/phone/sms.h"

class ModemManagerBackend : public SmsBackend {
 public:
  static constexpr std::chrono::milliseconds kDefaultBound{20000};

  explicit ModemManagerBackend(std::chrono::milliseconds bound = kDefaultBound) : m_bound(bound) {}

  HRESULT open(SMS_HANDLE* handle) override;
  HRESULT send(SMS_HANDLE handle, const SmsOutgoing& message) override;
  HRESULT close(SMS_HANDLE handle) override;

 private:
  std::chrono::milliseconds m_bound;
  std::mutex m_mutex;
  // The messaging modem's object path, by handle.
  std::map<SMS_HANDLE, std::string> m_modems;
  UINT_PTR m_nextHandle = 1;
};
