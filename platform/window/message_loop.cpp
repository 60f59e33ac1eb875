// The message loop: retrieval in Win32 order, dispatch, posting, timers.
#include "platform/window/single_instance.h"
#include "platform/window/window_system.h"

namespace {

bool TakePaint(WindowSystem& sys, MSG* msg, bool remove) {
  std::lock_guard lock(sys.windowsMutex);
  for (auto& [hwnd, w] : sys.windows) {
    if (!w->visible || !(w->hasUpdate || w->internalPaint)) continue;
    msg->hwnd = hwnd;
    msg->message = WM_PAINT;
    // The internal request is answered by one WM_PAINT, as in Win32.
    if (remove) w->internalPaint = false;
    return true;
  }
  return false;
}

// Runs the private show-and-raise request on the user-interface thread, then
// tells the window it is active, as activation does in Win32.
void ShowAndRaise(HWND hwnd) {
  SetForegroundWindow(hwnd);
  if (IsLocalWindow(hwnd)) SendMessageW(hwnd, WM_ACTIVATE, WA_ACTIVE, 0);
}

}  // namespace

bool NextMessage(MSG* msg, bool remove, bool includeQuit) {
  WindowSystem* sys = System();
  if (!sys) return false;
  sys->backend->PollInput();
  *msg = MSG{};
  const DWORD now = static_cast<DWORD>(NowMs());
  msg->time = now;

  PostedMessage posted;
  if (sys->queue.Take(&posted, remove)) {
    msg->hwnd = posted.hwnd;
    msg->message = posted.message;
    msg->wParam = posted.wParam;
    msg->lParam = posted.lParam;
    msg->time = posted.time;
    return true;
  }
  if (includeQuit && sys->quitPending) {
    msg->message = WM_QUIT;
    msg->wParam = static_cast<WPARAM>(sys->quitCode);
    if (remove) sys->quitPending = false;
    return true;
  }
  if (TakePaint(*sys, msg, remove)) return true;
  if (const auto due = sys->timers.TakeDue(NowMs(), remove)) {
    msg->hwnd = due->hwnd;
    msg->message = WM_TIMER;
    msg->wParam = due->id;
    return true;
  }
  return false;
}

void DispatchIdle() {
  MSG msg;
  while (NextMessage(&msg, true, false)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

BOOL GetMessageW(MSG* msg, HWND, UINT, UINT) {
  WindowSystem* sys = System();
  if (!sys || !msg) return -1;
  while (!NextMessage(msg, true, true)) {
    int timeout = -1;
    if (const auto due = sys->timers.NextDue()) {
      const std::uint64_t now = NowMs();
      timeout = *due > now ? static_cast<int>(*due - now) : 0;
    }
    sys->backend->Wait(timeout);
  }
  return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL PeekMessageW(MSG* msg, HWND, UINT, UINT, UINT removeMessage) {
  if (!msg) return FALSE;
  return NextMessage(msg, (removeMessage & PM_REMOVE) != 0, true) ? TRUE : FALSE;
}

// Keys arrive as virtual-key codes already; there is no character layer.
BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageW(const MSG* msg) {
  if (!msg) return 0;
  if (msg->message == kShowAndRaiseMessage) {
    ShowAndRaise(msg->hwnd);
    return 0;
  }
  if (msg->message == WM_PAINT) {
    Window* w = FindLocalWindow(msg->hwnd);
    if (!w) return 0;
    const std::uint64_t paintsBefore = w->paints;
    const LRESULT result = w->procedure(msg->hwnd, WM_PAINT, msg->wParam, msg->lParam);
    // Validate a window whose procedure did not paint, so WM_PAINT does not
    // repeat for ever.
    if (Window* after = FindLocalWindow(msg->hwnd); after && after->paints == paintsBefore) {
      after->hasUpdate = false;
      after->update = RECT{};
    }
    return result;
  }
  const Window* w = FindLocalWindow(msg->hwnd);
  if (!w) return 0;
  return w->procedure(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (IsInstanceProxy(hwnd)) return PostToInstance(hwnd, message, wParam, lParam) ? TRUE : FALSE;
  WindowSystem* sys = System();
  if (!sys || !IsLocalWindow(hwnd)) return FALSE;
  sys->queue.Post(PostedMessage{hwnd, message, wParam, lParam, static_cast<DWORD>(NowMs())});
  return TRUE;
}

LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!OnUiThread()) {
    PostMessageW(hwnd, message, wParam, lParam);
    return 0;
  }
  const Window* w = FindLocalWindow(hwnd);
  if (!w) return 0;
  return w->procedure(hwnd, message, wParam, lParam);
}

void PostQuitMessage(int exitCode) {
  WindowSystem* sys = System();
  if (!sys) return;
  sys->quitPending = true;
  sys->quitEverPosted = true;
  sys->quitCode = exitCode;
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC callback) {
  WindowSystem* sys = System();
  if (!sys || callback || !IsLocalWindow(hwnd)) return 0;
  sys->timers.Set(hwnd, id, elapseMs, NowMs());
  return id == 0 ? 1 : id;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  WindowSystem* sys = System();
  if (!sys) return FALSE;
  return sys->timers.Kill(hwnd, id) ? TRUE : FALSE;
}
