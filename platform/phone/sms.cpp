#include "platform/phone/sms.h"

#include <atomic>
#include <cstring>
#include <cwchar>

#include "platform/phone/modemmanager_backend.h"

namespace {

std::atomic<SmsBackend*> g_backend{nullptr};

SmsBackend& Backend() {
  if (SmsBackend* installed = g_backend.load()) return *installed;
  static ModemManagerBackend modemManager;
  return modemManager;
}

bool ValidDestination(const SMS_ADDRESS* destination) {
  if (!destination || destination->ptsAddress[0] == L'\0') return false;
  return wmemchr(destination->ptsAddress, L'\0', SMS_MAX_ADDRESS_LENGTH) != nullptr;
}

}  // namespace

void SetSmsBackend(SmsBackend* backend) { g_backend.store(backend); }

HRESULT SmsOpen(LPCWSTR provider, DWORD modes, SMS_HANDLE* handle, HANDLE* messageAvailableEvent) {
  if (messageAvailableEvent) *messageAvailableEvent = nullptr;
  if (!handle) return E_INVALIDARG;
  *handle = nullptr;
  if (!provider || std::wcscmp(provider, SMS_MSGTYPE_TEXT) != 0 || modes != SMS_MODE_SEND) return E_INVALIDARG;
  return Backend().open(handle);
}

HRESULT SmsSendMessage(SMS_HANDLE handle, const SMS_ADDRESS* smscAddress, const SMS_ADDRESS* destination,
                       const SYSTEMTIME* validityPeriod, const BYTE* data, DWORD dataSize,
                       const BYTE* providerData, DWORD providerDataSize, SMS_DATA_ENCODING encoding, DWORD options,
                       SMS_MESSAGE_ID* messageId) {
  if (smscAddress || validityPeriod || messageId) return E_INVALIDARG;
  if (!handle || !ValidDestination(destination) || (dataSize > 0 && !data) || dataSize % 2 != 0 || !providerData ||
      providerDataSize < sizeof(TEXT_PROVIDER_SPECIFIC_DATA))
    return SMS_E_INVALIDDATA;
  SmsOutgoing message{};
  message.destination = *destination;
  message.text.resize(dataSize / 2);
  if (dataSize > 0) std::memcpy(message.text.data(), data, dataSize);
  std::memcpy(&message.providerData, providerData, sizeof message.providerData);
  if (message.providerData.psMessageClass < PS_MESSAGE_CLASS0 ||
      message.providerData.psMessageClass > PS_MESSAGE_CLASS3)
    return SMS_E_INVALIDDATA;
  message.providerDataSize = providerDataSize;
  message.encoding = encoding;
  message.options = options;
  return Backend().send(handle, message);
}

HRESULT SmsClose(SMS_HANDLE handle) {
  if (!handle) return SMS_E_INVALIDDATA;
  return Backend().close(handle);
}
