// A private D-Bus bus for tests, optionally with a mock NetworkManager on it
// (python3-dbusmock's networkmanager template). Both processes end with the
// object.
#pragma once

#include <sys/types.h>

#include <string>

class PrivateBus {
 public:
  PrivateBus() = default;
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // Why the tools are missing, or empty when dbus-daemon and dbusmock are here.
  static std::string MissingTools();

  // Starts the bus, and the mock when asked. False, with the reason in
  // *error, when something does not come up.
  bool start(bool withNetworkManager, std::string* error);
  const std::string& address() const { return m_address; }

  // Calls on the mock; false when the call fails.
  bool setConnectivity(unsigned connectivity);
  // Adds a connection profile; its object path goes to *path.
  bool addProfile(const std::string& id, const std::string& uuid, std::string* path);
  bool activateProfile(const std::string& path, const std::string& name);

 private:
  bool networkManagerOnBus();

  pid_t m_daemon = -1;
  pid_t m_mock = -1;
  std::string m_address;
};
