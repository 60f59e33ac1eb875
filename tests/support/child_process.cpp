#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

extern char** environ;

namespace {

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

bool ChildProcess::start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         const std::filesystem::path& output) {
  stop();
  std::vector<std::string> variables;
  for (char** entry = environ; *entry; ++entry) {
    const std::string variable = *entry, name = variable.substr(0, variable.find('=') + 1);
    const auto overrides = [&](const std::string& given) { return given.rfind(name, 0) == 0; };
    if (std::none_of(environment.begin(), environment.end(), overrides)) variables.push_back(variable);
  }
  variables.insert(variables.end(), environment.begin(), environment.end());
  std::vector<std::string> arguments = argv;
  std::vector<char*> args = Pointers(arguments);
  std::vector<char*> env = Pointers(variables);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  if (posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), env.data()) != 0) m_pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return m_pid > 0;
}

int ChildProcess::wait() {
  if (m_pid <= 0) return -1;
  int status = 0;
  const pid_t ended = waitpid(m_pid, &status, 0);
  m_pid = -1;
  return ended > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ChildProcess::stop() {
  if (m_pid <= 0) return;
  kill(m_pid, SIGTERM);
  waitpid(m_pid, nullptr, 0);
  m_pid = -1;
}
