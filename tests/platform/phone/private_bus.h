// A private D-Bus bus for tests, optionally with a mock NetworkManager on it
// (python3-dbusmock's networkmanager template) or a mock ModemManager (our
// own template, modemmanager_template.py); both end with the object.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

class PrivateBus {
 public:
  ~PrivateBus();

  // Why the tools are missing, or empty when dbus-daemon and dbusmock are here.
  static std::string MissingTools();
  // Starts the bus, and the mock NetworkManager when asked, or the mock
  // ModemManager without modems. False, with the reason in *error, when
  // something does not come up.
  bool start(bool withNetworkManager, std::string* error);
  bool startWithModemManager(std::string* error);
  const std::string& address() const { return m_address; }

  // Calls on the mock NetworkManager; false when the call fails.
  bool setConnectivity(unsigned connectivity);
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
  // (every send refused) or "stalls" (10 s for each send).
  bool addModem(bool messaging, const char* behaviour, std::string* path);
  // The messages the modem holds, oldest first.
  std::vector<MockSms> messages(const std::string& modem);

 private:
  bool startMock(const char* templateName, const char* service, std::string* error);

  std::filesystem::path m_folder;
  ChildProcess m_daemon;
  ChildProcess m_mock;
  std::string m_address;
};
