// Shared set-up of the handler tests: an empty settings file, the fake
// connection manager, short time-outs and a test server.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>

#include "net/http_timeouts.h"
#include "platform/phone/fake_connection_manager.h"
#include "platform/system/paths.h"
#include "tests/support/headless_app.h"
#include "tests/support/http_test_server.h"

class NetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_folder = MakeTempFolder("melodex-net").string();
    ASSERT_FALSE(m_folder.empty());
    SetSettingsFile(m_folder + "/settings.toml");
    SetConnectionBackend(&m_fake);
    SetHttpTimeouts({2000, 2000});
  }
  void TearDown() override {
    SetConnectionBackend(nullptr);
    SetHttpTimeouts({});
    std::filesystem::remove_all(m_folder);
  }

  void writeSettings(const std::string& text) { std::ofstream(m_folder + "/settings.toml") << text; }

  std::string m_folder;
  FakeConnectionManager m_fake;
  // Lets a server handler that holds its reply back go on; it outlives the
  // server, whose handlers may still be running when a test body ends.
  std::atomic<bool> m_release{false};
  TestServer m_server;
};
