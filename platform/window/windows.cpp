// Window classes and windows: creation, destruction, size, visibility and
// the update region that drives WM_PAINT.
#include <algorithm>
#include <cwctype>

#include "platform/gdi/gdi.h"
#include "platform/system/resources.h"
#include "platform/window/single_instance.h"
#include "platform/window/window_system.h"

namespace {

std::wstring FoldCase(LPCWSTR text) {
  std::wstring folded = text ? text : L"";
  for (wchar_t& c : folded) c = static_cast<wchar_t>(std::towlower(c));
  return folded;
}

// Icon handles carry their resource id above a tag, so no table is needed.
constexpr std::uintptr_t kIconTag = 0x1C000000;

int IconId(HICON icon) {
  const auto value = reinterpret_cast<std::uintptr_t>(icon);
  return value > kIconTag && value <= kIconTag + 0xFFFF ? static_cast<int>(value - kIconTag) : 0;
}

RECT ClientRect(const Window& w) { return RECT{0, 0, w.frame.right - w.frame.left, w.frame.bottom - w.frame.top}; }

RECT Union(const RECT& a, const RECT& b) {
  return RECT{std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
              std::max(a.bottom, b.bottom)};
}

void Invalidate(Window& w, const RECT* rect) {
  const RECT client = ClientRect(w);
  RECT r = rect ? *rect : client;
  r.left = std::max(r.left, client.left);
  r.top = std::max(r.top, client.top);
  r.right = std::min(r.right, client.right);
  r.bottom = std::min(r.bottom, client.bottom);
  if (r.left >= r.right || r.top >= r.bottom) return;
  w.update = w.hasUpdate ? Union(w.update, r) : r;
  w.hasUpdate = true;
}

void Validate(Window& w) {
  w.hasUpdate = false;
  w.update = RECT{};
  w.internalPaint = false;
}

// Removes the window from the table; its surface survives while DCs on it
// are still out.
void Forget(WindowSystem& sys, HWND hwnd) {
  std::unique_ptr<Window> gone;
  {
    std::lock_guard lock(sys.windowsMutex);
    auto it = sys.windows.find(hwnd);
    if (it == sys.windows.end()) return;
    gone = std::move(it->second);
    sys.windows.erase(it);
  }
  if (gone->openDCs > 0) sys.orphanSurfaces.push_back(std::move(gone->client));
  if (sys.focus == hwnd) sys.focus = nullptr;
}

}  // namespace

Window* FindLocalWindow(HWND hwnd) {
  WindowSystem* sys = System();
  if (!sys || !hwnd) return nullptr;
  std::lock_guard lock(sys->windowsMutex);
  auto it = sys->windows.find(hwnd);
  return it == sys->windows.end() ? nullptr : it->second.get();
}

bool IsLocalWindow(HWND hwnd) { return FindLocalWindow(hwnd) != nullptr; }

HICON LoadIconW(HINSTANCE, LPCWSTR name) {
  const auto id = reinterpret_cast<std::uintptr_t>(name);
  if (id == 0 || id > 0xFFFF) return nullptr;  // only numbered icons exist
  if (!FindResourceBytes(ResourceType::Icon, static_cast<int>(id)).data) return nullptr;
  return reinterpret_cast<HICON>(kIconTag + id);
}

ATOM RegisterClassW(const WNDCLASSW* windowClass) {
  WindowSystem* sys = System();
  if (!sys || !windowClass || !windowClass->lpszClassName || !windowClass->lpfnWndProc) return 0;
  const std::wstring key = FoldCase(windowClass->lpszClassName);
  if (sys->classes.count(key)) return 0;
  sys->classes[key] = WindowClass{*windowClass, windowClass->lpszClassName};
  sys->classes[key].attributes.lpszClassName = nullptr;
  return static_cast<ATOM>(0xC000 + sys->classes.size());
}

