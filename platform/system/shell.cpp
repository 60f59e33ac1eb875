#include "platform/system/shell.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "platform/system/errors.h"
#include "platform/system/wide_text.h"

extern char** environ;

namespace {

class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// Waits for the child on a thread of its own, so it never lingers as a
// zombie and the caller never blocks.
void ReapInBackground(pid_t child) {
  std::thread([child] {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

}  // namespace

BOOL ShellExecuteExW(SHELLEXECUTEINFOW* info) {
  if (!info || !info->lpFile || !*info->lpFile) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  info->hProcess = nullptr;
  std::string file = WideToUtf8(info->lpFile);
  std::string parameter = info->lpParameters ? WideToUtf8(info->lpParameters) : std::string();
  std::vector<char*> argv{file.data()};
  if (info->lpParameters) argv.push_back(parameter.data());
  argv.push_back(nullptr);

  SpawnActions actions;
  if (info->lpDirectory && *info->lpDirectory) {
    const std::string directory = WideToUtf8(info->lpDirectory);
    posix_spawn_file_actions_addchdir_np(actions.get(), directory.c_str());
  }
  pid_t child = 0;
  const int error = posix_spawnp(&child, file.c_str(), actions.get(), nullptr, argv.data(), environ);
  if (error != 0) {
    SetLastError(error == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
    return FALSE;
  }
  ReapInBackground(child);
  info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<std::uintptr_t>(33));  // > 32: success, as Win32
  return TRUE;
}

BOOL SHInitExtraControls() { return TRUE; }

BOOL SHFullScreen(HWND, DWORD) { return TRUE; }

HWND SHFindMenuBar(HWND) { return nullptr; }

void InitCommonControls() {}
