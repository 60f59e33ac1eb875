#include "platform/phone/networkmanager_backend.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "platform/phone/host_probe.h"
#include "platform/phone/system_bus.h"
#include "platform/system/wide_text.h"

namespace {

constexpr const char* kService = "org.freedesktop.NetworkManager";
constexpr const char* kManagerPath = "/org/freedesktop/NetworkManager";
constexpr const char* kManagerInterface = "org.freedesktop.NetworkManager";
constexpr const char* kSettingsPath = "/org/freedesktop/NetworkManager/Settings";
constexpr const char* kSettingsInterface = "org.freedesktop.NetworkManager.Settings";
constexpr const char* kProfileInterface = "org.freedesktop.NetworkManager.Settings.Connection";
constexpr const char* kActiveInterface = "org.freedesktop.NetworkManager.Connection.Active";

// NMConnectivityState.
constexpr std::uint32_t kConnectivityNone = 1;
constexpr std::uint32_t kConnectivityFull = 4;

constexpr int kPollMs = 100;
constexpr int kProbeMs = 1000;

// Reads an array of object paths ("ao") from the message.
bool ReadPaths(sd_bus_message* message, std::vector<std::string>* paths) {
  if (sd_bus_message_enter_container(message, 'a', "o") < 0) return false;
  const char* path = nullptr;
  int read = 0;
  while ((read = sd_bus_message_read(message, "o", &path)) > 0) paths->emplace_back(path);
  return read == 0 && sd_bus_message_exit_container(message) >= 0;
}

// The "connection" group's id and uuid from a profile's a{sa{sv}} settings.
bool ReadProfileIdentity(sd_bus_message* message, std::string* id, std::string* uuid) {
  if (sd_bus_message_enter_container(message, 'a', "{sa{sv}}") < 0) return false;
  while (sd_bus_message_enter_container(message, 'e', "sa{sv}") > 0) {
    const char* group = nullptr;
    if (sd_bus_message_read(message, "s", &group) < 0) return false;
    if (std::strcmp(group, "connection") != 0) {
      if (sd_bus_message_skip(message, "a{sv}") < 0) return false;
    } else {
      if (sd_bus_message_enter_container(message, 'a', "{sv}") < 0) return false;
      while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
        const char* key = nullptr;
        char type = 0;
        const char* contents = nullptr;
        if (sd_bus_message_read(message, "s", &key) < 0 || sd_bus_message_peek_type(message, &type, &contents) < 0)
          return false;
        std::string* target = std::strcmp(key, "id") == 0 ? id : std::strcmp(key, "uuid") == 0 ? uuid : nullptr;
        const char* value = nullptr;
        if (target && contents && std::strcmp(contents, "s") == 0) {
          if (sd_bus_message_read(message, "v", "s", &value) < 0) return false;
          *target = value;
        } else if (sd_bus_message_skip(message, "v") < 0) {
          return false;
        }
        if (sd_bus_message_exit_container(message) < 0) return false;
      }
      if (sd_bus_message_exit_container(message) < 0) return false;
    }
    if (sd_bus_message_exit_container(message) < 0) return false;
  }
  return sd_bus_message_exit_container(message) >= 0;
}

bool ParseUuid(const std::string& text, GUID* network) {
  unsigned a = 0, b = 0, c = 0, d[8] = {};
  if (text.size() != 36 || std::sscanf(text.c_str(), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &a, &b, &c, &d[0], &d[1],
                                       &d[2], &d[3], &d[4], &d[5], &d[6], &d[7]) != 11)
    return false;
  network->Data1 = a;
  network->Data2 = static_cast<WORD>(b);
  network->Data3 = static_cast<WORD>(c);
  for (int i = 0; i < 8; ++i) network->Data4[i] = static_cast<BYTE>(d[i]);
  return true;
}

std::string FormatUuid(const GUID& network) {
  char text[37];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", network.Data1, network.Data2,
                network.Data3, network.Data4[0], network.Data4[1], network.Data4[2], network.Data4[3], network.Data4[4],
                network.Data4[5], network.Data4[6], network.Data4[7]);
  return text;
}

// A network identifier standing for a text (a route, or a name while there
// is no NetworkManager): stable, and marked so that it is no profile's UUID.
GUID NetworkForText(const std::string& text) {
  const std::size_t low = std::hash<std::string>{}(text);
  const std::size_t high = std::hash<std::string>{}(text + "\n");
  GUID network{};
  network.Data1 = static_cast<DWORD>(low);
  network.Data2 = static_cast<WORD>(low >> 32);
  network.Data3 = static_cast<WORD>(low >> 48);
  for (int i = 0; i < 8; ++i) network.Data4[i] = static_cast<BYTE>(high >> (8 * i));
  network.Data4[0] = 0;  // variant bits 0: the NCS range, which profile UUIDs never use
  return network;
}

std::string Key(const GUID& network) { return std::string(reinterpret_cast<const char*>(&network), sizeof network); }

}  // namespace

// One conversation with NetworkManager on the bus, on the calling thread.
class NmSession {
 public:
  NmSession() : m_bus(OpenSystemBus()) { m_present = m_bus && nameHasOwner(); }

  // False when there is no bus or NetworkManager is not on it.
  bool present() const { return m_present; }

  // NMConnectivityState; false when it cannot be read.
  bool connectivity(std::uint32_t* value) {
    BusError error;
    return sd_bus_get_property_trivial(m_bus.get(), kService, kManagerPath, kManagerInterface, "Connectivity",
                                       error.get(), 'u', value) >= 0;
  }

  // Whether NetworkManager left the bus since the session began.
  bool gone() { return !nameHasOwner(); }

