// A real HTTP server on 127.0.0.1 for request tests: it runs in its own
// threads and records what arrived.
#pragma once

#include <httplib.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/silent_port.h"

class TestServer {
 public:
  struct Arrival {
    std::string method;
    std::string target;  // path and query, as in the request line
    httplib::Headers headers;
    std::string body;
  };

  // One request per connection, so that stopping never waits on an idle one.
  TestServer() { m_server.set_keep_alive_max_count(1); }
  ~TestServer() {
    m_stopping = true;
    m_server.stop();
    if (m_thread.joinable()) m_thread.join();
  }

  // Answers `method` ("GET" or "POST") requests for `pattern` with `reply`,
  // recording each as it arrives. Before start().
  void on(const std::string& method, const std::string& pattern, const httplib::Server::Handler& reply) {
    const auto recorded = [this, reply](const httplib::Request& request, httplib::Response& response) {
      record(request);
      reply(request, response);
    };
    method == "POST" ? m_server.Post(pattern, recorded) : m_server.Get(pattern, recorded);
  }
  void start() {
    m_port = m_server.bind_to_any_port("127.0.0.1");
    m_thread = std::thread([this] { m_server.listen_after_bind(); });
    // A stop before the server runs would be lost, and the join would hang.
    while (!m_server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::string url(const std::string& target) const { return "http://127.0.0.1:" + std::to_string(m_port) + target; }
  std::vector<Arrival> arrivals() const {
    std::lock_guard lock(m_mutex);
    return m_arrivals;
  }
  // True once stop has begun: long replies end then.
  bool stopping() const { return m_stopping; }

 private:
  void record(const httplib::Request& request) {
    std::lock_guard lock(m_mutex);
    m_arrivals.push_back({request.method, request.target, request.headers, request.body});
  }

  httplib::Server m_server;
  std::thread m_thread;
  int m_port = 0;
  std::atomic<bool> m_stopping{false};
  mutable std::mutex m_mutex;
  std::vector<Arrival> m_arrivals;
};

// A port on 127.0.0.1 that was free a moment ago, for a server to listen on.
inline int FreePort() { return SilentPort().port(); }

// A port on 127.0.0.1 on which nothing listens, so that connections are
// refused; held for the whole program, so that no parallel test takes it over.
inline int ClosedPort() {
  static const SilentPort closed(false);
  return closed.port();
}
