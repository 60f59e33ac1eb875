// The headless backend's windows: queue, timers, painting and input; and
// single instance across processes, with a helper process holding the window.
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
#include <utility>

#include "platform/window/single_instance.h"
#include "tests/platform/window/window_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

using Ticks = std::vector<std::pair<WPARAM, uint64_t>>;

TEST_F(WindowTest, PaintsOnlyWhatIsInvalidInWin32OrderAndOnlyANewSizeSendsWmSize) {
  EXPECT_EQ(received_.front().message, WM_CREATE);
  EXPECT_EQ(paints_, 0) << "painting waits for an idle queue";
  DispatchPending();
  RECT r, work{};
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
  GetClientRect(hwnd_, &r);
  EXPECT_EQ(std::make_tuple(work.right, work.bottom, r.right, r.bottom, WindowPixels().width, WindowPixels().height),
            std::make_tuple(240, 320, 240, 320, 240, 320)) << "the work area is the display";
  EXPECT_EQ(WindowPixels().at(10, 10), 0x00014080u);
  DispatchPending();
  EXPECT_EQ(paints_, 1) << "a valid window is not painted again";

  EXPECT_FALSE(GetUpdateRect(hwnd_, &r, FALSE));
  const RECT part{10, 20, 30, 40}, more{50, 5, 60, 25};
  InvalidateRect(hwnd_, &part, FALSE);
  InvalidateRect(hwnd_, &more, FALSE);
  ASSERT_TRUE(GetUpdateRect(hwnd_, &r, FALSE));
  EXPECT_EQ(std::make_tuple(r.left, r.top, r.right, r.bottom), std::make_tuple(10, 5, 60, 40));
  UpdateWindow(hwnd_);
  EXPECT_FALSE(GetUpdateRect(hwnd_, nullptr, FALSE));
  RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_INTERNALPAINT);
  EXPECT_EQ(paints_, 2) << "flags 3 only ask for a paint";
  RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_INTERNALPAINT | RDW_UPDATENOW);
  EXPECT_EQ(paints_, 3);
  EXPECT_EQ(WindowPixels().at(0, 0), 0x00034080u) << "the new frame is on the glass";

  received_.clear();
  SetTimer(hwnd_, 5, 10, nullptr);
  RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_INTERNALPAINT);
  PostMessageW(hwnd_, WM_USER, 1, 0);
  PostMessageW(hwnd_, WM_USER + 1, 2, 0);
  Sleep(10);  // the timer falls due with all the rest waiting
  DispatchPending();
  EXPECT_EQ(Kinds(), (std::vector<UINT>{WM_USER, WM_USER + 1, WM_PAINT, WM_TIMER}));
  MoveWindow(hwnd_, 0, 0, 240, 320, FALSE);
  MoveWindow(hwnd_, 0, 0, 320, 240, FALSE);
  ASSERT_EQ(Only(WM_SIZE).size(), 1u) << "only a new size sends WM_SIZE";
  EXPECT_EQ(Only(WM_SIZE)[0].lParam, MAKELPARAM(320, 240));
  DispatchPending();
  EXPECT_EQ(WindowPixels().width, 320);

  WNDCLASSW wc{};  // a procedure that never paints: the loop must still come to rest
  wc.lpfnWndProc = [](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; };
  wc.lpszClassName = L"LAZY";
  ASSERT_NE(RegisterClassW(&wc), 0);
  const HWND lazy = CreateWindowExW(0, L"LAZY", L"", WS_VISIBLE, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  DispatchPending();
  EXPECT_FALSE(GetUpdateRect(lazy, nullptr, FALSE));
}

