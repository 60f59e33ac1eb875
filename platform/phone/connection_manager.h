// The phone's connection manager: bringing up a data connection that can
// reach a server, with the operations, record and values of the phone's
// cellular core library. Every call goes to one backend, chosen once: by
// default NetworkManager over D-Bus (see networkmanager_backend.h); tests
// install a fake. All calls are synchronous and may be made from any thread.
#pragma once

#include <algorithm>
#include <cstddef>

#include "platform/phone/hresult.h"
#include "platform/types.h"

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};

inline bool operator==(const GUID& a, const GUID& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         std::equal(a.Data4, a.Data4 + 8, b.Data4);
}

// Connection status words.
constexpr DWORD CONNMGR_STATUS_UNKNOWN = 0x00;
constexpr DWORD CONNMGR_STATUS_CONNECTED = 0x10;
constexpr DWORD CONNMGR_STATUS_DISCONNECTED = 0x20;
constexpr DWORD CONNMGR_STATUS_WAITINGCONNECTION = 0x40;

// Parameter mask, flags and priority of a connection request.
constexpr DWORD CONNMGR_PARAM_GUIDDESTNET = 0x1;
constexpr DWORD CONNMGR_FLAG_PROXY_HTTP = 0x1;
constexpr DWORD CONNMGR_PRIORITY_USERINTERACTIVE = 0x8000;

// Kinds of network name for ConnMgrMapConRef.
enum ConRefType { ConRefType_NAP = 0, ConRefType_PROXY = 1 };

// The connection request record, 64 bytes little-endian as the connection
// manager defines it. The notification fields are 32 bits wide, as on the
// phone; this program never asks for notifications and leaves them 0.
struct CONNMGR_CONNECTIONINFO {
  DWORD cbSize;
  DWORD dwParams;
  DWORD dwFlags;
  DWORD dwPriority;
  BOOL bExclusive;
  BOOL bDisabled;
  GUID guidDestNet;
  DWORD hWnd;
  DWORD uMsg;
  DWORD lParam;
  ULONG ulMaxCost;
  ULONG ulMinRcvBw;
  ULONG ulMaxConnLatency;
};
static_assert(sizeof(CONNMGR_CONNECTIONINFO) == 64);
static_assert(offsetof(CONNMGR_CONNECTIONINFO, guidDestNet) == 24);
static_assert(offsetof(CONNMGR_CONNECTIONINFO, hWnd) == 40);
static_assert(offsetof(CONNMGR_CONNECTIONINFO, ulMaxConnLatency) == 60);

// The status word of a connection that ConnMgrEstablishConnectionSync made.
HRESULT ConnMgrConnectionStatus(HANDLE connection, DWORD* status);

// The network that a name of the given kind stands for. Fails for a name
// that the connection manager does not know.
HRESULT ConnMgrMapConRef(ConRefType kind, LPCWSTR name, GUID* network);

// The network that serves the URL. index may be null (no index wanted).
HRESULT ConnMgrMapURL(LPCWSTR url, GUID* network, DWORD* index);

// Brings up a connection to info->guidDestNet, waiting at most timeoutMs.
// info->cbSize must be 64. On success *connection is held until
// ConnMgrReleaseConnection.
HRESULT ConnMgrEstablishConnectionSync(CONNMGR_CONNECTIONINFO* info, HANDLE* connection, DWORD timeoutMs,
                                       DWORD* status);

// Gives the connection back; linger is how long, in seconds, the network
// may stay up for a next request.
HRESULT ConnMgrReleaseConnection(HANDLE connection, LONG linger);

// What the ConnMgr* calls run on.
class ConnectionBackend {
 public:
  virtual ~ConnectionBackend() = default;
  virtual HRESULT connectionStatus(HANDLE connection, DWORD* status) = 0;
  virtual HRESULT mapName(ConRefType kind, LPCWSTR name, GUID* network) = 0;
  virtual HRESULT mapUrl(LPCWSTR url, GUID* network) = 0;
  virtual HRESULT establish(const CONNMGR_CONNECTIONINFO& info, DWORD timeoutMs, HANDLE* connection,
                            DWORD* status) = 0;
  virtual HRESULT release(HANDLE connection, LONG linger) = 0;
};

// Routes every ConnMgr* call to `backend`, which the caller keeps alive
// until it routes them elsewhere; null returns to the default backend. Set it
// while no call is in progress.
void SetConnectionBackend(ConnectionBackend* backend);
