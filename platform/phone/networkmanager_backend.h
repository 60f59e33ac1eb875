// The connection manager on NetworkManager, over the system D-Bus (or the
// bus at $MELODEX_SYSTEM_BUS_ADDRESS). Where there is no bus, or
// NetworkManager is not on it, every operation succeeds and every connection
// counts as up.
//
// A network name maps to the NetworkManager connection profile with that id
// (the network is the profile's UUID); a URL maps to the route to its host and
// port. A connection is established when NetworkManager reports full
// connectivity, or limited connectivity (portal, limited or unknown) on which
// the network is usable: the URL's server accepts a TCP connection, or the
// named profile is active. Establishing waits for that, up to its time-out.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "platform/phone/connection_manager.h"

class NmSession;

class NetworkManagerBackend : public ConnectionBackend {
 public:
  HRESULT connectionStatus(HANDLE connection, DWORD* status) override;
  HRESULT mapName(ConRefType kind, LPCWSTR name, GUID* network) override;
  HRESULT mapUrl(LPCWSTR url, GUID* network) override;
  HRESULT establish(const CONNMGR_CONNECTIONINFO& info, DWORD timeoutMs, HANDLE* connection,
                    DWORD* status) override;
  HRESULT release(HANDLE connection, LONG linger) override;

 private:
  struct Endpoint {
    std::string host;
    std::string port;
  };

  // Whether the network can be used now; a server probe waits at most probeMs.
  bool usable(NmSession& session, const GUID& network, int probeMs);
  bool endpointOf(const GUID& network, Endpoint* endpoint);
  HANDLE hold(const GUID& network);

  std::mutex m_mutex;
  std::map<std::string, Endpoint> m_endpoints;  // by network identifier bytes
  std::map<HANDLE, GUID> m_connections;
  UINT_PTR m_nextHandle = 1;
};