HWND CreateWindowExW(DWORD, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y, int width,
                     int height, HWND, HMENU, HINSTANCE, LPVOID) {
  WindowSystem* sys = System();
  if (!sys) return nullptr;
  const auto cls = sys->classes.find(FoldCase(className));
  if (cls == sys->classes.end()) return nullptr;

  auto window = std::make_unique<Window>();
  const HWND hwnd = reinterpret_cast<HWND>(sys->nextHandle);
  sys->nextHandle += 0x10;  // low bits stay clear for the "handle | 1" idiom
  window->handle = hwnd;
  window->procedure = cls->second.attributes.lpfnWndProc;
  window->className = cls->second.name;
  window->title = windowName ? windowName : L"";
  if (x == CW_USEDEFAULT) x = y = 0;
  if (width == CW_USEDEFAULT) {
    width = sys->displayWidth;
    height = sys->displayHeight;
  }
  width = std::max(width, 0);
  height = std::max(height, 0);
  window->frame = RECT{x, y, x + width, y + height};
  window->client->resize(width, height);
  {
    std::lock_guard lock(sys->windowsMutex);
    sys->windows[hwnd] = std::move(window);
  }
  if (!sys->backend->WindowCreated(hwnd, FindLocalWindow(hwnd)->title, IconId(cls->second.attributes.hIcon), width,
                                   height)) {
    Forget(*sys, hwnd);
    return nullptr;
  }
  sys->focus = hwnd;

  if (SendMessageW(hwnd, WM_CREATE, 0, 0) == -1) {
    DestroyWindow(hwnd);
    return nullptr;
  }
  if (!IsLocalWindow(hwnd)) return nullptr;
  if (style & WS_VISIBLE) ShowWindow(hwnd, SW_SHOW);
  StartInstanceListener(hwnd, cls->second.name, windowName ? windowName : L"");
  return hwnd;
}

BOOL DestroyWindow(HWND hwnd) {
  WindowSystem* sys = System();
  Window* w = FindLocalWindow(hwnd);
  if (!w || w->destroying) return FALSE;
  w->destroying = true;  // a DestroyWindow from the WM_DESTROY handler must not recurse
  StopInstanceListener(hwnd);
  SendMessageW(hwnd, WM_DESTROY, 0, 0);
  sys->timers.KillAll(hwnd);
  sys->queue.RemoveFor(hwnd);
  sys->backend->WindowDestroyed(hwnd);
  Forget(*sys, hwnd);
  return TRUE;
}

void DropAllWindows() {
  WindowSystem* sys = System();
  std::vector<HWND> handles;
  {
    std::lock_guard lock(sys->windowsMutex);
    for (const auto& entry : sys->windows) handles.push_back(entry.first);
  }
  for (HWND hwnd : handles) {
    StopInstanceListener(hwnd);
    sys->backend->WindowDestroyed(hwnd);
    Forget(*sys, hwnd);
  }
}

BOOL IsWindow(HWND hwnd) { return IsLocalWindow(hwnd) || IsInstanceProxy(hwnd); }

LRESULT DefWindowProcW(HWND hwnd, UINT message, WPARAM, LPARAM) {
  if (message == WM_PAINT) {
    PAINTSTRUCT ps;
    if (BeginPaint(hwnd, &ps)) EndPaint(hwnd, &ps);
  } else if (message == WM_CLOSE) {
    DestroyWindow(hwnd);
  }
  return 0;
}

BOOL RedrawWindow(HWND hwnd, const RECT* updateRect, HRGN, UINT flags) {
  Window* w = FindLocalWindow(hwnd);
  if (!w) return FALSE;
  if (flags & RDW_INVALIDATE) Invalidate(*w, updateRect);
  if (flags & RDW_INTERNALPAINT) w->internalPaint = true;
  if (flags & RDW_UPDATENOW) UpdateWindow(hwnd);
  return TRUE;
}

BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL) {
  Window* w = FindLocalWindow(hwnd);
  if (!w) return FALSE;
  Invalidate(*w, rect);
  return TRUE;
}

BOOL UpdateWindow(HWND hwnd) {
  Window* w = FindLocalWindow(hwnd);
  if (!w) return FALSE;
  if (w->visible && (w->hasUpdate || w->internalPaint)) {
    w->internalPaint = false;
    const std::uint64_t paintsBefore = w->paints;
    SendMessageW(hwnd, WM_PAINT, 0, 0);
    // A procedure that ignores WM_PAINT must not leave the window invalid
    // forever (Win32 would send WM_PAINT again and again).
    if (Window* after = FindLocalWindow(hwnd); after && after->paints == paintsBefore) Validate(*after);
  }
  return TRUE;
}

BOOL GetUpdateRect(HWND hwnd, RECT* rect, BOOL) {
  Window* w = FindLocalWindow(hwnd);
  if (!w) return FALSE;
  if (rect) *rect = w->hasUpdate ? w->update : RECT{};
  return w->hasUpdate ? TRUE : FALSE;
}

