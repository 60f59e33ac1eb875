#include "platform/system/images.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_image.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "platform/gdi/surface.h"
#include "platform/system/wide_text.h"
#include "platform/system/resources.h"

namespace {

using SurfacePtr = std::unique_ptr<SDL_Surface, decltype(&SDL_FreeSurface)>;

// Decoders are not all re-entrant; images are loaded one at a time.
std::mutex g_decodeMutex;

// Pictures come from the network too: a few hundred bytes can declare a
// picture of gigapixels, which a decoder would try to allocate and fill.
// Sizes are read from the header first and anything larger is refused.
constexpr long long kMaxPixels = 4096LL * 4096LL;
// Picture files larger than this are not read at all.
constexpr std::uintmax_t kMaxFileBytes = 64u * 1024u * 1024u;

struct Dimensions {
  long long width = 0;
  long long height = 0;
};

unsigned BigEndian16(const unsigned char* p) { return (p[0] << 8) | p[1]; }
unsigned long BigEndian32(const unsigned char* p) {
  return (static_cast<unsigned long>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}
unsigned LittleEndian16(const unsigned char* p) { return p[0] | (p[1] << 8); }
long LittleEndian32(const unsigned char* p) {
  return static_cast<std::int32_t>(p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24));
}

// The frame size of a JPEG from its first start-of-frame segment.
std::optional<Dimensions> JpegDimensions(const unsigned char* data, std::size_t size) {
  std::size_t i = 2;
  while (i + 4 <= size) {
    if (data[i] != 0xFF) return std::nullopt;
    const unsigned marker = data[i + 1];
    if (marker == 0xFF) {  // fill byte
      ++i;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {  // markers without a length
      i += 2;
      continue;
    }
    const unsigned length = BigEndian16(data + i + 2);
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame) {
      if (i + 9 > size) return std::nullopt;
      return Dimensions{BigEndian16(data + i + 7), BigEndian16(data + i + 5)};
    }
    if (marker == 0xDA || length < 2) return std::nullopt;
    i += 2 + length;
  }
  return std::nullopt;
}

// Width and height as the picture's header declares them; nullopt when the
// format is not one we can read the size of.
std::optional<Dimensions> DeclaredDimensions(const unsigned char* data, std::size_t size) {
  static const unsigned char kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (size >= 2 && data[0] == 0xFF && data[1] == 0xD8) return JpegDimensions(data, size);
  if (size >= 24 && std::equal(kPng, kPng + 8, data)) {
    return Dimensions{static_cast<long long>(BigEndian32(data + 16)), static_cast<long long>(BigEndian32(data + 20))};
  }
  if (size >= 10 && std::equal(data, data + 4, "GIF8")) {
    return Dimensions{LittleEndian16(data + 6), LittleEndian16(data + 8)};
  }
  if (size >= 26 && data[0] == 'B' && data[1] == 'M') {
    return Dimensions{std::llabs(LittleEndian32(data + 18)), std::llabs(LittleEndian32(data + 22))};
  }
  return std::nullopt;
}

bool AcceptableSize(const unsigned char* data, std::size_t size) {
  const std::optional<Dimensions> d = DeclaredDimensions(data, size);
  if (!d) return true;  // left to the decoder, which checks its own format
  return d->width > 0 && d->height > 0 && d->width * d->height <= kMaxPixels;
}

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

HBITMAP Decode(const unsigned char* data, std::size_t size) {
  if (!data || size == 0 || size > kMaxFileBytes || !AcceptableSize(data, size)) return nullptr;
  std::lock_guard lock(g_decodeMutex);
  SDL_RWops* stream = SDL_RWFromConstMem(data, static_cast<int>(size));
  if (!stream) return nullptr;
  return ToBitmap(IMG_Load_RW(stream, 1));
}

}  // namespace

HBITMAP SHLoadImageResource(HINSTANCE /*the program's own resources*/, UINT gifId) {
  if (static_cast<int>(gifId) == -1) return nullptr;
  const ResourceBytes bytes = FindResourceBytes(ResourceType::Gif, static_cast<int>(gifId));
  return Decode(bytes.data, bytes.size);
}

HBITMAP SHLoadImageFile(LPCWSTR path) {
  if (!path || !*path) return nullptr;
  const std::filesystem::path file(WideToUtf8(path));
  std::error_code error;
  // Only regular files: reading a pipe or a device could block or never end.
  if (!std::filesystem::is_regular_file(file, error)) return nullptr;
  const std::uintmax_t size = std::filesystem::file_size(file, error);
  if (error || size == 0 || size > kMaxFileBytes) return nullptr;
  std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
  std::ifstream in(file, std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) return nullptr;
  return Decode(bytes.data(), bytes.size());
}
