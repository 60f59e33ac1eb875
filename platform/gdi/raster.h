// Pixel-level helpers shared by the drawing calls.
#pragma once

#include <algorithm>
#include <cstdint>

#include "platform/gdi/objects.h"

// Pixels hold 0x00RRGGBB; COLORREF holds 0x00BBGGRR.
inline std::uint32_t ToPixel(COLORREF color) {
  return (static_cast<std::uint32_t>(GetRValue(color)) << 16) |
         (static_cast<std::uint32_t>(GetGValue(color)) << 8) | GetBValue(color);
}

inline COLORREF ToColorRef(std::uint32_t pixel) {
  return RGB(static_cast<BYTE>(pixel >> 16), static_cast<BYTE>(pixel >> 8), static_cast<BYTE>(pixel));
}

inline RECT Intersect(const RECT& a, const RECT& b) {
  return RECT{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
              std::min(a.bottom, b.bottom)};
}

inline bool IsEmpty(const RECT& r) { return r.right <= r.left || r.bottom <= r.top; }

inline bool Contains(const RECT& r, int x, int y) {
  return x >= r.left && x < r.right && y >= r.top && y < r.bottom;
}

// The part of the DC's surface that drawing may touch: its bounds, cut by
// the clip rectangle when one is selected.
inline RECT DrawableArea(const DeviceContext& dc) {
  const Surface* s = dc.target();
  const RECT bounds{0, 0, s->width, s->height};
  return dc.clipped ? Intersect(bounds, dc.clip) : bounds;
}

// Fills an area that already lies inside the surface.
inline void FillArea(Surface& s, const RECT& area, std::uint32_t pixel) {
  for (LONG y = area.top; y < area.bottom; ++y) {
    auto row = s.pixels.begin() + static_cast<std::ptrdiff_t>(y) * s.width;
    std::fill(row + area.left, row + area.right, pixel);
  }
}

// Mixes colour into a pixel by coverage 0..255.
inline std::uint32_t Blend(std::uint32_t under, std::uint32_t over, unsigned coverage) {
  const unsigned keep = 255 - coverage;
  auto channel = [&](int shift) {
    const unsigned a = (under >> shift) & 0xFF;
    const unsigned b = (over >> shift) & 0xFF;
    return ((a * keep + b * coverage + 127) / 255) << shift;
  };
  return channel(16) | channel(8) | channel(0);
}
