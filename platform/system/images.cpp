#include "platform/system/images.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_image.h>

#include <memory>
#include <mutex>
#include <new>
#include <string_view>

#include "platform/gdi/surface.h"
#include "platform/gdi/utf8.h"
#include "platform/system/resources.h"

namespace {

using SurfacePtr = std::unique_ptr<SDL_Surface, decltype(&SDL_FreeSurface)>;

// Decoders are not all re-entrant; images are loaded one at a time.
std::mutex g_decodeMutex;

// Converts a decoded picture to a bitmap. Transparent parts are laid on
// white, the colour every page is drawn on.
HBITMAP ToBitmap(SDL_Surface* decoded) {
  if (!decoded) return nullptr;
  SurfacePtr owner(decoded, SDL_FreeSurface);
  SurfacePtr argb(SDL_ConvertSurfaceFormat(decoded, SDL_PIXELFORMAT_ARGB8888, 0), SDL_FreeSurface);
  if (!argb || argb->w <= 0 || argb->h <= 0) return nullptr;
  Surface pixels;
  try {
    pixels.resize(argb->w, argb->h);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  for (int y = 0; y < argb->h; ++y) {
    const auto* row = reinterpret_cast<const Uint32*>(static_cast<const Uint8*>(argb->pixels) +
                                                      static_cast<std::ptrdiff_t>(y) * argb->pitch);
    for (int x = 0; x < argb->w; ++x) {
      const Uint32 p = row[x];
      const unsigned alpha = p >> 24;
      auto channel = [&](int shift) {
        const unsigned c = (p >> shift) & 0xFF;
        return ((c * alpha + 255 * (255 - alpha) + 127) / 255) << shift;
      };
      pixels.pixels[static_cast<std::size_t>(y) * argb->w + x] = channel(16) | channel(8) | channel(0);
    }
  }
  return CreateBitmapFromSurface(std::move(pixels));
}

}  // namespace

HBITMAP SHLoadImageResource(HINSTANCE /*the program's own resources*/, UINT gifId) {
  const int id = static_cast<int>(gifId);
  if (id == -1) return nullptr;
  const ResourceBytes bytes = FindResourceBytes(ResourceType::Gif, id);
  if (!bytes.data || bytes.size == 0 || bytes.size > static_cast<std::size_t>(INT32_MAX)) return nullptr;
  std::lock_guard lock(g_decodeMutex);
  SDL_RWops* stream = SDL_RWFromConstMem(bytes.data, static_cast<int>(bytes.size));
  if (!stream) return nullptr;
  return ToBitmap(IMG_Load_RW(stream, 1));
}

HBITMAP SHLoadImageFile(LPCWSTR path) {
  if (!path || !*path) return nullptr;
  const std::string file = WideToUtf8(path);
  std::lock_guard lock(g_decodeMutex);
  return ToBitmap(IMG_Load(file.c_str()));
}
