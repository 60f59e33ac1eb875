// The sdl backend: a real window showing the client surface scaled by the
// zoom factor with crisp pixels, and the real clock. Input becomes posted
// messages; a post from another thread wakes the event wait. A window that
// the user or the compositor resizes makes its new size the display's.
#include <SDL.h>
#include <SDL_image.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>

#include "platform/window/sdl/desktop_scale.h"
#include "platform/window/sdl/key_map.h"
#include "platform/system/resources.h"
#include "platform/system/wide_text.h"
#include "platform/window/form_factor.h"
#include "platform/window/window_system.h"
#include "platform/window/zoom.h"

namespace {

constexpr LPARAM kKeyUpFlags = static_cast<LPARAM>(0xC0000001u);  // repeat 1, previous state down, released
// The smallest client area the pages can be laid out in.
constexpr int kMinimumWidth = 120;
constexpr int kMinimumHeight = 160;

bool DisplayConfigured() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"}) {
    if (const char* v = std::getenv(name); v && *v) return true;
  }
  return false;
}

struct SdlWindow {
  SDL_Window* window = nullptr;
  SDL_Renderer* renderer = nullptr;
  SDL_Texture* texture = nullptr;
  int width = 0, height = 0;

  void DestroyTexture() {
    if (texture) SDL_DestroyTexture(texture);
    texture = nullptr;
  }
  ~SdlWindow() {
    DestroyTexture();
    if (renderer) SDL_DestroyRenderer(renderer);
    if (window) SDL_DestroyWindow(window);
  }
};

class SdlBackend final : public WindowBackend {
 public:
  SdlBackend(int zoom, Uint32 wakeEvent) : zoom_(zoom), wakeEvent_(wakeEvent) {}

  ~SdlBackend() override {
    windows_.clear();
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
  }

  void Attach(MessageQueue& queue) override {
    // One wake-up event at a time is enough: the loop drains the queue.
    queue.SetWakeHook([this] {
      if (wakePending_.exchange(true)) return;
      SDL_Event e{};
      e.type = wakeEvent_;
      SDL_PushEvent(&e);
    });
  }

  std::uint64_t NowMs() override { return SDL_GetTicks64(); }

  void Wait(int timeoutMs) override {
    SDL_Event e;
    const int got = timeoutMs < 0 ? SDL_WaitEvent(&e) : SDL_WaitEventTimeout(&e, timeoutMs);
    if (got) Translate(e);
    PollInput();
  }

  void PollInput() override {
    SDL_Event e;
    while (SDL_PollEvent(&e)) Translate(e);
  }

  void SleepOnUiThread(DWORD ms) override { SDL_Delay(ms); }

  int Zoom() const override { return zoom_; }

  bool WindowCreated(HWND hwnd, const std::wstring& title, int iconId, int width, int height) override {
    auto w = std::make_unique<SdlWindow>();
    w->window = SDL_CreateWindow(WideToUtf8(title).c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                                 std::max(width, 1) * zoom_, std::max(height, 1) * zoom_,
                                 SDL_WINDOW_HIDDEN | SDL_WINDOW_RESIZABLE);
    if (!w->window) {
      SDL_Log("cannot create the window: %s", SDL_GetError());
      return false;
    }
    SDL_SetWindowMinimumSize(w->window, kMinimumWidth * zoom_, kMinimumHeight * zoom_);
    SetIcon(w->window, iconId);
    w->renderer = SDL_CreateRenderer(w->window, -1, 0);
    if (!w->renderer) w->renderer = SDL_CreateRenderer(w->window, -1, SDL_RENDERER_SOFTWARE);
    if (!w->renderer) {
      SDL_Log("cannot draw in the window: %s", SDL_GetError());
      return false;
    }
    byId_[SDL_GetWindowID(w->window)] = hwnd;
    windows_[hwnd] = std::move(w);
    return true;
  }

  void WindowDestroyed(HWND hwnd) override {
    const auto it = windows_.find(hwnd);
    if (it == windows_.end()) return;
    byId_.erase(SDL_GetWindowID(it->second->window));
    windows_.erase(it);
  }

