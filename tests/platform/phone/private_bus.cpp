#include "tests/platform/phone/private_bus.h"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <cstdlib>
#include <memory>
#include <thread>

#include "tests/support/headless_app.h"

namespace {

// Debian's interpreter, which has dbusmock; python3 on PATH may be another.
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kNetworkManager = "org.freedesktop.NetworkManager";
constexpr const char* kNetworkManagerPath = "/org/freedesktop/NetworkManager";
constexpr const char* kModemManager = "org.freedesktop.ModemManager1";
constexpr const char* kModemManagerPath = "/org/freedesktop/ModemManager1";
constexpr const char* kMockInterface = "org.freedesktop.DBus.Mock";

struct Reply {
  std::unique_ptr<sd_bus, decltype(&sd_bus_flush_close_unref)> bus{nullptr, sd_bus_flush_close_unref};
  std::unique_ptr<sd_bus_message, decltype(&sd_bus_message_unref)> message{nullptr, sd_bus_message_unref};
  explicit operator bool() const { return message != nullptr; }
};

// One method call on a fresh connection; an empty reply when it fails.
template <typename... Args>
Reply Call(const std::string& address, const char* service, const char* path, const char* interface,
           const char* method, const char* types, Args... args) {
  Reply reply;
  sd_bus* bus = nullptr;
  if (sd_bus_new(&bus) < 0) return reply;
  reply.bus.reset(bus);
  if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0)
    return reply;
  sd_bus_message* message = nullptr;
  sd_bus_call_method(bus, service, path, interface, method, nullptr, &message, types, args...);
  reply.message.reset(message);
  return reply;
}

// The object path that a call answers with.
bool ReadPath(const Reply& reply, std::string* path) {
  const char* read = nullptr;
  if (!reply || sd_bus_message_read(reply.message.get(), "o", &read) < 0) return false;
  *path = read;
  return true;
}

// Polls for at most ten seconds: a bound for a loaded machine.
bool WaitFor(const std::function<bool()>& condition) {
  for (int i = 0; i < 200 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return condition();
}

}  // namespace

PrivateBus::~PrivateBus() {
  m_mock.stop();
  m_daemon.stop();
  if (!m_folder.empty()) std::filesystem::remove_all(m_folder);
}

std::string PrivateBus::MissingTools() {
  if (access("/usr/bin/dbus-daemon", X_OK) != 0) return "dbus-daemon is not installed (Debian package dbus)";
  if (std::system("/usr/bin/python3 -c 'import dbusmock' >/dev/null 2>&1") != 0)
    return "python3-dbusmock is not installed for /usr/bin/python3";
  return {};
}

bool PrivateBus::start(bool withNetworkManager, std::string* error) {
  m_folder = MakeTempFolder("melodex-bus");
  const std::filesystem::path printed = m_folder / "address";
  if (!m_daemon.start({"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1"}, {}, printed) ||
      !WaitFor([&] { return (m_address = ReadFile(printed)).find('\n') != std::string::npos; }))
    return *error = "dbus-daemon did not start", false;
  m_address.resize(m_address.find('\n'));
  return !withNetworkManager || startMock("networkmanager", kNetworkManager, error);
}

bool PrivateBus::startWithModemManager(std::string* error) {
  return start(false, error) && startMock(MELODEX_MODEMMANAGER_TEMPLATE, kModemManager, error);
}

bool PrivateBus::startMock(const char* templateName, const char* service, std::string* error) {
  const auto onBus = [&] {
    const Reply reply = Call(m_address, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                             "NameHasOwner", "s", service);
    int owned = 0;
    return reply && sd_bus_message_read(reply.message.get(), "b", &owned) >= 0 && owned;
  };
  if (m_mock.start({kPython, "-m", "dbusmock", "--session", "--template", templateName},
                   {"DBUS_SESSION_BUS_ADDRESS=" + m_address}, "/dev/null") && WaitFor(onBus))
    return true;
  return *error = std::string("the mock ") + service + " did not appear on the bus", false;
}

bool PrivateBus::setConnectivity(unsigned connectivity) {
  return bool(Call(m_address, kNetworkManager, kNetworkManagerPath, kMockInterface, "SetConnectivity", "u",
                   connectivity));
}

bool PrivateBus::addProfile(const std::string& id, const std::string& uuid, std::string* path) {
  return ReadPath(Call(m_address, kNetworkManager, "/org/freedesktop/NetworkManager/Settings",
                       "org.freedesktop.NetworkManager.Settings", "AddConnection", "a{sa{sv}}", 1, "connection", 3,
                       "id", "s", id.c_str(), "uuid", "s", uuid.c_str(), "type", "s", "802-3-ethernet"),
                  path);
}

bool PrivateBus::activateProfile(const std::string& path, const std::string& name) {
  return bool(Call(m_address, kNetworkManager, kNetworkManagerPath, kMockInterface, "AddActiveConnection", "assssu", 0,
                   path.c_str(), "/", name.c_str(), 2u /* activated */));
}

bool PrivateBus::addModem(bool messaging, const char* behaviour, std::string* path) {
  return ReadPath(Call(m_address, kModemManager, kModemManagerPath, kMockInterface, "AddModem", "bs", messaging,
                       behaviour),
                  path);
}

std::vector<PrivateBus::MockSms> PrivateBus::messages(const std::string& modem) {
  std::vector<MockSms> found;
  const Reply reply = Call(m_address, kModemManager, kModemManagerPath, kMockInterface, "Messages", "o", modem.c_str());
  if (!reply || sd_bus_message_enter_container(reply.message.get(), 'a', "(ssibu)") < 0) return found;
  const char *number = nullptr, *text = nullptr;
  int messageClass = 0, report = 0;
  unsigned state = 0;
  while (sd_bus_message_read(reply.message.get(), "(ssibu)", &number, &text, &messageClass, &report, &state) > 0)
    found.push_back({number, text, messageClass, report != 0, state});
  return found;
}
