// A real HTTP server on 127.0.0.1 for handler tests: it runs in its own
// threads and records what arrived.
#pragma once

#include <httplib.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TestServer {
 public:
  struct Arrival {
    std::string method;
    std::string target;  // path and query, as in the request line
    httplib::Headers headers;
    std::string body;
  };

  TestServer();
  ~TestServer();

  // Handlers are added before start().
  httplib::Server& server() { return m_server; }
  void start();

  std::string url(const std::string& target) const;
  int port() const { return m_port; }
  std::vector<Arrival> arrivals() const;
  void record(const httplib::Request& request);
  // True once stop has begun: long replies end then.
  bool stopping() const { return m_stopping; }

 private:
  httplib::Server m_server;
  std::thread m_thread;
  int m_port = 0;
  std::atomic<bool> m_stopping{false};
  mutable std::mutex m_mutex;
  std::vector<Arrival> m_arrivals;
};

// A port on 127.0.0.1 on which nothing listens.
int ClosedPort();
