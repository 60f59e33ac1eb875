// The headless backend: no display, and a virtual clock that only moves
// when the driver advances it, a handler sleeps, or the message loop waits.
#include <atomic>
#include <chrono>

#include "platform/window/window_system.h"

namespace {

class HeadlessBackend final : public WindowBackend {
 public:
  explicit HeadlessBackend(int zoom) : zoom_(zoom) {}

  std::uint64_t NowMs() override { return now_.load(); }
  int Zoom() const override { return zoom_; }

  // A free-running message loop (no driver) keeps the virtual clock in step
  // with the real time it spends waiting.
  void Wait(int timeoutMs) override {
    const auto start = std::chrono::steady_clock::now();
    System()->queue.WaitForMessage(timeoutMs);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::uint64_t step = static_cast<std::uint64_t>(waited.count());
    if (timeoutMs >= 0 && step > static_cast<std::uint64_t>(timeoutMs)) step = static_cast<std::uint64_t>(timeoutMs);
    if (timeoutMs >= 0 && System()->queue.Empty()) step = static_cast<std::uint64_t>(timeoutMs);
    now_ += step;
  }

  void PollInput() override {}
  void SleepOnUiThread(DWORD ms) override { now_ += ms; }
  bool WindowCreated(HWND, const std::wstring&, int, int, int) override { return true; }
  void WindowDestroyed(HWND) override {}
  void WindowShown(HWND, bool) override {}
  void WindowRaised(HWND) override {}
  void WindowResized(HWND, int, int) override {}
  void Present(HWND, const Surface&) override {}

  void Advance(std::uint64_t ms) { now_ += ms; }
  void AdvanceTo(std::uint64_t t) {
    if (t > now_.load()) now_ = t;
  }

 private:
  const int zoom_;
  std::atomic<std::uint64_t> now_{0};
};

}  // namespace

std::unique_ptr<WindowBackend> MakeHeadlessBackend(int zoom) { return std::make_unique<HeadlessBackend>(zoom); }

// The driver (headless.cpp) moves the clock through this.
void AdvanceVirtualClockTo(std::uint64_t t) {
  WindowSystem* sys = System();
  if (!sys || sys->kind != Backend::Headless) return;
  static_cast<HeadlessBackend*>(sys->backend.get())->AdvanceTo(t);
}
