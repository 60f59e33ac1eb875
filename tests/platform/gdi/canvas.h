// A memory DC with a white bitmap selected, and ways to look at its pixels.
#pragma once

#include <algorithm>
#include <cstdint>

#include "platform/gdi/gdi.h"

constexpr std::uint32_t kWhite = 0xFFFFFF;

class Canvas {
 public:
  Canvas(int width, int height)
      : dc_(CreateCompatibleDC(nullptr)), bitmap_(CreateCompatibleBitmap(dc_, width, height)) {
    previous_ = SelectObject(dc_, bitmap_);
    fill(RECT{0, 0, width, height}, RGB(255, 255, 255));
  }
  ~Canvas() {
    SelectObject(dc_, previous_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
  }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  HDC dc() const { return dc_; }
  HBITMAP bitmap() const { return bitmap_; }
  const Surface& surface() const { return *GetBitmapSurface(bitmap_); }
  std::uint32_t at(int x, int y) const { return surface().at(x, y); }

  void fill(const RECT& r, COLORREF color) {
    HBRUSH brush = CreateSolidBrush(color);
    FillRect(dc_, &r, brush);
    DeleteObject(brush);
  }

  // The smallest rectangle holding every pixel that is not white (right and
  // bottom exclusive); empty when there is none.
  RECT inkBounds() const {
    const Surface& s = surface();
    RECT box{s.width, s.height, 0, 0};
    for (int y = 0; y < s.height; ++y)
      for (int x = 0; x < s.width; ++x)
        if (s.at(x, y) != kWhite) box = RECT{std::min<LONG>(box.left, x), std::min<LONG>(box.top, y),
                                             std::max<LONG>(box.right, x + 1), std::max<LONG>(box.bottom, y + 1)};
    return box.right == 0 ? RECT{0, 0, 0, 0} : box;
  }

 private:
  HDC dc_;
  HBITMAP bitmap_;
  HGDIOBJ previous_;
};
