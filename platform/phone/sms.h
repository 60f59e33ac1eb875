// The phone's SMS library: sending a text message, with the operations,
// records and values of the phone's own library. Every call goes to one
// backend, chosen once: by default ModemManager over D-Bus (see
// modemmanager_backend.h); tests install a fake. The calls are synchronous.
//
// The message text is UTF-16: SmsSendMessage takes its 16-bit units as bytes
// (two a unit, in the machine's byte order) and their byte count.
#pragma once

#include <cstddef>
#include <string>

#include "platform/phone/hresult.h"
#include "platform/types.h"

using SMS_HANDLE = HANDLE;
using SMS_MESSAGE_ID = DWORD;

// The one provider: plain text messages.
constexpr const wchar_t* SMS_MSGTYPE_TEXT = L"Microsoft Text SMS Protocol";

// Modes of SmsOpen. Only sending is offered here.
constexpr DWORD SMS_MODE_RECEIVE = 1;
constexpr DWORD SMS_MODE_SEND = 2;

// Options of SmsSendMessage.
constexpr DWORD SMS_OPTION_DELIVERY_NONE = 0;

enum SMS_DATA_ENCODING : int { SMSDE_OPTIMAL = 0, SMSDE_GSM = 1, SMSDE_UCS2 = 2 };

enum SMS_ADDRESS_TYPE : int {
  SMSAT_UNKNOWN = 0,
  SMSAT_INTERNATIONAL = 1,
  SMSAT_NATIONAL = 2,
};

constexpr std::size_t SMS_MAX_ADDRESS_LENGTH = 256;

struct SMS_ADDRESS {
  SMS_ADDRESS_TYPE smsatAddressType;
  wchar_t ptsAddress[SMS_MAX_ADDRESS_LENGTH];
};

// Provider-specific data of the text provider.
constexpr DWORD PS_MESSAGE_OPTION_NONE = 0;
constexpr DWORD PS_MESSAGE_OPTION_STATUSREPORT = 2;  // ask the network for a delivery report

enum PROVIDER_SPECIFIC_MESSAGE_CLASS : int {
  PS_MESSAGE_CLASS0 = 0,  // shown at once, not stored
  PS_MESSAGE_CLASS1 = 1,  // stored by the receiving phone
  PS_MESSAGE_CLASS2 = 2,
  PS_MESSAGE_CLASS3 = 3,
};

enum PROVIDER_SPECIFIC_REPLACE_OPTION : int { PSRO_NONE = 0 };

constexpr std::size_t SMS_DATAGRAM_SIZE = 140;

struct TEXT_PROVIDER_SPECIFIC_DATA {
  DWORD dwMessageOptions;
  PROVIDER_SPECIFIC_MESSAGE_CLASS psMessageClass;
  PROVIDER_SPECIFIC_REPLACE_OPTION psReplaceOption;
  DWORD dwHeaderDataSize;
  BYTE pbHeaderData[SMS_DATAGRAM_SIZE];
  BOOL fMessageContainsEMSHeaders;
  DWORD dwProtocolID;
};

// The library's failures. The page that sends logs every one of them.
// Bad arguments: no destination, an odd byte count, a handle that SmsOpen did
// not give out, too little provider data.
constexpr HRESULT SMS_E_INVALIDDATA = static_cast<HRESULT>(0x82000002u);
// The modem or the network refused the message.
constexpr HRESULT SMS_E_MISC = static_cast<HRESULT>(0x82000100u);
// No modem can send: no system bus, no ModemManager on it, or no modem with
// messaging.
constexpr HRESULT SMS_E_RADIOUNAVAILABLE = static_cast<HRESULT>(0x82000101u);
// The modem did not answer in time.
constexpr HRESULT SMS_E_TIMEOUT = static_cast<HRESULT>(0x82000102u);

// Opens the provider for sending. *handle is null when it fails.
// *messageAvailableEvent is always null: nothing is received here.
HRESULT SmsOpen(LPCWSTR provider, DWORD modes, SMS_HANDLE* handle, HANDLE* messageAvailableEvent);

// Sends `dataSize` bytes of UTF-16 text to `destination`. The SMS centre and
// validity period are the modem's own (both must be null), and no message id
// is handed out (messageId must be null). providerData holds a
// TEXT_PROVIDER_SPECIFIC_DATA at its start.
HRESULT SmsSendMessage(SMS_HANDLE handle, const SMS_ADDRESS* smscAddress, const SMS_ADDRESS* destination,
                       const SYSTEMTIME* validityPeriod, const BYTE* data, DWORD dataSize,
                       const BYTE* providerData, DWORD providerDataSize, SMS_DATA_ENCODING encoding, DWORD options,
                       SMS_MESSAGE_ID* messageId);

HRESULT SmsClose(SMS_HANDLE handle);

// One message as SmsSendMessage checked it.
struct SmsOutgoing {
  SMS_ADDRESS destination;
  std::u16string text;
  TEXT_PROVIDER_SPECIFIC_DATA providerData;
  DWORD providerDataSize;
  SMS_DATA_ENCODING encoding;
  DWORD options;
};

// What the Sms* calls run on.
class SmsBackend {
 public:
  virtual ~SmsBackend() = default;
  virtual HRESULT open(SMS_HANDLE* handle) = 0;
  virtual HRESULT send(SMS_HANDLE handle, const SmsOutgoing& message) = 0;
  virtual HRESULT close(SMS_HANDLE handle) = 0;
};

// Routes every Sms* call to `backend`, which the caller keeps alive until it
// routes them elsewhere; null returns to the default backend. Set it while no
// call is in progress.
void SetSmsBackend(SmsBackend* backend);
