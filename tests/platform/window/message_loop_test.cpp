// The message queue, timers, painting and input on the headless backend.
#include <gtest/gtest.h>

#include <thread>
#include <utility>

#include "tests/platform/window/window_fixture.h"

namespace {

using Ticks = std::vector<std::pair<WPARAM, uint64_t>>;

TEST_F(WindowTest, PaintsOnlyWhatIsInvalidAndInWin32Order) {
  EXPECT_EQ(received_.front().message, WM_CREATE);
  EXPECT_EQ(paints_, 0) << "painting waits for an idle queue";
  DispatchPending();
  EXPECT_EQ(WindowPixels().width * 1000 + WindowPixels().height, 240320);
  EXPECT_EQ(WindowPixels().at(10, 10), 0x00014080u);
  DispatchPending();
  EXPECT_EQ(paints_, 1) << "a valid window is not painted again";

  RECT r;
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

  WNDCLASSW wc{};  // a procedure that never paints: the loop must still come to rest
  wc.lpfnWndProc = [](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; };
  wc.lpszClassName = L"LAZY";
  ASSERT_NE(RegisterClassW(&wc), 0);
  const HWND lazy = CreateWindowExW(0, L"LAZY", L"", WS_VISIBLE, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  DispatchPending();
  EXPECT_FALSE(GetUpdateRect(lazy, nullptr, FALSE));
}

TEST_F(WindowTest, TimersRepeatRearmStopAndFireOnceWhenLate) {
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
}

TEST_F(WindowTest, PostsFromFourThreadsArriveCompleteAndInOrder) {
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
}

TEST_F(WindowTest, APacedClockTakesInAWorkersMessageOnTheWayAndKeepsTimersExact) {
  DispatchPending();
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

TEST_F(WindowTest, InputReachesOnlyAVisibleWindowAndFindWindowFindsIt) {
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

TEST_F(WindowTest, PeekLooksWithoutTakingAndAFreeLoopKeepsTheClockWithRealTime) {
  DispatchPending();
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
  EXPECT_EQ(VirtualNowMs(), 40u);
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) << "the quit was taken";
}

TEST_F(WindowTest, TheWorkAreaIsTheDisplayAndOnlyANewSizeSendsWmSize) {
  RECT work{}, client{};
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
  GetClientRect(hwnd_, &client);
  EXPECT_EQ(work.right * 1000 + work.bottom, 240320);
  EXPECT_EQ(client.right * 1000 + client.bottom, 240320);
  received_.clear();
  MoveWindow(hwnd_, 0, 0, 240, 320, FALSE);
  EXPECT_TRUE(Only(WM_SIZE).empty());
  MoveWindow(hwnd_, 0, 0, 320, 240, FALSE);
  ASSERT_EQ(Only(WM_SIZE).size(), 1u);
  EXPECT_EQ(Only(WM_SIZE)[0].lParam, MAKELPARAM(320, 240));
  DispatchPending();
  EXPECT_EQ(WindowPixels().width, 320);
}

}  // namespace
