#include "tests/support/http_test_server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

TestServer::TestServer() {
  // One request per connection, so that stopping never waits on an idle one.
  m_server.set_keep_alive_max_count(1);
}

TestServer::~TestServer() {
  m_stopping = true;
  m_server.stop();
  if (m_thread.joinable()) m_thread.join();
}

void TestServer::start() {
  m_port = m_server.bind_to_any_port("127.0.0.1");
  m_thread = std::thread([this] { m_server.listen_after_bind(); });
  // A stop before the server runs would be lost, and the join would hang.
  while (!m_server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::string TestServer::url(const std::string& target) const {
  return "http://127.0.0.1:" + std::to_string(m_port) + target;
}

std::vector<TestServer::Arrival> TestServer::arrivals() const {
  std::lock_guard lock(m_mutex);
  return m_arrivals;
}

void TestServer::record(const httplib::Request& request) {
  std::lock_guard lock(m_mutex);
  m_arrivals.push_back({request.method, request.target, request.headers, request.body});
}

int ClosedPort() {
  // Bound but never listening: a connection is refused.
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  const int port = ntohs(address.sin_port);
  close(fd);
  return port;
}
