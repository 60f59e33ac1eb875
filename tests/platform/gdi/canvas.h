// A memory DC with a white bitmap selected, and ways to look at its pixels.
#pragma once

#include <algorithm>
#include <cstdint>

#include "platform/gdi/gdi.h"

constexpr std::uint32_t kWhite = 0xFFFFFF;
constexpr std::uint32_t kBlack = 0x000000;

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

  // The smallest rectangle holding every pixel that differs from `paper`
  // (right and bottom exclusive); empty when there is none.
  RECT inkBounds(std::uint32_t paper = kWhite, RECT within = RECT{0, 0, -1, -1}) const {
    const Surface& s = surface();
    if (within.right < 0) within = RECT{0, 0, s.width, s.height};
    RECT box{s.width, s.height, 0, 0};
    for (int y = within.top; y < within.bottom; ++y) {
      for (int x = within.left; x < within.right; ++x) {
        if (s.at(x, y) == paper) continue;
        box.left = std::min<LONG>(box.left, x);
        box.top = std::min<LONG>(box.top, y);
        box.right = std::max<LONG>(box.right, x + 1);
        box.bottom = std::max<LONG>(box.bottom, y + 1);
      }
    }
    return box.right == 0 ? RECT{0, 0, 0, 0} : box;
  }

  int count(std::uint32_t pixel) const {
    int n = 0;
    for (std::uint32_t p : surface().pixels) n += p == pixel;
    return n;
  }

 private:
  HDC dc_;
  HBITMAP bitmap_;
  HGDIOBJ previous_;
};
