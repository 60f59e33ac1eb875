#include "platform/phone/fake_connection_manager.h"

#include <cstring>
#include <functional>

void FakeConnectionManager::fail(Operation operation, bool failing) {
  std::lock_guard lock(m_mutex);
  m_failing[operation] = failing;
}

void FakeConnectionManager::setStatus(DWORD status) {
  std::lock_guard lock(m_mutex);
  m_status = status;
}

GUID FakeConnectionManager::NetworkFor(const std::wstring& text) {
  const std::size_t hash = std::hash<std::wstring>{}(text);
  GUID network{};
  network.Data1 = static_cast<DWORD>(hash);
  network.Data2 = static_cast<WORD>(hash >> 32);
  network.Data3 = static_cast<WORD>(hash >> 48);
  std::memcpy(network.Data4, "fakenet!", 8);
  return network;
}

std::vector<CONNMGR_CONNECTIONINFO> FakeConnectionManager::requests() const {
  std::lock_guard lock(m_mutex);
  return m_requests;
}

std::vector<DWORD> FakeConnectionManager::timeouts() const {
  std::lock_guard lock(m_mutex);
  return m_timeouts;
}

std::vector<std::wstring> FakeConnectionManager::mappedNames() const {
  std::lock_guard lock(m_mutex);
  return m_names;
}

std::vector<std::wstring> FakeConnectionManager::mappedUrls() const {
  std::lock_guard lock(m_mutex);
  return m_urls;
}

std::vector<FakeConnectionManager::Released> FakeConnectionManager::releases() const {
  std::lock_guard lock(m_mutex);
  return m_releases;
}

int FakeConnectionManager::statusQueries() const {
  std::lock_guard lock(m_mutex);
  return m_statusQueries;
}

int FakeConnectionManager::liveConnections() const {
  std::lock_guard lock(m_mutex);
  return static_cast<int>(m_live.size());
}

bool FakeConnectionManager::failing(Operation operation) const {
  const auto found = m_failing.find(operation);
  return found != m_failing.end() && found->second;
}

HRESULT FakeConnectionManager::connectionStatus(HANDLE connection, DWORD* status) {
  std::lock_guard lock(m_mutex);
  ++m_statusQueries;
  if (failing(Operation::Status) || !m_live.count(connection)) return E_FAIL;
  *status = m_status;
  return S_OK;
}

HRESULT FakeConnectionManager::mapName(ConRefType kind, LPCWSTR name, GUID* network) {
  std::lock_guard lock(m_mutex);
  m_names.emplace_back(name);
  if (failing(Operation::MapName) || kind != ConRefType_NAP) return E_FAIL;
  *network = NetworkFor(name);
  return S_OK;
}

HRESULT FakeConnectionManager::mapUrl(LPCWSTR url, GUID* network) {
  std::lock_guard lock(m_mutex);
  m_urls.emplace_back(url);
  if (failing(Operation::MapUrl)) return E_FAIL;
  *network = NetworkFor(url);
  return S_OK;
}

HRESULT FakeConnectionManager::establish(const CONNMGR_CONNECTIONINFO& info, DWORD timeoutMs, HANDLE* connection,
                                         DWORD* status) {
  std::lock_guard lock(m_mutex);
  m_requests.push_back(info);
  m_timeouts.push_back(timeoutMs);
  if (failing(Operation::Establish)) {
    *status = CONNMGR_STATUS_DISCONNECTED;
    return E_FAIL;
  }
  *connection = reinterpret_cast<HANDLE>(m_nextHandle++);
  m_live.insert(*connection);
  *status = CONNMGR_STATUS_CONNECTED;
  return S_OK;
}

HRESULT FakeConnectionManager::release(HANDLE connection, LONG linger) {
  std::lock_guard lock(m_mutex);
  m_releases.push_back({connection, linger});
  if (failing(Operation::Release) || !m_live.erase(connection)) return E_FAIL;
  return S_OK;
}