TEST_F(WindowTest, TimersRepeatRearmStopFireOnceWhenLateAndArePeekedAndTaken) {
  SetTimer(hwnd_, 1, 30, nullptr);
  SetTimer(hwnd_, 2, 50, nullptr);
  AdvanceClock(120);
  SetTimer(hwnd_, 2, 50, nullptr);  // re-armed at 120: next at 170, not 150
  EXPECT_TRUE(KillTimer(hwnd_, 1));
  EXPECT_FALSE(KillTimer(hwnd_, 1));
  AdvanceClock(60);
  bool slept = false;
  onMessage_ = [&](UINT message, WPARAM, LPARAM) {
    if (message == WM_TIMER && !std::exchange(slept, true)) Sleep(1000);  // moves the virtual clock
  };
  AdvanceClock(40);
  AdvanceClock(50);
  Ticks ticks;
  for (const Received& r : Only(WM_TIMER)) ticks.emplace_back(r.wParam, r.at);
  EXPECT_EQ(ticks, (Ticks{{1, 30}, {2, 50}, {1, 60}, {1, 90}, {2, 100}, {1, 120}, {2, 170}, {2, 220}, {2, 1220},
                          {2, 1270}}))
      << "a timer overdue after the sleep fires once, not twenty times";
  EXPECT_EQ(GetTickCount(), 1270u);

  // Peeking looks without taking; a free loop keeps the clock with real time.
  KillTimer(hwnd_, 2);
  SetTimer(hwnd_, 4, 20, nullptr);
  MSG msg;
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  Sleep(20);
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 4u);
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) << "re-armed for 40 ms";
  onMessage_ = [](UINT message, WPARAM, LPARAM) {
    if (message == WM_TIMER) PostQuitMessage(3);
  };
  while (GetMessageW(&msg, nullptr, 0, 0)) DispatchMessageW(&msg);
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_EQ(VirtualNowMs(), 1310u);
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) << "the quit was taken";
}

TEST_F(WindowTest, PostsFromFourThreadsArriveInOrderAndAPacedClockTakesInAWorkersMessageOnTheWay) {
  DispatchPending();
  received_.clear();
  constexpr int kThreads = 4, kEach = 1000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([this, t] {
      for (int i = 0; i < kEach; ++i) PostMessageW(hwnd_, WM_USER + 2, t, i);
    });
  // Dispatched while the threads are still posting.
  for (int rounds = 0; received_.size() < kThreads * kEach && rounds < 10000; ++rounds) WaitForPostedMessage(1000);
  for (std::thread& thread : threads) thread.join();
  DispatchPending();
  ASSERT_EQ(received_.size(), static_cast<size_t>(kThreads * kEach));
  std::vector<LPARAM> next(kThreads, 0);
  for (const Received& r : received_) ASSERT_EQ(r.lParam, next[r.wParam]++) << "thread " << r.wParam;

  SetRealTimePacing(true);
  SetTimer(hwnd_, 3, 50, nullptr);
  std::thread worker([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    PostMessageW(hwnd_, WM_USER, 0, 0);
  });
  AdvanceClock(500);
  worker.join();
  ASSERT_EQ(Only(WM_USER).size(), 1u) << "the worker's message arrived during the wait";
  EXPECT_LT(Only(WM_USER)[0].at, 500u);
  Ticks ticks;
  for (const Received& r : Only(WM_TIMER)) ticks.emplace_back(r.wParam, r.at);
  EXPECT_EQ(ticks, (Ticks{{3, 50}, {3, 100}, {3, 150}, {3, 200}, {3, 250}, {3, 300}, {3, 350}, {3, 400}, {3, 450},
                          {3, 500}}));
}

