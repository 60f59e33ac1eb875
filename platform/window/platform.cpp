// Start-up and shutdown of the window system, and the clock.
#include "platform/window/platform.h"

#include <chrono>

#include "platform/gdi/gdi.h"
#include "platform/window/form_factor.h"
#include "platform/window/window_system.h"
#include "platform/window/zoom.h"

namespace {

std::unique_ptr<WindowSystem> g_system;

std::uint64_t RealNowMs() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

WindowSystem* System() { return g_system.get(); }

bool OnUiThread() { return g_system && std::this_thread::get_id() == g_system->uiThread; }

std::uint64_t NowMs() { return g_system ? g_system->backend->NowMs() : RealNowMs(); }

bool InitPlatform(const PlatformOptions& options, std::string* error) {
  ShutdownPlatform();
  if (options.width <= 0 || options.height <= 0 || options.zoom < 0) {
    if (error) *error = "invalid display size or zoom";
    return false;
  }
  auto system = std::make_unique<WindowSystem>();
  std::string reason;
  // Headless has no display to choose a zoom from.
  const int headlessZoom = options.zoom == kAutoZoom ? 1 : options.zoom;
  system->backend =
      options.backend == Backend::Sdl ? MakeSdlBackend(options, &reason) : MakeHeadlessBackend(headlessZoom);
  if (!system->backend) {
    if (error) *error = reason;
    return false;
  }
  system->kind = options.backend;
  system->uiThread = std::this_thread::get_id();
  system->displayWidth = options.width;
  system->displayHeight = options.height;
  if (options.autoSize) {
    int width = 0;
    int height = 0;
    if (system->backend->UsableDisplaySize(&width, &height) && IsPhoneFormFactor(width, height)) {
      system->displayWidth = width;
      system->displayHeight = height;
    }
  }
  g_system = std::move(system);
  g_system->backend->Attach(g_system->queue);
  SetDisplayMetrics(g_system->displayWidth, g_system->displayHeight);
  return true;
}

void ShutdownPlatform() {
  if (!g_system) return;
  DropAllWindows();
  g_system->queue.SetWakeHook(nullptr);
  g_system.reset();
}

Backend CurrentBackend() { return g_system ? g_system->kind : Backend::Headless; }

void Sleep(DWORD ms) {
  if (OnUiThread()) {
    g_system->backend->SleepOnUiThread(ms);
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

DWORD GetTickCount() { return static_cast<DWORD>(NowMs()); }
