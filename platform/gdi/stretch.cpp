// Scaled copies between device contexts.
#include <cmath>
#include <utility>
#include <vector>

#include "platform/gdi/raster.h"

namespace {

// Source pixel i of a span of `from` pixels scaled to `to`: its share of
// destination pixel d, for area averaging. Each destination pixel covers
// from/to source pixels; the weights of one destination pixel sum to 1.
struct Tap {
  int source;
  float weight;
};

std::vector<std::vector<Tap>> AreaTaps(int from, int to) {
  std::vector<std::vector<Tap>> taps(static_cast<std::size_t>(to));
  const double scale = static_cast<double>(from) / to;
  for (int d = 0; d < to; ++d) {
    const double start = d * scale;
    const double end = (d + 1) * scale;
    for (int s = static_cast<int>(std::floor(start)); s < end && s < from; ++s) {
      const double overlap = std::min(end, s + 1.0) - std::max(start, static_cast<double>(s));
      if (overlap > 0) taps[d].push_back({s, static_cast<float>(overlap / scale)});
    }
  }
  return taps;
}

// Shrinks or enlarges a block of `src` by area averaging, one axis at a time.
Surface AreaAverage(const Surface& src, const RECT& from, int width, int height) {
  const int sw = from.right - from.left;
  const int sh = from.bottom - from.top;
  const auto columns = AreaTaps(sw, width);
  const auto rows = AreaTaps(sh, height);

  // Horizontal pass: sh rows of width pixels, three channels each.
  std::vector<float> wide(static_cast<std::size_t>(sh) * width * 3);
  for (int y = 0; y < sh; ++y) {
    const std::uint32_t* line = &src.pixels[static_cast<std::size_t>(from.top + y) * src.width + from.left];
    float* out = &wide[static_cast<std::size_t>(y) * width * 3];
    for (int x = 0; x < width; ++x) {
      float r = 0, g = 0, b = 0;
      for (const Tap& tap : columns[x]) {
        const std::uint32_t p = line[tap.source];
        r += tap.weight * ((p >> 16) & 0xFF);
        g += tap.weight * ((p >> 8) & 0xFF);
        b += tap.weight * (p & 0xFF);
      }
      out[x * 3] = r;
      out[x * 3 + 1] = g;
      out[x * 3 + 2] = b;
    }
  }
  // Vertical pass into the result.
  Surface result;
  result.resize(width, height);
  auto channel = [](float value) { return static_cast<std::uint32_t>(std::clamp(value + 0.5f, 0.0f, 255.0f)); };
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      float r = 0, g = 0, b = 0;
      for (const Tap& tap : rows[y]) {
        const float* p = &wide[(static_cast<std::size_t>(tap.source) * width + x) * 3];
        r += tap.weight * p[0];
        g += tap.weight * p[1];
        b += tap.weight * p[2];
      }
      result.pixels[static_cast<std::size_t>(y) * width + x] = (channel(r) << 16) | (channel(g) << 8) | channel(b);
    }
  }
  return result;
}

Surface Nearest(const Surface& src, const RECT& from, int width, int height) {
  const long long sw = from.right - from.left;
  const long long sh = from.bottom - from.top;
  Surface result;
  result.resize(width, height);
  for (int y = 0; y < height; ++y) {
    const long long sy = from.top + y * sh / height;
    for (int x = 0; x < width; ++x)
      result.pixels[static_cast<std::size_t>(y) * width + x] = src.at(static_cast<int>(from.left + x * sw / width),
                                                                       static_cast<int>(sy));
  }
  return result;
}

}  // namespace

int SetStretchBltMode(HDC hdc, int mode) {
  DeviceContext* dc = FindDeviceContext(hdc);
  if (!dc || mode < 1 || mode > HALFTONE) return 0;
  return std::exchange(dc->stretchMode, mode);
}

BOOL StretchBlt(HDC dest, int x, int y, int width, int height, HDC source, int sourceX, int sourceY,
                int sourceWidth, int sourceHeight, DWORD rop) {
  DeviceContext* to = FindDeviceContext(dest);
  const DeviceContext* from = FindDeviceContext(source);
  if (!to || !from || rop != SRCCOPY) return FALSE;
  if (width <= 0 || height <= 0 || sourceWidth <= 0 || sourceHeight <= 0) return FALSE;
  const Surface& src = *from->target();
  const RECT block{sourceX, sourceY, sourceX + sourceWidth, sourceY + sourceHeight};
  // The whole source rectangle must lie on the source surface.
  if (block.left < 0 || block.top < 0 || block.right > src.width || block.bottom > src.height) return FALSE;

  const Surface scaled = to->stretchMode == HALFTONE ? AreaAverage(src, block, width, height)
                                                     : Nearest(src, block, width, height);
  Surface& dst = *to->target();
  const RECT area = Intersect(RECT{x, y, x + width, y + height}, DrawableArea(*to));
  for (LONG row = area.top; row < area.bottom; ++row) {
    const auto begin = scaled.pixels.begin() + static_cast<std::ptrdiff_t>(row - y) * width + (area.left - x);
    std::copy(begin, begin + (area.right - area.left),
              dst.pixels.begin() + static_cast<std::ptrdiff_t>(row) * dst.width + area.left);
  }
  return TRUE;
}
