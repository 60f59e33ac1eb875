// Shared set-up of the request tests: a headless melodex (its window takes
// the reply-ready messages, its settings file steers the connection), the
// fake connection manager, short time-outs and a test server on 127.0.0.1.
#pragma once

#include <atomic>
#include <fstream>

#include "net/http_timeouts.h"
#include "platform/phone/fake_connection_manager.h"
#include "tests/support/client_fixture.h"
#include "tests/support/http_test_server.h"

class NetTest : public ClientTest {
 protected:
  void SetUp() override { start(); }
  void TearDown() override {
    ClientTest::TearDown();
    SetConnectionBackend(nullptr);
    SetHttpTimeouts({});
  }
  void started() override {
    SetConnectionBackend(&m_fake);
    SetHttpTimeouts({2000, 2000});
  }
  // Settings read afresh at every connection and request.
  void writeSettings(const std::string& text) const { std::ofstream(app_->root() / "settings.toml") << text; }

  FakeConnectionManager m_fake;
  // Lets a server handler that holds its reply back go on; it outlives the
  // server, whose handlers may still be running when a test body ends.
  std::atomic<bool> m_release{false};
  TestServer m_server;
};
