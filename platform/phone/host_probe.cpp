#include "platform/phone/host_probe.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>

namespace {

struct UrlFree {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct PartFree {
  void operator()(char* part) const { curl_free(part); }
};
struct AddressFree {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

std::string Part(CURLU* url, CURLUPart which, unsigned flags) {
  char* raw = nullptr;
  if (curl_url_get(url, which, &raw, flags) != CURLUE_OK) return {};
  std::unique_ptr<char, PartFree> part(raw);
  return part.get();
}

// A non-blocking connect to one address, waited for at most timeoutMs.
bool ConnectsWithin(const addrinfo& address, int timeoutMs) {
  const int fd = socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol);
  if (fd < 0) return false;
  bool connected = connect(fd, address.ai_addr, address.ai_addrlen) == 0;
  if (!connected && errno == EINPROGRESS) {
    pollfd wait{fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    connected = poll(&wait, 1, timeoutMs) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
                error == 0;
  }
  close(fd);
  return connected;
}

}  // namespace

bool EndpointOfUrl(const std::string& text, std::string* host, std::string* port) {
  std::unique_ptr<CURLU, UrlFree> url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return false;
  const std::string scheme = Part(url.get(), CURLUPART_SCHEME, 0);
  if (scheme != "http" && scheme != "https") return false;
  *host = Part(url.get(), CURLUPART_HOST, 0);
  *port = Part(url.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  // An IPv6 literal comes back in brackets, which the resolver does not take.
  if (host->size() > 2 && host->front() == '[' && host->back() == ']') *host = host->substr(1, host->size() - 2);
  return !host->empty() && !port->empty();
}

bool HostReachable(const std::string& host, const std::string& port, int timeoutMs) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
  std::unique_ptr<addrinfo, AddressFree> addresses(found);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (const addrinfo* address = found; address; address = address->ai_next) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    if (ConnectsWithin(*address, static_cast<int>(left))) return true;
  }
  return false;
}
