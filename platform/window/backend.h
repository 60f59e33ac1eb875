// The interface between the window system and its display backend, chosen
// once at start-up: the headless backend (virtual clock, no display) or the
// sdl backend (a real window and clock).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/gdi/surface.h"
#include "platform/types.h"
#include "platform/window/message_queue.h"
#include "platform/window/platform.h"

class WindowBackend {
 public:
  virtual ~WindowBackend() = default;

  // Called once the queue exists; the sdl backend hooks its wake-up here.
  virtual void Attach(MessageQueue& queue) { (void)queue; }

  // Milliseconds on the backend's clock (virtual on headless).
  virtual std::uint64_t NowMs() = 0;
  // Blocks the user-interface thread until input arrives, a message is
  // posted, or timeoutMs passes (negative: no limit).
  virtual void Wait(int timeoutMs) = 0;
  // Turns input that has arrived into posted messages, without blocking.
  virtual void PollInput() = 0;
  // Sleep on the user-interface thread.
  virtual void SleepOnUiThread(DWORD ms) = 0;

  // iconId: the icon resource of the window's class, 0 for none. False when
  // the backend cannot show the window.
  virtual bool WindowCreated(HWND hwnd, const std::wstring& title, int iconId, int width, int height) = 0;
  virtual void WindowDestroyed(HWND hwnd) = 0;
  virtual void WindowShown(HWND hwnd, bool visible) = 0;
  virtual void WindowRaised(HWND hwnd) = 0;
  virtual void WindowResized(HWND hwnd, int width, int height) = 0;
  // The part of the display that windows may cover, in client pixels; false
  // when the backend has no display to ask.
  virtual bool UsableDisplaySize(int* width, int* height) {
    (void)width;
    (void)height;
    return false;
  }
  // Screen pixels per client pixel in each direction.
  virtual int Zoom() const { return 1; }
  // The finished client area, after EndPaint.
  virtual void Present(HWND hwnd, const Surface& pixels) = 0;
};

// `zoom`: how taps given in window pixels (TapWindowPixel) map to the client.
std::unique_ptr<WindowBackend> MakeHeadlessBackend(int zoom);
// Null with *error set when no display can be opened.
std::unique_ptr<WindowBackend> MakeSdlBackend(const PlatformOptions& options, std::string* error);
