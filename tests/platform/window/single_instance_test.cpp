// Single instance across processes: a helper process holds the window; this
// process finds it, brings it forward and posts to it, also after a crash
// and past malformed requests.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/window/single_instance.h"
#include "platform/window/window.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

class SingleInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1); }
  void TearDown() override { fs::remove_all(runtime_); }

  // Starts the helper for a window class; its window once it answers.
  HWND startHelper(ChildProcess& helper, const char* className, const wchar_t* wideName) {
    EXPECT_TRUE(helper.start({INSTANCE_HELPER_PATH, className}, {}, runtime_ / "helper.log"));
    for (int i = 0; i < 500; ++i) {  // a bound for a loaded machine
      if (const HWND found = FindWindowW(wideName, L"Helper")) return found;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return nullptr;
  }

  const fs::path runtime_ = MakeTempFolder("melodex-runtime");
};

// Sends raw bytes to the instance's socket and returns its answer line.
std::string RawRequest(const fs::path& path, const std::string& bytes) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size()))
    for (char c; recv(fd, &c, 1, 0) == 1 && c != '\n';) answer += c;
  close(fd);
  return answer;
}

TEST_F(SingleInstanceTest, FindsRaisesAndPostsToTheRunningInstanceAndRefusesMalformedRequests) {
  EXPECT_EQ(FindWindowW(L"HELPERCLASS", nullptr), nullptr) << "nothing runs yet";
  ChildProcess helper;
  const HWND proxy = startHelper(helper, "HELPERCLASS", L"HELPERCLASS");
  ASSERT_NE(proxy, nullptr);
  const fs::path socket = runtime_ / "melodex-HELPERCLASS.sock";
  for (const char* request : {"POST abc\n", "POST 1025 0 0 extra\n", "POST 99999999999 0 0\n", "HELLO\n"})
    EXPECT_EQ(RawRequest(socket, request), "NO") << request;
  EXPECT_EQ(RawRequest(socket, std::string(5000, 'x')), "") << "an endless line is cut off";
  EXPECT_EQ(FindWindowW(L"HELPERCLASS", L"Another title"), nullptr);
  EXPECT_TRUE(IsWindow(proxy));
  EXPECT_TRUE(SetForegroundWindow(reinterpret_cast<HWND>(reinterpret_cast<uintptr_t>(proxy) | 1)));
  EXPECT_TRUE(PostMessageW(proxy, WM_USER + 1, 0, 0));
  EXPECT_EQ(helper.wait(), 42) << "the helper saw 0x401 after being brought forward";
  EXPECT_FALSE(fs::exists(socket)) << "a clean exit removes the socket";
  EXPECT_FALSE(PostMessageW(proxy, WM_USER + 1, 0, 0)) << "the instance is gone";
}

TEST_F(SingleInstanceTest, ASocketLeftByAKilledProcessIsTakenOver) {
  {
    ChildProcess killed;
    ASSERT_NE(startHelper(killed, "STALECLASS", L"STALECLASS"), nullptr);
  }  // ended by SIGTERM: the socket stays behind
  ASSERT_TRUE(fs::exists(runtime_ / "melodex-STALECLASS.sock"));
  EXPECT_EQ(FindWindowW(L"STALECLASS", nullptr), nullptr) << "a dead socket is no instance";
  ChildProcess next;
  const HWND proxy = startHelper(next, "STALECLASS", L"STALECLASS");
  ASSERT_NE(proxy, nullptr);
  EXPECT_TRUE(PostMessageW(proxy, WM_USER + 1, 0, 0));
  EXPECT_EQ(next.wait(), 43) << "posted without raising: still hidden";
}

TEST_F(SingleInstanceTest, WithoutARuntimeFolderAPrivateFolderInTmpServes) {
  unsetenv("XDG_RUNTIME_DIR");
  const std::string path = InstanceSocketPath(L"MELODEX");
  EXPECT_EQ(path, "/tmp/melodex-" + std::to_string(getuid()) + "/melodex-MELODEX.sock");
  struct stat st {};
  ASSERT_EQ(stat(fs::path(path).parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

}  // namespace
