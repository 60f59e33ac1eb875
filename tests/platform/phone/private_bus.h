// A private D-Bus bus for tests, optionally with a mock NetworkManager on it
// (python3-dbusmock's networkmanager template) or a mock ModemManager (our
// own template, modemmanager_template.py). Both processes end with the
// object.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class PrivateBus {
 public:
  PrivateBus() = default;
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // Why the tools are missing, or empty when dbus-daemon and dbusmock are here.
  static std::string MissingTools();

  // Starts the bus, and the mock NetworkManager when asked. False, with the
  // reason in *error, when something does not come up.
  bool start(bool withNetworkManager, std::string* error);
  // Starts the bus with the mock ModemManager on it, without modems.
  bool startWithModemManager(std::string* error);
  const std::string& address() const { return m_address; }

  // Calls on the mock NetworkManager; false when the call fails.
  bool setConnectivity(unsigned connectivity);
  // Adds a connection profile; its object path goes to *path.
  bool addProfile(const std::string& id, const std::string& uuid, std::string* path);
  bool activateProfile(const std::string& path, const std::string& name);

  // A message as the mock ModemManager holds it.
  struct MockSms {
    std::string number;
    std::string text;
    int messageClass = -1;
    bool deliveryReport = true;
    unsigned state = 0;  // 1 stored, 5 sent
  };
  // Adds a modem, with messaging when asked; behaviour is "sends", "fails"
  // (every send refused) or "stalls" (10 s for each send). Its object path
  // goes to *path.
  bool addModem(bool messaging, const char* behaviour, std::string* path);
  // The messages the modem holds, oldest first.
  std::vector<MockSms> messages(const std::string& modem);

 private:
  bool startMock(const char* templateName, const char* service, std::string* error);

  pid_t m_daemon = -1;
  pid_t m_mock = -1;
  std::string m_address;
};
