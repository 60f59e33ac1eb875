// A program started by a test, with extra environment variables and its
// output in a file; it is ended (SIGTERM, then waited for) with the object.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // argv[0] is a path. environment holds "NAME=value" entries that replace or
  // add to the test's own. Standard output and error go to `output`. False
  // when it could not be started.
  bool start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
             const std::filesystem::path& output);
  // Waits for the end by itself; its exit status, or -1 when it was killed by a signal.
  int wait();
  void stop();

 private:
  pid_t m_pid = -1;
};