  bool profileUuid(const std::string& name, std::string* uuid) {
    std::vector<std::string> profiles;
    if (!callForPaths(kSettingsPath, kSettingsInterface, "ListConnections", &profiles)) return false;
    for (const std::string& profile : profiles) {
      BusError error;
      sd_bus_message* raw = nullptr;
      if (sd_bus_call_method(m_bus.get(), kService, profile.c_str(), kProfileInterface, "GetSettings", error.get(),
                             &raw, "") < 0)
        continue;
      Message reply(raw);
      std::string id, found;
      if (ReadProfileIdentity(raw, &id, &found) && id == name && !found.empty()) {
        *uuid = found;
        return true;
      }
    }
    return false;
  }

  bool profileActive(const std::string& uuid) {
    BusError error;
    sd_bus_message* raw = nullptr;
    if (sd_bus_get_property(m_bus.get(), kService, kManagerPath, kManagerInterface, "ActiveConnections", error.get(),
                            &raw, "ao") < 0)
      return false;
    Message reply(raw);
    std::vector<std::string> active;
    if (!ReadPaths(raw, &active)) return false;
    return std::any_of(active.begin(), active.end(), [&](const std::string& path) {
      BusError propertyError;
      char* value = nullptr;
      if (sd_bus_get_property_string(m_bus.get(), kService, path.c_str(), kActiveInterface, "Uuid", propertyError.get(),
                                     &value) < 0)
        return false;
      const bool same = uuid == value;
      std::free(value);
      return same;
    });
  }

 private:
  bool nameHasOwner() {
    BusError error;
    sd_bus_message* raw = nullptr;
    if (sd_bus_call_method(m_bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "NameHasOwner", error.get(), &raw, "s", kService) < 0)
      return false;
    Message reply(raw);
    int owned = 0;
    return sd_bus_message_read(raw, "b", &owned) >= 0 && owned;
  }

  bool callForPaths(const char* path, const char* interface, const char* method, std::vector<std::string>* paths) {
    BusError error;
    sd_bus_message* raw = nullptr;
    if (sd_bus_call_method(m_bus.get(), kService, path, interface, method, error.get(), &raw, "") < 0) return false;
    Message reply(raw);
    return ReadPaths(raw, paths);
  }

  Bus m_bus;
  bool m_present = false;
};

HRESULT NetworkManagerBackend::mapName(ConRefType kind, LPCWSTR name, GUID* network) {
  if (kind != ConRefType_NAP) return E_FAIL;
  const std::string text = WideToUtf8(name);
  NmSession session;
  if (!session.present()) {
    *network = NetworkForText(text);
    return S_OK;
  }
  std::string uuid;
  return session.profileUuid(text, &uuid) && ParseUuid(uuid, network) ? S_OK : E_FAIL;
}

HRESULT NetworkManagerBackend::mapUrl(LPCWSTR url, GUID* network) {
  // Any URL maps: one that names no server is served by whatever network is
  // up, and is then usable only with full connectivity.
  Endpoint endpoint;
  const bool named = EndpointOfUrl(WideToUtf8(url), &endpoint.host, &endpoint.port);
  *network = NetworkForText(named ? endpoint.host + "\n" + endpoint.port : std::string());
  if (named) {
    std::lock_guard lock(m_mutex);
    m_endpoints[Key(*network)] = endpoint;
  }
  return S_OK;
}

HRESULT NetworkManagerBackend::establish(const CONNMGR_CONNECTIONINFO& info, DWORD timeoutMs, HANDLE* connection,
                                         DWORD* status) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  NmSession session;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (!session.present() ||
        usable(session, info.guidDestNet, static_cast<int>(std::clamp<long>(left, 1, kProbeMs)))) {
      *connection = hold(info.guidDestNet);
      *status = CONNMGR_STATUS_CONNECTED;
      return S_OK;
    }
    const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (remaining <= 0) {
      *status = CONNMGR_STATUS_WAITINGCONNECTION;
      return E_FAIL;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long>(remaining, kPollMs)));
  }
}

HRESULT NetworkManagerBackend::connectionStatus(HANDLE connection, DWORD* status) {
  GUID network{};
  {
    std::lock_guard lock(m_mutex);
    const auto found = m_connections.find(connection);
    if (found == m_connections.end()) return E_INVALIDARG;
    network = found->second;
  }
  NmSession session;
  *status =
      !session.present() || usable(session, network, kProbeMs) ? CONNMGR_STATUS_CONNECTED : CONNMGR_STATUS_DISCONNECTED;
  return S_OK;
}

HRESULT NetworkManagerBackend::release(HANDLE connection, LONG) {
  // Nothing was switched on for the connection, so there is nothing to keep
  // lingering: the handle is simply forgotten.
  std::lock_guard lock(m_mutex);
  return m_connections.erase(connection) ? S_OK : E_INVALIDARG;
}

bool NetworkManagerBackend::usable(NmSession& session, const GUID& network, int probeMs) {
  std::uint32_t connectivity = 0;
  if (!session.connectivity(&connectivity)) return session.gone();
  if (connectivity == kConnectivityFull) return true;
  if (connectivity == kConnectivityNone) return false;
  Endpoint endpoint;
  if (endpointOf(network, &endpoint)) return HostReachable(endpoint.host, endpoint.port, probeMs);
  return session.profileActive(FormatUuid(network));
}

bool NetworkManagerBackend::endpointOf(const GUID& network, Endpoint* endpoint) {
  std::lock_guard lock(m_mutex);
  const auto found = m_endpoints.find(Key(network));
  if (found == m_endpoints.end()) return false;
  *endpoint = found->second;
  return true;
}

HANDLE NetworkManagerBackend::hold(const GUID& network) {
  std::lock_guard lock(m_mutex);
  const HANDLE connection = reinterpret_cast<HANDLE>(m_nextHandle++);
  m_connections[connection] = network;
  return connection;
}