  void WindowShown(HWND hwnd, bool visible) override {
    if (SdlWindow* w = Find(hwnd)) visible ? SDL_ShowWindow(w->window) : SDL_HideWindow(w->window);
  }

  void WindowRaised(HWND hwnd) override {
    if (SdlWindow* w = Find(hwnd)) SDL_RaiseWindow(w->window);
  }

  bool UsableDisplaySize(int* width, int* height) override {
    SDL_Rect usable{};
    if (SDL_GetDisplayUsableBounds(0, &usable) != 0 || usable.w <= 0 || usable.h <= 0) return false;
    *width = std::max(usable.w / zoom_, kMinimumWidth);
    *height = std::max(usable.h / zoom_, kMinimumHeight);
    return true;
  }

  // A window the compositor has just resized (maximised on a phone, say) is
  // refitted to the size it already has: leave it alone then, so as not to
  // fight the compositor.
  void WindowResized(HWND hwnd, int width, int height) override {
    SdlWindow* w = Find(hwnd);
    if (!w) return;
    const int wantWidth = std::max(width, 1) * zoom_;
    const int wantHeight = std::max(height, 1) * zoom_;
    int hasWidth = 0;
    int hasHeight = 0;
    SDL_GetWindowSize(w->window, &hasWidth, &hasHeight);
    if (hasWidth != wantWidth || hasHeight != wantHeight) SDL_SetWindowSize(w->window, wantWidth, wantHeight);
  }

  void Present(HWND hwnd, const Surface& pixels) override {
    SdlWindow* w = Find(hwnd);
    if (!w || !w->renderer || pixels.width <= 0 || pixels.height <= 0) return;
    if (!w->texture || w->width != pixels.width || w->height != pixels.height) {
      w->DestroyTexture();
      w->texture = SDL_CreateTexture(w->renderer, SDL_PIXELFORMAT_RGB888, SDL_TEXTUREACCESS_STREAMING, pixels.width,
                                     pixels.height);
      w->width = pixels.width;
      w->height = pixels.height;
      if (!w->texture) return;
    }
    SDL_UpdateTexture(w->texture, nullptr, pixels.pixels.data(), pixels.width * 4);
    SDL_RenderClear(w->renderer);
    SDL_RenderCopy(w->renderer, w->texture, nullptr, nullptr);
    SDL_RenderPresent(w->renderer);
  }

 private:
  static void SetIcon(SDL_Window* window, int iconId) {
    const ResourceBytes icon = FindResourceBytes(ResourceType::Icon, iconId);
    if (!icon.data) return;
    if (SDL_Surface* picture = IMG_Load_RW(SDL_RWFromConstMem(icon.data, static_cast<int>(icon.size)), 1)) {
      SDL_SetWindowIcon(window, picture);
      SDL_FreeSurface(picture);
    }
  }

  SdlWindow* Find(HWND hwnd) {
    const auto it = windows_.find(hwnd);
    return it == windows_.end() || !it->second->window ? nullptr : it->second.get();
  }

  HWND WindowFor(Uint32 id) const {
    const auto it = byId_.find(id);
    return it == byId_.end() ? nullptr : it->second;
  }

  LPARAM ClientPoint(HWND hwnd, int x, int y) const {
    RECT client{};
    GetClientRect(hwnd, &client);
    const POINT at = ClientPointFromWindow(x, y, zoom_, client.right, client.bottom);
    return MAKELPARAM(static_cast<WORD>(at.x), static_cast<WORD>(at.y));
  }

