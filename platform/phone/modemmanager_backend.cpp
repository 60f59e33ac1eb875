#include "platform/phone/modemmanager_backend.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/phone/system_bus.h"
#include "platform/system/wide_text.h"

namespace {

constexpr const char* kService = "org.freedesktop.ModemManager1";
constexpr const char* kRootPath = "/org/freedesktop/ModemManager1";
constexpr const char* kObjectManagerInterface = "org.freedesktop.DBus.ObjectManager";
constexpr const char* kMessagingInterface = "org.freedesktop.ModemManager1.Modem.Messaging";
constexpr const char* kSmsInterface = "org.freedesktop.ModemManager1.Sms";

using Clock = std::chrono::steady_clock;

// The end of a series of calls that share one bound.
class Deadline {
 public:
  explicit Deadline(std::chrono::milliseconds span) : m_end(Clock::now() + span) {}

  // At least one microsecond: sd-bus reads 0 as its own default time-out.
  std::uint64_t leftUsec() const {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(m_end - Clock::now()).count();
    return left > 0 ? static_cast<std::uint64_t>(left) : 1;
  }

 private:
  Clock::time_point m_end;
};

Message NewCall(sd_bus* bus, const std::string& path, const char* interface, const char* method) {
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus, &raw, kService, path.c_str(), interface, method) < 0) return nullptr;
  return Message(raw);
}

// Sends the call and waits for its answer until the deadline. Returns the
// sd-bus result: -ETIMEDOUT when no answer came in time.
int Call(sd_bus* bus, const Message& call, const Deadline& deadline, Message* reply) {
  if (!call) return -ENOMEM;
  BusError error;
  sd_bus_message* raw = nullptr;
  const int result = sd_bus_call(bus, call.get(), deadline.leftUsec(), error.get(), &raw);
  if (reply) reply->reset(raw);
  else sd_bus_message_unref(raw);
  return result;
}

// The first object in a GetManagedObjects answer (a{oa{sa{sv}}}) that offers
// messaging.
bool FindMessagingModem(sd_bus_message* reply, std::string* modem) {
  if (sd_bus_message_enter_container(reply, 'a', "{oa{sa{sv}}}") < 0) return false;
  while (sd_bus_message_enter_container(reply, 'e', "oa{sa{sv}}") > 0) {
    const char* path = nullptr;
    if (sd_bus_message_read(reply, "o", &path) < 0 || sd_bus_message_enter_container(reply, 'a', "{sa{sv}}") < 0)
      return false;
    while (sd_bus_message_enter_container(reply, 'e', "sa{sv}") > 0) {
      const char* interface = nullptr;
      if (sd_bus_message_read(reply, "s", &interface) < 0) return false;
      if (std::strcmp(interface, kMessagingInterface) == 0) {
        *modem = path;
        return true;
      }
      if (sd_bus_message_skip(reply, "a{sv}") < 0 || sd_bus_message_exit_container(reply) < 0) return false;
    }
    if (sd_bus_message_exit_container(reply) < 0 || sd_bus_message_exit_container(reply) < 0) return false;
  }
  return false;
}

HRESULT CallFailure(int result) { return result == -ETIMEDOUT ? SMS_E_TIMEOUT : SMS_E_MISC; }

// Creates the message on the modem; its object path goes to *sms.
HRESULT CreateMessage(sd_bus* bus, const std::string& modem, const SmsOutgoing& message, const Deadline& deadline,
                      std::string* sms) {
  const std::string number = WideToUtf8(message.destination.ptsAddress);
  const std::string text = Utf16ToUtf8(message.text);
  const int messageClass = message.providerData.psMessageClass;
  const int deliveryReport = (message.providerData.dwMessageOptions & PS_MESSAGE_OPTION_STATUSREPORT) != 0;
  Message create = NewCall(bus, modem, kMessagingInterface, "Create");
  if (!create || sd_bus_message_append(create.get(), "a{sv}", 4, "number", "s", number.c_str(), "text", "s",
                                       text.c_str(), "class", "i", messageClass, "delivery-report-request", "b",
                                       deliveryReport) < 0)
    return SMS_E_INVALIDDATA;
  Message reply;
  const int result = Call(bus, create, deadline, &reply);
  if (result < 0) return CallFailure(result);
  const char* path = nullptr;
  if (sd_bus_message_read(reply.get(), "o", &path) < 0) return SMS_E_MISC;
  *sms = path;
  return S_OK;
}

}  // namespace

HRESULT ModemManagerBackend::open(SMS_HANDLE* handle) {
  Bus bus = OpenSystemBus();
  if (!bus) return SMS_E_RADIOUNAVAILABLE;
  const Deadline deadline(m_bound / 4);
  Message reply;
  const int result =
      Call(bus.get(), NewCall(bus.get(), kRootPath, kObjectManagerInterface, "GetManagedObjects"), deadline, &reply);
  if (result == -ETIMEDOUT) return SMS_E_TIMEOUT;
  std::string modem;
  if (result < 0 || !FindMessagingModem(reply.get(), &modem)) return SMS_E_RADIOUNAVAILABLE;
  std::lock_guard lock(m_mutex);
  *handle = reinterpret_cast<SMS_HANDLE>(m_nextHandle++);
  m_modems[*handle] = modem;
  return S_OK;
}

HRESULT ModemManagerBackend::send(SMS_HANDLE handle, const SmsOutgoing& message) {
  std::string modem;
  {
    std::lock_guard lock(m_mutex);
    const auto found = m_modems.find(handle);
    if (found == m_modems.end()) return SMS_E_INVALIDDATA;
    modem = found->second;
  }
  Bus bus = OpenSystemBus();
  if (!bus) return SMS_E_RADIOUNAVAILABLE;
  const Deadline deadline(m_bound - m_bound / 4);
  std::string sms;
  const HRESULT created = CreateMessage(bus.get(), modem, message, deadline, &sms);
  if (FAILED(created)) return created;
  const int result = Call(bus.get(), NewCall(bus.get(), sms, kSmsInterface, "Send"), deadline, nullptr);
  if (result >= 0) return S_OK;
  if (result != -ETIMEDOUT) {
    // A refused message would otherwise wait, unsent, in the modem's list.
    Message remove = NewCall(bus.get(), modem, kMessagingInterface, "Delete");
    if (remove && sd_bus_message_append(remove.get(), "o", sms.c_str()) >= 0)
      Call(bus.get(), remove, deadline, nullptr);
  }
  return CallFailure(result);
}

HRESULT ModemManagerBackend::close(SMS_HANDLE handle) {
  std::lock_guard lock(m_mutex);
  return m_modems.erase(handle) ? S_OK : SMS_E_INVALIDDATA;
}
