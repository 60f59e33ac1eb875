// Single instance across processes: a helper process holds the window; this
// process finds it, brings it forward and posts to it.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/window/single_instance.h"
#include "platform/window/window.h"
#include "tests/support/temp_folder.h"

extern char** environ;

namespace {

class Helper {
 public:
  // Starts the helper for a window class and waits until it listens.
  explicit Helper(const std::string& className) {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string path = INSTANCE_HELPER_PATH;
    std::string name = className;
    char* argv[] = {path.data(), name.data(), nullptr};
    if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char line[16] = {};
    ready_ = pid_ > 0 && read(out[0], line, 6) == 6 && std::string(line) == "ready\n";
    close(out[0]);
  }
  ~Helper() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool ready() const { return ready_; }
  // The helper's exit status, or -1.
  int Wait() {
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void Kill() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

class SingleInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime_ = MakeTempFolder("melodex-runtime").string();
    ASSERT_FALSE(runtime_.empty());
    setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
  }
  void TearDown() override { std::filesystem::remove_all(runtime_); }

  std::string runtime_;
};

TEST_F(SingleInstanceTest, FindsTheRunningInstanceRaisesItAndPostsToIt) {
  EXPECT_EQ(FindWindowW(L"HELPERCLASS", nullptr), nullptr) << "nothing runs yet";
  Helper helper("HELPERCLASS");
  ASSERT_TRUE(helper.ready());
  EXPECT_TRUE(std::filesystem::exists(runtime_ + "/melodex-HELPERCLASS.sock"));

  EXPECT_EQ(FindWindowW(L"HELPERCLASS", L"Another title"), nullptr);
  const HWND proxy = FindWindowW(L"HELPERCLASS", L"Helper");
  ASSERT_NE(proxy, nullptr);
  EXPECT_TRUE(IsWindow(proxy));
  EXPECT_TRUE(SetForegroundWindow(reinterpret_cast<HWND>(reinterpret_cast<uintptr_t>(proxy) | 1)));
  EXPECT_TRUE(PostMessageW(proxy, WM_USER + 1, 0, 0));
  EXPECT_EQ(helper.Wait(), 42) << "the helper saw 0x401 after being brought forward";

  EXPECT_FALSE(std::filesystem::exists(runtime_ + "/melodex-HELPERCLASS.sock")) << "a clean exit removes the socket";
  EXPECT_FALSE(PostMessageW(proxy, WM_USER + 1, 0, 0)) << "the instance is gone";
  EXPECT_EQ(FindWindowW(L"HELPERCLASS", nullptr), nullptr);
}

TEST_F(SingleInstanceTest, ASocketLeftByAKilledProcessIsTakenOver) {
  {
    Helper killed("STALECLASS");
    ASSERT_TRUE(killed.ready());
    killed.Kill();
  }
  ASSERT_TRUE(std::filesystem::exists(runtime_ + "/melodex-STALECLASS.sock")) << "left behind by the kill";
  EXPECT_EQ(FindWindowW(L"STALECLASS", nullptr), nullptr) << "a dead socket is no instance";

  Helper next("STALECLASS");
  ASSERT_TRUE(next.ready());
  const HWND proxy = FindWindowW(L"STALECLASS", nullptr);
  ASSERT_NE(proxy, nullptr);
  EXPECT_TRUE(PostMessageW(proxy, WM_USER + 1, 0, 0));
  EXPECT_EQ(next.Wait(), 43) << "posted without raising: still hidden";
}

// Sends raw bytes to the instance's socket and returns its answer line.
std::string RawRequest(const std::string& path, const std::string& bytes) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size())) {
    char c;
    while (recv(fd, &c, 1, 0) == 1 && c != '\n') answer += c;
  }
  close(fd);
  return answer;
}

TEST_F(SingleInstanceTest, MalformedRequestsAreRefusedAndTheInstanceCarriesOn) {
  Helper helper("ROBUSTCLASS");
  ASSERT_TRUE(helper.ready());
  const std::string path = runtime_ + "/melodex-ROBUSTCLASS.sock";
  EXPECT_EQ(RawRequest(path, "POST abc\n"), "NO");
  EXPECT_EQ(RawRequest(path, "POST 1025 0 0 extra\n"), "NO");
  EXPECT_EQ(RawRequest(path, "POST 99999999999 0 0\n"), "NO");
  EXPECT_EQ(RawRequest(path, "HELLO\n"), "NO");
  EXPECT_EQ(RawRequest(path, std::string(5000, 'x')), "") << "an endless line is cut off";
  const HWND proxy = FindWindowW(L"ROBUSTCLASS", L"Helper");
  ASSERT_NE(proxy, nullptr);
  EXPECT_TRUE(PostMessageW(proxy, WM_USER + 1, 0, 0));
  EXPECT_EQ(helper.Wait(), 43);
}

TEST_F(SingleInstanceTest, WithoutARuntimeFolderFallsBackToAPrivateTmpFolder) {
  unsetenv("XDG_RUNTIME_DIR");
  const std::string path = InstanceSocketPath(L"MELODEX");
  EXPECT_EQ(path, "/tmp/melodex-" + std::to_string(getuid()) + "/melodex-MELODEX.sock");
  struct stat st {};
  ASSERT_EQ(stat(std::filesystem::path(path).parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

}  // namespace
