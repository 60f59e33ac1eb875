// A connection manager for tests: every connection comes up at once unless
// told otherwise, and every call is recorded.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/phone/connection_manager.h"

class FakeConnectionManager : public ConnectionBackend {
 public:
  enum class Operation { Status, MapName, MapUrl, Establish, Release };

  struct Released {
    HANDLE connection;
    LONG linger;
  };

  // Makes every later call of that operation fail (or succeed again).
  void fail(Operation operation, bool failing = true);
  // The status word of every live connection (CONNMGR_STATUS_CONNECTED at first).
  void setStatus(DWORD status);

  // The network a name or URL maps to: distinct and stable per text.
  static GUID NetworkFor(const std::wstring& text);

  std::vector<CONNMGR_CONNECTIONINFO> requests() const;
  std::vector<DWORD> timeouts() const;
  std::vector<std::wstring> mappedNames() const;
  std::vector<std::wstring> mappedUrls() const;
  std::vector<Released> releases() const;
  int statusQueries() const;
  int liveConnections() const;

  HRESULT connectionStatus(HANDLE connection, DWORD* status) override;
  HRESULT mapName(ConRefType kind, LPCWSTR name, GUID* network) override;
  HRESULT mapUrl(LPCWSTR url, GUID* network) override;
  HRESULT establish(const CONNMGR_CONNECTIONINFO& info, DWORD timeoutMs, HANDLE* connection,
                    DWORD* status) override;
  HRESULT release(HANDLE connection, LONG linger) override;

 private:
  bool failing(Operation operation) const;

  mutable std::mutex m_mutex;
  std::map<Operation, bool> m_failing;
  DWORD m_status = CONNMGR_STATUS_CONNECTED;
  std::vector<CONNMGR_CONNECTIONINFO> m_requests;
  std::vector<DWORD> m_timeouts;
  std::vector<std::wstring> m_names;
  std::vector<std::wstring> m_urls;
  std::vector<Released> m_releases;
  int m_statusQueries = 0;
  std::set<HANDLE> m_live;
  UINT_PTR m_nextHandle = 1;
};
