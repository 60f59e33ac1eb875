// Start-up and shutdown of the window system, with the backend chosen once:
// sdl (a real window) or headless (no display, virtual clock; tests and
// scripted runs).
#pragma once

#include <string>

enum class Backend { Sdl, Headless };

struct PlatformOptions {
  Backend backend = Backend::Headless;
  // The display, which is also the work area and the default window size.
  int width = 240, height = 320;
  // Scale of the sdl presentation; the client area stays width x height.
  // kAutoZoom (zoom.h): chosen from the display and the desktop's scale.
  int zoom = 1;
  // On a phone form factor (form_factor.h), take the display's usable area
  // instead of width x height; elsewhere, and headless, keep width x height.
  bool autoSize = false;
  // The id of the program's desktop entry, by which desktop and phone shells
  // match its window to the entry's name and icon; empty: the backend's default.
  std::string appId;
};

// Fails with a message in *error (for example when no display is reachable
// on the sdl backend); the caller reports it and exits. Calling it again
// after ShutdownPlatform starts afresh. The calling thread becomes the
// user-interface thread.
bool InitPlatform(const PlatformOptions& options, std::string* error);

// Destroys every window, timer and queued message and closes the backend.
void ShutdownPlatform();

Backend CurrentBackend();