HDC BeginPaint(HWND hwnd, PAINTSTRUCT* paint) {
  Window* w = FindLocalWindow(hwnd);
  if (!w || !paint) return nullptr;
  *paint = PAINTSTRUCT{};
  paint->rcPaint = w->hasUpdate ? w->update : ClientRect(*w);
  // As in Win32, the window is valid from here on: an invalidation made
  // while painting asks for another paint.
  Validate(*w);
  ++w->paints;
  paint->hdc = GetDC(hwnd);
  return paint->hdc;
}

BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* paint) {
  Window* w = FindLocalWindow(hwnd);
  if (!w || !paint) return FALSE;
  ReleaseDC(hwnd, paint->hdc);
  w->presented = *w->client;
  System()->backend->Present(hwnd, *w->client);
  return TRUE;
}

BOOL GetClientRect(HWND hwnd, RECT* rect) {
  Window* w = FindLocalWindow(hwnd);
  if (!w || !rect) return FALSE;
  *rect = ClientRect(*w);
  return TRUE;
}

HDC GetDC(HWND hwnd) {
  Window* w = FindLocalWindow(hwnd);
  if (!w) return nullptr;
  const HDC hdc = CreateSurfaceDC(w->client.get());
  if (hdc) ++w->openDCs;
  return hdc;
}

int ReleaseDC(HWND hwnd, HDC hdc) {
  if (!hdc) return 0;
  DeleteDC(hdc);
  if (Window* w = FindLocalWindow(hwnd); w && w->openDCs > 0) --w->openDCs;
  return 1;
}

BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint) {
  Window* w = FindLocalWindow(hwnd);
  if (!w) return FALSE;
  width = std::max(width, 0);
  height = std::max(height, 0);
  const RECT old = w->frame;
  w->frame = RECT{x, y, x + width, y + height};
  const bool resized = old.right - old.left != width || old.bottom - old.top != height;
  if (resized) {
    w->client->resize(width, height);
    System()->backend->WindowResized(hwnd, width, height);
    Invalidate(*w, nullptr);
  } else if (repaint) {
    Invalidate(*w, nullptr);
  }
  if (resized) SendMessageW(hwnd, WM_SIZE, 0, MAKELPARAM(static_cast<WORD>(width), static_cast<WORD>(height)));
  return TRUE;
}

BOOL ShowWindow(HWND hwnd, int command) {
  Window* w = FindLocalWindow(hwnd);
  if (!w) return FALSE;
  const bool wasVisible = w->visible;
  const bool show = command != SW_HIDE;
  if (show != wasVisible) {
    w->visible = show;
    System()->backend->WindowShown(hwnd, show);
    // A window coming into view has everything to paint.
    if (show) Invalidate(*w, nullptr);
  }
  if (show) System()->backend->WindowRaised(hwnd);
  return wasVisible ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND hwnd) {
  const Window* w = FindLocalWindow(hwnd);
  return w && w->visible ? TRUE : FALSE;
}

BOOL SystemParametersInfoW(UINT action, UINT, LPVOID data, UINT) {
  WindowSystem* sys = System();
  if (!sys || action != SPI_GETWORKAREA || !data) return FALSE;
  *static_cast<RECT*>(data) = RECT{0, 0, sys->displayWidth, sys->displayHeight};
  return TRUE;
}

void DisplayResizedFromOutside(HWND hwnd, int width, int height) {
  WindowSystem* sys = System();
  if (!sys || width <= 0 || height <= 0) return;
  if (width == sys->displayWidth && height == sys->displayHeight) return;
  sys->displayWidth = width;
  sys->displayHeight = height;
  SetDisplayMetrics(width, height);
  PostMessageW(hwnd, WM_SETTINGCHANGE, SETTINGCHANGE_RESET, 0);
}

BOOL SetForegroundWindow(HWND hwnd) {
  const HWND base = reinterpret_cast<HWND>(reinterpret_cast<std::uintptr_t>(hwnd) & ~std::uintptr_t{0xF});
  if (IsInstanceProxy(base)) return RaiseInstance(base) ? TRUE : FALSE;
  if (!IsLocalWindow(base)) return FALSE;
  ShowWindow(base, SW_SHOWNORMAL);
  System()->focus = base;
  return TRUE;
}

HWND FindWindowW(LPCWSTR className, LPCWSTR windowName) {
  if (WindowSystem* sys = System()) {
    std::lock_guard lock(sys->windowsMutex);
    for (const auto& [hwnd, w] : sys->windows) {
      if (className && FoldCase(className) != FoldCase(w->className.c_str())) continue;
      if (windowName && w->title != windowName) continue;
      return hwnd;
    }
  }
  return className ? FindInstance(className, windowName ? windowName : L"") : nullptr;
}
