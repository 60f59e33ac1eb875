#include "platform/system/screenshot.h"

#include <SDL.h>
#include <SDL_image.h>

bool SaveSurfacePng(const Surface& surface, const std::string& path) {
  if (surface.width <= 0 || surface.height <= 0) return false;
  // SDL only reads the pixels; the cast does not let it write them.
  SDL_Surface* view = SDL_CreateRGBSurfaceWithFormatFrom(
      const_cast<std::uint32_t*>(surface.pixels.data()), surface.width, surface.height, 32,
      surface.width * 4, SDL_PIXELFORMAT_RGB888);
  if (!view) return false;
  const bool saved = IMG_SavePNG(view, path.c_str()) == 0;
  SDL_FreeSurface(view);
  return saved;
}
