#include "net/http_timeouts.h"

#include <atomic>

namespace {
std::atomic<long> g_connectMs{HttpTimeouts{}.connectMs};
std::atomic<long> g_totalOnUserInterfaceMs{HttpTimeouts{}.totalOnUserInterfaceMs};
}  // namespace

HttpTimeouts CurrentHttpTimeouts() { return {g_connectMs.load(), g_totalOnUserInterfaceMs.load()}; }

void SetHttpTimeouts(const HttpTimeouts& timeouts) {
  g_connectMs = timeouts.connectMs;
  g_totalOnUserInterfaceMs = timeouts.totalOnUserInterfaceMs;
}
