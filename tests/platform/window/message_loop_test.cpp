// The message queue, timers and painting on the headless backend.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/platform/window/window_fixture.h"

namespace {

TEST_F(WindowTest, CreationSendsCreateAndPaintsOnceIdle) {
  ASSERT_FALSE(received_.empty());
  EXPECT_EQ(received_.front().message, WM_CREATE);
  EXPECT_EQ(paints_, 0);
  DispatchPending();
  EXPECT_EQ(paints_, 1);
  EXPECT_EQ(WindowPixels().width, 240);
  EXPECT_EQ(WindowPixels().height, 320);
  EXPECT_EQ(WindowPixels().at(10, 10), 0x00014080u);
  DispatchPending();
  EXPECT_EQ(paints_, 1) << "a valid window is not painted again";
}

TEST_F(WindowTest, PostedMessagesComeBeforePaintAndPaintBeforeTimers) {
  DispatchPending();
  received_.clear();
  SetTimer(hwnd_, 5, 10, nullptr);
  AdvanceClock(9);
  RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_INTERNALPAINT);
  PostMessageW(hwnd_, WM_USER, 1, 0);
  PostMessageW(hwnd_, WM_USER + 1, 2, 0);
  AdvanceClock(1);
  EXPECT_EQ(Kinds(), (std::vector<UINT>{WM_USER, WM_USER + 1, WM_PAINT, WM_TIMER}));
  EXPECT_EQ(Only(WM_TIMER).at(0).wParam, 5u);
}

TEST_F(WindowTest, TimersRepeatRearmAndStop) {
  SetTimer(hwnd_, 7, 100, nullptr);
  AdvanceClock(250);
  ASSERT_EQ(Only(WM_TIMER).size(), 2u);
  EXPECT_EQ(Only(WM_TIMER)[0].at, 100u);
  EXPECT_EQ(Only(WM_TIMER)[1].at, 200u);

  SetTimer(hwnd_, 7, 100, nullptr);  // re-armed at 250: next tick at 350, not 300
  AdvanceClock(90);
  EXPECT_EQ(Only(WM_TIMER).size(), 2u);
  AdvanceClock(10);
  ASSERT_EQ(Only(WM_TIMER).size(), 3u);
  EXPECT_EQ(Only(WM_TIMER)[2].at, 350u);

  EXPECT_TRUE(KillTimer(hwnd_, 7));
  EXPECT_FALSE(KillTimer(hwnd_, 7));
  AdvanceClock(1000);
  EXPECT_EQ(Only(WM_TIMER).size(), 3u);
}

TEST_F(WindowTest, TwoTimersFireInTimeOrder) {
  SetTimer(hwnd_, 1, 30, nullptr);
  SetTimer(hwnd_, 2, 50, nullptr);
  AdvanceClock(100);
  std::vector<std::pair<WPARAM, uint64_t>> ticks;
  for (const Received& r : Only(WM_TIMER)) ticks.emplace_back(r.wParam, r.at);
  const std::vector<std::pair<WPARAM, uint64_t>> expected{{1, 30}, {2, 50}, {1, 60}, {1, 90}, {2, 100}};
  EXPECT_EQ(ticks, expected);
  EXPECT_EQ(VirtualNowMs(), 100u);
}

TEST_F(WindowTest, SleepInAHandlerMovesTheClockAndALateTimerFiresOnce) {
  SetTimer(hwnd_, 1, 10, nullptr);
  bool slept = false;
  onMessage_ = [&](UINT message, WPARAM, LPARAM) {
    if (message == WM_TIMER && !slept) {
      slept = true;
      Sleep(1000);
    }
  };
  AdvanceClock(10);
  EXPECT_EQ(VirtualNowMs(), 1010u);
  ASSERT_EQ(Only(WM_TIMER).size(), 2u) << "the overdue timer fires once, not a hundred times";
  EXPECT_EQ(Only(WM_TIMER)[1].at, 1010u);
  AdvanceClock(10);
  ASSERT_EQ(Only(WM_TIMER).size(), 3u);
  EXPECT_EQ(Only(WM_TIMER)[2].at, 1020u);
  EXPECT_EQ(GetTickCount(), 1020u);
}