TEST_F(WindowTest, InputReachesOnlyAVisibleWindowFindWindowFindsItAndDestroyDropsEverythingAndEndsTheLoop) {
  DispatchPending();
  received_.clear();
  PressKey(VK_F2);
  Tap(119, 266);
  ASSERT_EQ(Kinds(), (std::vector<UINT>{WM_KEYDOWN, WM_KEYUP, WM_LBUTTONDOWN, WM_LBUTTONUP}));
  EXPECT_EQ(received_[1].wParam, VK_F2);
  EXPECT_EQ(received_[3].lParam, MAKELPARAM(119, 266));

  EXPECT_TRUE(ShowWindow(hwnd_, SW_HIDE));
  EXPECT_FALSE(WindowVisible());
  received_.clear();
  RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_INTERNALPAINT | RDW_UPDATENOW);
  PressKey(VK_RETURN);
  PressCloseButton();
  EXPECT_TRUE(received_.empty());
  EXPECT_FALSE(ShowWindow(hwnd_, SW_SHOWNORMAL)) << "it was hidden";
  DispatchPending();
  EXPECT_EQ(Kinds(), (std::vector<UINT>{WM_PAINT}));
  PressCloseButton();
  EXPECT_EQ(received_.back().message, WM_CLOSE);
  EXPECT_TRUE(IsWindow(hwnd_)) << "closing is the procedure's decision";

  EXPECT_EQ(FindWindowW(L"WINDOWTEST", L"Window test"), hwnd_);
  EXPECT_EQ(FindWindowW(L"windowtest", nullptr), hwnd_);
  ShowWindow(hwnd_, SW_HIDE);
  EXPECT_TRUE(SetForegroundWindow(reinterpret_cast<HWND>(reinterpret_cast<uintptr_t>(hwnd_) | 1)));
  EXPECT_TRUE(IsWindowVisible(hwnd_)) << "brought forward";
  EXPECT_NE(LoadIconW(nullptr, MAKEINTRESOURCEW(101)), nullptr);
  EXPECT_EQ(LoadIconW(nullptr, MAKEINTRESOURCEW(9999)), nullptr);

  int destroys = 0;
  onMessage_ = [&](UINT message, WPARAM, LPARAM) {
    if (message != WM_DESTROY) return;
    ++destroys;
    EXPECT_FALSE(DestroyWindow(hwnd_)) << "already being destroyed";
    PostQuitMessage(0);
  };
  SetTimer(hwnd_, 1, 10, nullptr);
  PostMessageW(hwnd_, WM_USER, 0, 0);
  EXPECT_TRUE(DestroyWindow(hwnd_));
  EXPECT_EQ(destroys, 1);
  EXPECT_FALSE(IsWindow(hwnd_));
  EXPECT_FALSE(PostMessageW(hwnd_, WM_USER, 0, 0));
  const size_t before = received_.size();
  AdvanceClock(100);
  EXPECT_EQ(received_.size(), before);
  int code = -1;
  EXPECT_TRUE(QuitPosted(&code) && code == 0);
  MSG msg;
  EXPECT_FALSE(GetMessageW(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
}

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

TEST_F(SingleInstanceTest, FindsRaisesAndPostsToTheRunningOneRefusesBadRequestsOutlivesACrashAndNeedsNoRuntimeFolder) {
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

  {
    ChildProcess killed;
    ASSERT_NE(startHelper(killed, "STALECLASS", L"STALECLASS"), nullptr);
  }  // ended by SIGTERM: the socket stays behind
  ASSERT_TRUE(fs::exists(runtime_ / "melodex-STALECLASS.sock"));
  EXPECT_EQ(FindWindowW(L"STALECLASS", nullptr), nullptr) << "a dead socket is no instance";
  ChildProcess next;
  const HWND taker = startHelper(next, "STALECLASS", L"STALECLASS");
  ASSERT_NE(taker, nullptr) << "a socket left by a killed process is taken over";
  EXPECT_TRUE(PostMessageW(taker, WM_USER + 1, 0, 0));
  EXPECT_EQ(next.wait(), 43) << "posted without raising: still hidden";

  unsetenv("XDG_RUNTIME_DIR");  // then a private folder in /tmp serves
  const std::string path = InstanceSocketPath(L"MELODEX");
  EXPECT_EQ(path, "/tmp/melodex-" + std::to_string(getuid()) + "/melodex-MELODEX.sock");
  struct stat st {};
  ASSERT_EQ(stat(fs::path(path).parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

}  // namespace
