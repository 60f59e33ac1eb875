// A private PulseAudio server for tests that play sound into a room and hear it: a null sink
// "room" whose monitor is the default source, in its own folders and reached only through its
// socket (CI runs as root, where it warns and goes on). Should the test die, it ends by itself
// 20 s after its last client.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

class PrivatePulseAudio {
 public:
  // The programs it needs; empty when all are installed, else what is missing.
  static std::string Missing();

  // Starts it in `root` (created when missing) and waits up to 10 s for it to answer.
  explicit PrivatePulseAudio(const std::filesystem::path& root);

  bool up() const { return m_up; }
  // Its own log, for a failure's message.
  std::string log() const;
  // HOME, XDG_RUNTIME_DIR and PULSE_SERVER, in that order, for the programs that use it.
  const std::vector<std::string>& environment() const { return m_environment; }
  // "unix:<socket>", as PULSE_SERVER names it.
  std::string server() const;

 private:
  std::filesystem::path m_root;
  std::vector<std::string> m_environment;
  ChildProcess m_server;
  bool m_up = false;
};
