// Starting a program with one argument, and reaping it.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/system/errors.h"
#include "platform/system/shell.h"

namespace {

BOOL Launch(const std::wstring& file, const wchar_t* parameters) {
  SHELLEXECUTEINFOW info{};
  info.cbSize = 60;
  info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOCLOSEPROCESS;
  info.lpFile = file.c_str();
  info.lpParameters = parameters;
  info.nShow = 1;
  return ShellExecuteExW(&info);
}

// Children of this process that have ended but were not waited for.
int ZombieChildren() {
  int zombies = 0;
  DIR* proc = opendir("/proc");
  while (const dirent* entry = readdir(proc)) {
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // "pid (name) state ppid ...": the name may hold spaces, so read after ')'.
    std::istringstream rest(line.substr(line.rfind(')') + 1));
    char state = 0;
    int parent = 0;
    rest >> state >> parent;
    if (parent == getpid() && state == 'Z') ++zombies;
  }
  closedir(proc);
  return zombies;
}

bool WaitFor(const std::function<bool()>& condition) {
  for (int i = 0; i < 200; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

TEST(Shell, StartsAProgramOnThePathAndReapsIt) {
  EXPECT_TRUE(Launch(L"true", L"http://127.0.0.1/"));
  EXPECT_TRUE(Launch(L"true", nullptr));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(WaitFor([] { return ZombieChildren() == 0; }));
}

TEST(Shell, AMissingProgramFails) {
  SetLastError(0);
  EXPECT_FALSE(Launch(L"melodex-no-such-browser", L"http://127.0.0.1/"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(Launch(L"", nullptr));
}

TEST(Shell, TheParametersArriveAsOneUnsplitArgument) {
  char pattern[] = "/tmp/melodex-shell-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string folder = pattern;
  const std::string script = folder + "/browser";
  const std::string output = folder + "/arguments";
  std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n%s\\n' \"$#\" \"$1\" > " << output << ".tmp\nmv " << output
                        << ".tmp " << output << "\n";
  chmod(script.c_str(), 0755);

  const std::wstring address = L"http://shop.example/buy?song=Blue Moon&artist=\"The Band\" 'x' $HOME";
  ASSERT_TRUE(Launch(std::wstring(script.begin(), script.end()), address.c_str()));
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(output); }));
  std::ifstream in(output);
  std::string count, first;
  std::getline(in, count);
  std::getline(in, first);
  EXPECT_EQ(count, "1");
  EXPECT_EQ(first, "http://shop.example/buy?song=Blue Moon&artist=\"The Band\" 'x' $HOME");
  std::filesystem::remove_all(folder);
}

TEST(Shell, PhoneShellCallsAreHarmless) {
  EXPECT_TRUE(SHInitExtraControls());
  EXPECT_TRUE(SHFullScreen(nullptr, SHFS_HIDESIPBUTTON));
  EXPECT_EQ(SHFindMenuBar(nullptr), nullptr);
  InitCommonControls();
}

}  // namespace
