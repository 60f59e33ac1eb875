#include "platform/window/sdl/desktop_scale.h"

#include <SDL.h>
#include <X11/Xlib.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/window/zoom.h"

namespace {

// The RESOURCE_MANAGER string the session's xrdb loaded; empty without one.
std::string XResources() {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return {};
  std::string resources;
  if (const char* text = XResourceManagerString(display)) resources = text;
  XCloseDisplay(display);
  return resources;
}

}  // namespace

double SessionDesktopScale() {
  const char* driver = SDL_GetCurrentVideoDriver();
  if (driver && std::strcmp(driver, "wayland") == 0) return 1.0;
  return DesktopScale(std::getenv("GDK_SCALE"), XResources());
}
