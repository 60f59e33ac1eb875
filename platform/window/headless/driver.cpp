// The headless driver: a user and a clock for tests and scripted runs.
#include "platform/window/headless.h"

#include <algorithm>
#include <chrono>

#include "platform/window/window_system.h"
#include "platform/window/zoom.h"

void AdvanceVirtualClockTo(std::uint64_t t);

namespace {

using Clock = std::chrono::steady_clock;

// The virtual time that real time has reached, counting from realStart,
// when the virtual clock read virtualStart.
std::uint64_t PacedNow(Clock::time_point realStart, std::uint64_t virtualStart) {
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - realStart).count();
  return virtualStart + static_cast<std::uint64_t>(elapsed);
}

// Waits until real time reaches `until`. Returns false early, after
// dispatching them, when messages are posted meanwhile (they may have
// changed the timers).
bool PaceTo(WindowSystem& sys, std::uint64_t until, Clock::time_point realStart, std::uint64_t virtualStart) {
  const std::uint64_t now = std::max(PacedNow(realStart, virtualStart), NowMs());
  if (now >= until) return true;
  if (!sys.queue.WaitForMessage(static_cast<int>(until - now))) return true;
  AdvanceVirtualClockTo(std::min(until, PacedNow(realStart, virtualStart)));
  DispatchIdle();
  return false;
}

// Input goes to the focused window, and only while it is on screen, as a
// real display would deliver it.
HWND InputWindow() {
  WindowSystem* sys = System();
  if (!sys) return nullptr;
  const Window* w = FindLocalWindow(sys->focus);
  return w && w->visible ? w->handle : nullptr;
}

}  // namespace

void DispatchPending() { DispatchIdle(); }

void SetRealTimePacing(bool on) {
  if (WindowSystem* sys = System()) sys->realTimePacing = on;
}

void AdvanceClock(int ms) {
  WindowSystem* sys = System();
  if (!sys || ms < 0) return;
  const auto realStart = Clock::now();
  const std::uint64_t virtualStart = NowMs();
  const std::uint64_t target = virtualStart + static_cast<std::uint64_t>(ms);
  DispatchIdle();
  // One step per timer that falls due on the way, then the rest.
  for (;;) {
    const auto due = sys->timers.NextDue();
    const std::uint64_t step = due && *due <= target ? *due : target;
    if (sys->realTimePacing && !PaceTo(*sys, step, realStart, virtualStart)) continue;
    AdvanceVirtualClockTo(step);
    DispatchIdle();
    if (step >= target) return;
  }
}

bool WaitForPostedMessage(int timeoutMs) {
  WindowSystem* sys = System();
  if (!sys || !sys->queue.WaitForMessage(timeoutMs)) return false;
  DispatchIdle();
  return true;
}

void PressKey(UINT vk) {
  if (const HWND hwnd = InputWindow()) {
    PostMessageW(hwnd, WM_KEYDOWN, vk, 1);
    PostMessageW(hwnd, WM_KEYUP, vk, static_cast<LPARAM>(0xC0000001u));
  }
  DispatchIdle();
}

void Tap(int x, int y) {
  if (const HWND hwnd = InputWindow()) {
    const LPARAM at = MAKELPARAM(static_cast<WORD>(x), static_cast<WORD>(y));
    PostMessageW(hwnd, WM_LBUTTONDOWN, 1, at);
    PostMessageW(hwnd, WM_LBUTTONUP, 0, at);
  }
  DispatchIdle();
}

void TapWindowPixel(int x, int y) {
  RECT client{};
  if (const HWND hwnd = InputWindow()) GetClientRect(hwnd, &client);
  const POINT at = ClientPointFromWindow(x, y, System()->backend->Zoom(), client.right, client.bottom);
  Tap(at.x, at.y);
}

void PressCloseButton() {
  if (const HWND hwnd = InputWindow()) PostMessageW(hwnd, WM_CLOSE, 0, 0);
  DispatchIdle();
}

void ResizeWindowFromOutside(int width, int height) {
  if (const HWND hwnd = InputWindow()) DisplayResizedFromOutside(hwnd, width, height);
  DispatchIdle();
}

const Surface& WindowPixels() {
  static const Surface empty;
  WindowSystem* sys = System();
  if (!sys) return empty;
  const Window* w = FindLocalWindow(sys->focus);
  return w ? w->presented : empty;
}

bool WindowVisible() {
  WindowSystem* sys = System();
  return sys && IsWindowVisible(sys->focus);
}

uint64_t VirtualNowMs() { return NowMs(); }

bool QuitPosted(int* exitCode) {
  WindowSystem* sys = System();
  if (!sys || !sys->quitEverPosted) return false;
  if (exitCode) *exitCode = sys->quitCode;
  return true;
}
