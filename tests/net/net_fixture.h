// Shared set-up of the request tests: a headless melodex (its window takes
// the reply-ready messages, its settings file steers the connection), the
// fake connection manager, short time-outs and a test server on 127.0.0.1.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <string>

#include "net/http_timeouts.h"
#include "platform/phone/fake_connection_manager.h"
#include "tests/support/headless_app.h"
#include "tests/support/http_test_server.h"

class NetTest : public ::testing::Test {
 protected:
  void SetUp() override { startApp(); }
  void TearDown() override {
    m_app.reset();
    SetConnectionBackend(nullptr);
    SetHttpTimeouts({});
  }
  // A new program; the settings read at start-up, such as ownerID, come from the options.
  void startApp(const HeadlessApp::Options& options = {}) {
    m_app.reset();
    m_app = std::make_unique<HeadlessApp>(options);
    ASSERT_TRUE(m_app->started());
    SetConnectionBackend(&m_fake);
    SetHttpTimeouts({2000, 2000});
  }
  // Settings read afresh at every connection and request.
  void writeSettings(const std::string& text) const { std::ofstream(m_app->root() / "settings.toml") << text; }

  FakeConnectionManager m_fake;
  // Lets a server handler that holds its reply back go on; it outlives the
  // server, whose handlers may still be running when a test body ends.
  std::atomic<bool> m_release{false};
  TestServer m_server;
  std::unique_ptr<HeadlessApp> m_app;
};