TEST_F(WindowTest, PostsFromFourThreadsArriveCompleteAndInOrder) {
  DispatchPending();
  received_.clear();
  constexpr int kThreads = 4;
  constexpr int kEach = 1000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kEach; ++i) ASSERT_TRUE(PostMessageW(hwnd_, WM_USER + 2, t, i));
    });
  }
  // Dispatch while the threads are still posting.
  for (int rounds = 0; received_.size() < kThreads * kEach && rounds < 10000; ++rounds) WaitForPostedMessage(1000);
  for (std::thread& thread : threads) thread.join();
  DispatchPending();

  ASSERT_EQ(received_.size(), static_cast<size_t>(kThreads * kEach));
  std::vector<LPARAM> next(kThreads, 0);
  for (const Received& r : received_) {
    ASSERT_EQ(r.message, WM_USER + 2);
    ASSERT_EQ(r.lParam, next[r.wParam]) << "thread " << r.wParam;
    ++next[r.wParam];
  }
}

TEST_F(WindowTest, PacedClockKeepsStepWithAWorkerAndTimersStayExact) {
  DispatchPending();
  received_.clear();
  SetRealTimePacing(true);
  SetTimer(hwnd_, 3, 50, nullptr);
  std::thread worker([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    PostMessageW(hwnd_, WM_USER, 0, 0);
  });
  const auto start = std::chrono::steady_clock::now();
  AdvanceClock(500);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  worker.join();
  EXPECT_GE(elapsed, std::chrono::milliseconds(500)) << "no faster than real time";
  ASSERT_EQ(Only(WM_USER).size(), 1u) << "the worker's message arrived during the wait";
  EXPECT_LT(Only(WM_USER)[0].at, 500u);
  const std::vector<Received> ticks = Only(WM_TIMER);
  ASSERT_EQ(ticks.size(), 10u);
  for (size_t i = 0; i < ticks.size(); ++i) EXPECT_EQ(ticks[i].at, 50 * (i + 1));
  EXPECT_EQ(VirtualNowMs(), 500u);
}

TEST_F(WindowTest, RedrawWithUpdateNowPaintsBeforeReturning) {
  DispatchPending();
  ASSERT_EQ(paints_, 1);
  RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_INTERNALPAINT);
  EXPECT_EQ(paints_, 1) << "flags 3 only request a paint";
  RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_INTERNALPAINT | RDW_UPDATENOW);
  EXPECT_EQ(paints_, 2);
  EXPECT_EQ(WindowPixels().at(0, 0), 0x00024080u) << "the new frame is on the glass";
  DispatchPending();
  EXPECT_EQ(paints_, 2) << "nothing left to paint";
}

TEST_F(WindowTest, UpdateRegionIsReportedAndClearedByPainting) {
  DispatchPending();
  RECT r;
  EXPECT_FALSE(GetUpdateRect(hwnd_, &r, FALSE));
  const RECT part{10, 20, 30, 40};
  InvalidateRect(hwnd_, &part, FALSE);
  ASSERT_TRUE(GetUpdateRect(hwnd_, &r, FALSE));
  EXPECT_EQ(r.left, 10);
  EXPECT_EQ(r.bottom, 40);
  UpdateWindow(hwnd_);
  EXPECT_FALSE(GetUpdateRect(hwnd_, nullptr, FALSE));
}

TEST_F(WindowTest, KeysAndTapsReachTheProcedureInPressReleaseOrder) {
  DispatchPending();
  received_.clear();
  PressKey(VK_F2);
  Tap(119, 266);
  ASSERT_EQ(Kinds(), (std::vector<UINT>{WM_KEYDOWN, WM_KEYUP, WM_LBUTTONDOWN, WM_LBUTTONUP}));
  EXPECT_EQ(received_[1].wParam, VK_F2);
  EXPECT_EQ(LOWORD(received_[3].lParam), 119);
  EXPECT_EQ(HIWORD(received_[3].lParam), 266);
}

TEST_F(WindowTest, HiddenWindowGetsNoPaintAndNoInputUntilShown) {
  DispatchPending();
  EXPECT_TRUE(ShowWindow(hwnd_, SW_HIDE));
  EXPECT_FALSE(WindowVisible());
  received_.clear();
  RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_INTERNALPAINT | RDW_UPDATENOW);
  PressKey(VK_RETURN);
  PressCloseButton();
  EXPECT_TRUE(received_.empty());

  EXPECT_FALSE(ShowWindow(hwnd_, SW_SHOWNORMAL));
  EXPECT_TRUE(WindowVisible());
  DispatchPending();
  EXPECT_EQ(Kinds(), (std::vector<UINT>{WM_PAINT}));
  PressCloseButton();
  EXPECT_EQ(received_.back().message, WM_CLOSE);
  EXPECT_TRUE(IsWindow(hwnd_)) << "closing is the procedure's decision";
}

