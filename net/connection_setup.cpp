// HTTPHandler::setupConnection: asking the connection manager for a
// connection before a request, steered by the conn* settings.
#include <cstdlib>
#include <memory>

#include "app/log.h"
#include "app/settings.h"
#include "app/strings.h"
#include "net/http_handler.h"
#include "platform/phone/connection_manager.h"

namespace {

constexpr DWORD kNetNameChars = 256;  // 512 bytes of UTF-16, terminator included

struct BlockFree {
  void operator()(void* block) const { std::free(block); }
};

// The destination network: the one named by connNetName when that name maps,
// else the one that serves the URL.
bool FindNetwork(const wchar_t* url, GUID* network) {
  wchar_t name[kNetNameChars];
  if (ReadConnNetName(name, kNetNameChars) && SUCCEEDED(ConnMgrMapConRef(ConRefType_NAP, name, network))) return true;
  return SUCCEEDED(ConnMgrMapURL(url, network, nullptr));
}

}  // namespace

int HTTPHandler::setupConnection(const char* url) {
  if (m_hConnection) {
    DWORD status = 0;
    if (FAILED(ConnMgrConnectionStatus(m_hConnection, &status))) return 0;
    if (status == CONNMGR_STATUS_CONNECTED) return 1;
    // The old connection has dropped: give it back before asking anew.
    releaseConnection(0);
  }
  const std::unique_ptr<wchar_t, BlockFree> wideUrl(AnsiToWide(url));
  if (!wideUrl || !*wideUrl) return 0;
  GUID network{};
  if (!FindNetwork(wideUrl.get(), &network)) return 0;
  m_nLinger = ReadConnLingerTime();

  CONNMGR_CONNECTIONINFO info{};
  info.cbSize = sizeof info;
  info.dwParams = CONNMGR_PARAM_GUIDDESTNET;
  info.dwFlags = ReadConnFlags();
  info.dwPriority = ReadConnPriority();
  info.bExclusive = ReadConnExclusive();
  info.guidDestNet = network;
  DWORD status = 0;
  HANDLE connection = nullptr;
  if (FAILED(ConnMgrEstablishConnectionSync(&info, &connection, kConnectionTimeoutMs, &status))) {
    LogMessage("HTTPHandler::setupConnection: Couldn't establish the connection!\r\n");
    return 0;
  }
  m_hConnection = connection;
  return 1;
}