  void Translate(const SDL_Event& e) {
    if (e.type == wakeEvent_) {
      wakePending_ = false;
      return;
    }
    switch (e.type) {
      case SDL_KEYDOWN:
      case SDL_KEYUP: {
        const HWND hwnd = WindowFor(e.key.windowID);
        const UINT vk = VirtualKeyFor(e.key.keysym.sym);
        if (!hwnd || !vk) return;
        if (e.type == SDL_KEYUP) {
          PostMessageW(hwnd, WM_KEYUP, vk, kKeyUpFlags);
        } else {
          PostMessageW(hwnd, WM_KEYDOWN, vk, e.key.repeat ? static_cast<LPARAM>(0x40000001) : 1);
        }
        return;
      }
      case SDL_MOUSEBUTTONDOWN:
      case SDL_MOUSEBUTTONUP: {
        const HWND hwnd = WindowFor(e.button.windowID);
        if (!hwnd || e.button.button != SDL_BUTTON_LEFT) return;
        const bool down = e.type == SDL_MOUSEBUTTONDOWN;
        PostMessageW(hwnd, down ? WM_LBUTTONDOWN : WM_LBUTTONUP, down ? 1 : 0, ClientPoint(hwnd, e.button.x, e.button.y));
        return;
      }
      case SDL_WINDOWEVENT:
        TranslateWindowEvent(e.window);
        return;
      default:
        return;
    }
  }

  void TranslateWindowEvent(const SDL_WindowEvent& e) {
    const HWND hwnd = WindowFor(e.windowID);
    if (!hwnd) return;
    switch (e.event) {
      case SDL_WINDOWEVENT_EXPOSED:
        InvalidateRect(hwnd, nullptr, FALSE);
        return;
      case SDL_WINDOWEVENT_FOCUS_GAINED:
        PostMessageW(hwnd, WM_ACTIVATE, WA_ACTIVE, 0);
        return;
      case SDL_WINDOWEVENT_FOCUS_LOST:
        PostMessageW(hwnd, WM_ACTIVATE, WA_INACTIVE, 0);
        return;
      case SDL_WINDOWEVENT_SIZE_CHANGED:
        DisplayResizedFromOutside(hwnd, std::max(e.data1 / zoom_, 1), std::max(e.data2 / zoom_, 1));
        return;
      case SDL_WINDOWEVENT_CLOSE:
        // The application decides what closing means (it hides the window).
        PostMessageW(hwnd, WM_CLOSE, 0, 0);
        return;
      default:
        return;
    }
  }

  int zoom_;
  Uint32 wakeEvent_;
  std::atomic<bool> wakePending_{false};
  std::map<HWND, std::unique_ptr<SdlWindow>> windows_;
  std::map<Uint32, HWND> byId_;
};

// The zoom that --zoom auto stands for: none on a phone, whose window covers
// the display; on a desktop, about half the usable height at the desktop's
// own scale.
int AutoZoom(const PlatformOptions& options) {
  SDL_Rect usable{};
  if (SDL_GetDisplayUsableBounds(0, &usable) != 0 || usable.w <= 0 || usable.h <= 0) return 1;
  if (IsPhoneFormFactor(usable.w, usable.h)) return 1;
  return ChooseZoom(usable.h, options.height, SessionDesktopScale());
}

}  // namespace

std::unique_ptr<WindowBackend> MakeSdlBackend(const PlatformOptions& options, std::string* error) {
  const std::string advice =
      "no display available (DISPLAY and WAYLAND_DISPLAY are unset or unreachable); run with --backend headless";
  if (!DisplayConfigured()) {
    *error = advice;
    return nullptr;
  }
  // SDL takes the X11 window class and the Wayland app id from these.
  if (!options.appId.empty()) {
    setenv("SDL_VIDEO_X11_WMCLASS", options.appId.c_str(), 0);
    setenv("SDL_VIDEO_WAYLAND_WMCLASS", options.appId.c_str(), 0);
  }
  // Ctrl+C must end the program as usual; closing the window is the
  // application's business.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
  SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "nearest");
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
    *error = advice + " (" + SDL_GetError() + ")";
    return nullptr;
  }
  const Uint32 wakeEvent = SDL_RegisterEvents(1);
  if (wakeEvent == static_cast<Uint32>(-1)) {
    *error = std::string("cannot set up window events: ") + SDL_GetError();
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    return nullptr;
  }
  const int zoom = options.zoom == kAutoZoom ? AutoZoom(options) : options.zoom;
  return std::make_unique<SdlBackend>(zoom, wakeEvent);
}