TEST_F(WindowTest, AnUnpaintedWindowDoesNotRepaintForever) {
  onMessage_ = nullptr;
  DispatchPending();
  // A procedure that ignores WM_PAINT: the loop must still become idle.
  WNDCLASSW wc{};
  wc.lpfnWndProc = [](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; };
  wc.lpszClassName = L"LAZY";
  ASSERT_NE(RegisterClassW(&wc), 0);
  const HWND lazy = CreateWindowExW(0, L"LAZY", L"", WS_VISIBLE, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(lazy, nullptr);
  DispatchPending();
  EXPECT_FALSE(GetUpdateRect(lazy, nullptr, FALSE));
}

TEST_F(WindowTest, DestroyDropsTimersAndMessagesAndEndsTheLoop) {
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
  EXPECT_EQ(received_.back().message, WM_DESTROY);
  EXPECT_EQ(destroys, 1);
  EXPECT_FALSE(IsWindow(hwnd_));
  EXPECT_FALSE(PostMessageW(hwnd_, WM_USER, 0, 0));
  const size_t before = received_.size();
  AdvanceClock(100);
  EXPECT_EQ(received_.size(), before);
  int code = -1;
  ASSERT_TRUE(QuitPosted(&code));
  EXPECT_EQ(code, 0);
  MSG msg;
  EXPECT_FALSE(GetMessageW(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.message, WM_QUIT);
}

TEST_F(WindowTest, PeekLooksWithoutTakingAndTakesWithRemove) {
  DispatchPending();
  SetTimer(hwnd_, 4, 20, nullptr);
  MSG msg;
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  AdvanceClock(0);
  Sleep(20);
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.message, WM_TIMER);
  EXPECT_EQ(msg.wParam, 4u);
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 4u);
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) << "re-armed for 40 ms";
}

TEST_F(WindowTest, FreeRunningLoopKeepsTheVirtualClockWithRealTime) {
  DispatchPending();
  SetTimer(hwnd_, 9, 40, nullptr);
  onMessage_ = [this](UINT message, WPARAM, LPARAM) {
    if (message == WM_TIMER) {
      KillTimer(hwnd_, 9);
      PostQuitMessage(3);
    }
  };
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0)) DispatchMessageW(&msg);
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_EQ(VirtualNowMs(), 40u);
}

TEST_F(WindowTest, WorkAreaIsTheDisplayAndResizingSendsSize) {
  RECT work{};
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
  EXPECT_EQ(work.right, 240);
  EXPECT_EQ(work.bottom, 320);
  RECT client{};
  GetClientRect(hwnd_, &client);
  EXPECT_EQ(client.right, 240);
  EXPECT_EQ(client.bottom, 320);

  received_.clear();
  MoveWindow(hwnd_, 0, 0, 240, 320, FALSE);
  EXPECT_TRUE(Only(WM_SIZE).empty()) << "same size: no WM_SIZE";
  MoveWindow(hwnd_, 0, 0, 320, 240, FALSE);
  ASSERT_EQ(Only(WM_SIZE).size(), 1u);
  EXPECT_EQ(LOWORD(Only(WM_SIZE)[0].lParam), 320);
  DispatchPending();
  EXPECT_EQ(WindowPixels().width, 320);
}

TEST_F(WindowTest, FindWindowFindsTheLocalWindowAndForegroundShowsIt) {
  EXPECT_EQ(FindWindowW(L"WINDOWTEST", L"Window test"), hwnd_);
  EXPECT_EQ(FindWindowW(L"windowtest", nullptr), hwnd_);
  ShowWindow(hwnd_, SW_HIDE);
  EXPECT_TRUE(SetForegroundWindow(reinterpret_cast<HWND>(reinterpret_cast<uintptr_t>(hwnd_) | 1)));
  EXPECT_TRUE(IsWindowVisible(hwnd_));
}

TEST_F(WindowTest, IconsAreFoundByNumber) {
  EXPECT_NE(LoadIconW(nullptr, MAKEINTRESOURCEW(101)), nullptr);
  EXPECT_EQ(LoadIconW(nullptr, MAKEINTRESOURCEW(9999)), nullptr);
}

TEST(SdlBackend, WithoutADisplayFailsWithAClearMessage) {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"}) unsetenv(name);
  std::string error;
  PlatformOptions options;
  options.backend = Backend::Sdl;
  options.zoom = 2;
  EXPECT_FALSE(InitPlatform(options, &error));
  EXPECT_NE(error.find("no display available"), std::string::npos) << error;
  EXPECT_NE(error.find("--backend headless"), std::string::npos) << error;
  ShutdownPlatform();
}

}  // namespace
