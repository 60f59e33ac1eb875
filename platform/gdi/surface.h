// The pixel store that every device context finally draws into.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/types.h"

// 32-bit pixels 0x00RRGGBB, row-major, width * height of them, no padding.
struct Surface {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;

  void resize(int w, int h) {
    width = w;
    height = h;
    pixels.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0x00FFFFFFu);
  }
  std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

// A device context that draws straight into a surface owned by someone else
// (the window's client area). The surface must outlive the DC; it may be
// resized while the DC exists. Released with DeleteDC.
HDC CreateSurfaceDC(Surface* target);

// A new bitmap that takes over the given pixels (image decoders use it).
// Null when the surface is empty.
HBITMAP CreateBitmapFromSurface(Surface pixels);
