#include "tests/platform/phone/private_bus.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr const char* kDaemon = "/usr/bin/dbus-daemon";
// Debian's interpreter, which has dbusmock; python3 on PATH may be another.
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kService = "org.freedesktop.NetworkManager";
constexpr const char* kManagerPath = "/org/freedesktop/NetworkManager";
constexpr const char* kMockInterface = "org.freedesktop.DBus.Mock";
constexpr const char* kModemService = "org.freedesktop.ModemManager1";
constexpr const char* kModemManagerPath = "/org/freedesktop/ModemManager1";

// Runs argv with stdout going to outFd (or /dev/null when -1), stderr to /dev/null.
pid_t Spawn(const std::vector<const char*>& argv, int outFd, char** env) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (outFd >= 0)
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
  else
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const char* arg : argv) args.push_back(const_cast<char*>(arg));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, args.data(), env) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

struct BusClose {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};

std::unique_ptr<sd_bus, BusClose> Connect(const std::string& address) {
  sd_bus* bus = nullptr;
  if (sd_bus_new(&bus) < 0) return nullptr;
  std::unique_ptr<sd_bus, BusClose> owned(bus);
  if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0)
    return nullptr;
  return owned;
}

}  // namespace

PrivateBus::~PrivateBus() {
  Stop(m_mock);
  Stop(m_daemon);
}

std::string PrivateBus::MissingTools() {
  if (access(kDaemon, X_OK) != 0) return "dbus-daemon is not installed (Debian package dbus)";
  if (std::system("/usr/bin/python3 -c 'import dbusmock' >/dev/null 2>&1") != 0)
    return "python3-dbusmock is not installed for /usr/bin/python3";
  return {};
}

bool PrivateBus::start(bool withNetworkManager, std::string* error) {
  if (!startDaemon(error)) return false;
  return !withNetworkManager || startMock("networkmanager", kService, error);
}

bool PrivateBus::startWithModemManager(std::string* error) {
  return startDaemon(error) && startMock(MELODEX_MODEMMANAGER_TEMPLATE, kModemService, error);
}

bool PrivateBus::startDaemon(std::string* error) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return *error = "no pipe", false;
  m_daemon = Spawn({kDaemon, "--session", "--nofork", "--print-address=1"}, pipeFds[1], environ);
  close(pipeFds[1]);
  char buffer[512];
  std::string line;
  ssize_t count = 0;
  while (line.find('\n') == std::string::npos && (count = read(pipeFds[0], buffer, sizeof buffer)) > 0)
    line.append(buffer, count);
  close(pipeFds[0]);
  if (m_daemon < 0 || line.find('\n') == std::string::npos) return *error = "dbus-daemon did not start", false;
  m_address = line.substr(0, line.find('\n'));
  return true;
}

