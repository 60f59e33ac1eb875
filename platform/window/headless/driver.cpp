// The headless driver: a user and a clock for tests and scripted runs.
#include "platform/window/headless.h"

#include "platform/window/window_system.h"

void AdvanceVirtualClockTo(std::uint64_t t);

namespace {

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

void AdvanceClock(int ms) {
  WindowSystem* sys = System();
  if (!sys || ms < 0) return;
  const std::uint64_t target = NowMs() + static_cast<std::uint64_t>(ms);
  DispatchIdle();
  for (auto due = sys->timers.NextDue(); due && *due <= target; due = sys->timers.NextDue()) {
    AdvanceVirtualClockTo(*due);
    DispatchIdle();
  }
  AdvanceVirtualClockTo(target);
  DispatchIdle();
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

void PressCloseButton() {
  if (const HWND hwnd = InputWindow()) PostMessageW(hwnd, WM_CLOSE, 0, 0);
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
