// A port on 127.0.0.1 that takes connections into its backlog while the
// object lives and never answers them: a server that is up but silent. Not
// `listening`, it is bound and refuses them, and no other socket takes it.
// Header-only, so that tests without the shared fixtures' library use it too.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

class SilentPort {
 public:
  explicit SilentPort(bool listening = true) : m_fd(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (listening) listen(m_fd, 8);
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
  }
  ~SilentPort() { close(m_fd); }
  SilentPort(const SilentPort&) = delete;
  SilentPort& operator=(const SilentPort&) = delete;

  int port() const { return m_port; }
  // The identification endpoint as the client's settings name it.
  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/servlet/QuaverId"; }

 private:
  int m_fd;
  int m_port = 0;
};