bool PrivateBus::startMock(const char* templateName, const char* service, std::string* error) {
  std::vector<std::string> variables;
  for (char** entry = environ; *entry; ++entry) variables.emplace_back(*entry);
  variables.push_back("DBUS_SESSION_BUS_ADDRESS=" + m_address);
  std::vector<char*> env;
  for (std::string& variable : variables) env.push_back(variable.data());
  env.push_back(nullptr);
  m_mock = Spawn({kPython, "-m", "dbusmock", "--session", "--template", templateName}, -1, env.data());
  for (int i = 0; i < 200 && m_mock > 0; ++i) {
    if (serviceOnBus(service)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return *error = std::string("the mock ") + service + " did not appear on the bus", false;
}

bool PrivateBus::serviceOnBus(const char* service) {
  auto bus = Connect(m_address);
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int owned = 0;
  const bool asked = bus && sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                               "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                                               service) >= 0;
  if (asked) sd_bus_message_read(reply, "b", &owned);
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  return owned;
}

bool PrivateBus::setConnectivity(unsigned connectivity) {
  auto bus = Connect(m_address);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const bool ok = bus && sd_bus_call_method(bus.get(), kService, kManagerPath, kMockInterface, "SetConnectivity",
                                            &error, nullptr, "u", connectivity) >= 0;
  sd_bus_error_free(&error);
  return ok;
}

bool PrivateBus::addProfile(const std::string& id, const std::string& uuid, std::string* path) {
  auto bus = Connect(m_address);
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const char* added = nullptr;
  const bool ok = bus &&
                  sd_bus_call_method(bus.get(), kService, "/org/freedesktop/NetworkManager/Settings",
                                     "org.freedesktop.NetworkManager.Settings", "AddConnection", &error, &reply,
                                     "a{sa{sv}}", 1, "connection", 3, "id", "s", id.c_str(), "uuid", "s",
                                     uuid.c_str(), "type", "s", "802-3-ethernet") >= 0 &&
                  sd_bus_message_read(reply, "o", &added) >= 0;
  if (ok) *path = added;
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  return ok;
}

bool PrivateBus::activateProfile(const std::string& path, const std::string& name) {
  auto bus = Connect(m_address);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  constexpr unsigned kActivated = 2;
  const bool ok = bus && sd_bus_call_method(bus.get(), kService, kManagerPath, kMockInterface, "AddActiveConnection",
                                            &error, nullptr, "assssu", 0, path.c_str(), "/", name.c_str(),
                                            kActivated) >= 0;
  sd_bus_error_free(&error);
  return ok;
}

bool PrivateBus::addModem(bool messaging, const char* behaviour, std::string* path) {
  auto bus = Connect(m_address);
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const char* added = nullptr;
  const bool ok = bus &&
                  sd_bus_call_method(bus.get(), kModemService, kModemManagerPath, kMockInterface, "AddModem", &error,
                                     &reply, "bs", messaging, behaviour) >= 0 &&
                  sd_bus_message_read(reply, "o", &added) >= 0;
  if (ok) *path = added;
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  return ok;
}

namespace {

constexpr const char* kSmsInterface = "org.freedesktop.ModemManager1.Sms";

std::string SmsString(sd_bus* bus, const std::string& path, const char* name) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  char* value = nullptr;
  std::string text;
  if (sd_bus_get_property_string(bus, kModemService, path.c_str(), kSmsInterface, name, &error, &value) >= 0)
    text = value;
  std::free(value);
  sd_bus_error_free(&error);
  return text;
}

template <typename Value>
void SmsValue(sd_bus* bus, const std::string& path, const char* name, char type, Value* value) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_get_property_trivial(bus, kModemService, path.c_str(), kSmsInterface, name, &error, type, value);
  sd_bus_error_free(&error);
}

}  // namespace

std::vector<PrivateBus::MockSms> PrivateBus::messages(const std::string& modem) {
  std::vector<MockSms> found;
  auto bus = Connect(m_address);
  if (!bus) return found;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  std::vector<std::string> paths;
  if (sd_bus_get_property(bus.get(), kModemService, modem.c_str(), "org.freedesktop.ModemManager1.Modem.Messaging",
                          "Messages", &error, &reply, "ao") >= 0 &&
      sd_bus_message_enter_container(reply, 'a', "o") >= 0) {
    const char* path = nullptr;
    while (sd_bus_message_read(reply, "o", &path) > 0) paths.emplace_back(path);
  }
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  for (const std::string& path : paths) {
    MockSms sms;
    sms.number = SmsString(bus.get(), path, "Number");
    sms.text = SmsString(bus.get(), path, "Text");
    SmsValue(bus.get(), path, "Class", 'i', &sms.messageClass);
    int report = 1;
    SmsValue(bus.get(), path, "DeliveryReportRequest", 'b', &report);
    sms.deliveryReport = report;
    SmsValue(bus.get(), path, "State", 'u', &sms.state);
    found.push_back(sms);
  }
  return found;
}
