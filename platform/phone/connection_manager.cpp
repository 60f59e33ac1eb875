#include "platform/phone/connection_manager.h"

#include <atomic>

#include "platform/phone/networkmanager_backend.h"

namespace {

std::atomic<ConnectionBackend*> g_backend{nullptr};

ConnectionBackend& Backend() {
  if (ConnectionBackend* installed = g_backend.load()) return *installed;
  static NetworkManagerBackend networkManager;
  return networkManager;
}

}  // namespace

void SetConnectionBackend(ConnectionBackend* backend) { g_backend.store(backend); }

HRESULT ConnMgrConnectionStatus(HANDLE connection, DWORD* status) {
  if (!connection || !status) return E_INVALIDARG;
  return Backend().connectionStatus(connection, status);
}

HRESULT ConnMgrMapConRef(ConRefType kind, LPCWSTR name, GUID* network) {
  if (!name || !network) return E_INVALIDARG;
  return Backend().mapName(kind, name, network);
}

HRESULT ConnMgrMapURL(LPCWSTR url, GUID* network, DWORD* index) {
  if (!url || !network) return E_INVALIDARG;
  if (index) *index = 0;
  return Backend().mapUrl(url, network);
}

HRESULT ConnMgrEstablishConnectionSync(CONNMGR_CONNECTIONINFO* info, HANDLE* connection, DWORD timeoutMs,
                                       DWORD* status) {
  if (!info || !connection || info->cbSize != sizeof(CONNMGR_CONNECTIONINFO)) return E_INVALIDARG;
  *connection = nullptr;
  DWORD ignored = 0;
  return Backend().establish(*info, timeoutMs, connection, status ? status : &ignored);
}

HRESULT ConnMgrReleaseConnection(HANDLE connection, LONG linger) {
  if (!connection) return E_INVALIDARG;
  return Backend().release(connection, linger);
}
