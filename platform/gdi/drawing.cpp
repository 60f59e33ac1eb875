// Filling, copying, single pixels and pen lines.
#include <cstdlib>
#include <vector>

#include "platform/gdi/raster.h"

namespace {

void PlotClipped(Surface& s, const RECT& area, int x, int y, std::uint32_t pixel) {
  if (Contains(area, x, y)) s.pixels[static_cast<std::size_t>(y) * s.width + x] = pixel;
}

}  // namespace

int FillRect(HDC hdc, const RECT* rect, HBRUSH handle) {
  DeviceContext* dc = FindDeviceContext(hdc);
  const auto* brush = FindObjectOf<BrushObject>(handle, GdiKind::Brush);
  if (!dc || !rect || !brush) return 0;
  if (brush->hollow) return 1;
  const RECT area = Intersect(*rect, DrawableArea(*dc));
  if (!IsEmpty(area)) FillArea(*dc->target(), area, ToPixel(brush->color));
  return 1;
}

BOOL BitBlt(HDC dest, int x, int y, int width, int height, HDC source, int sourceX, int sourceY,
            DWORD rop) {
  DeviceContext* to = FindDeviceContext(dest);
  const DeviceContext* from = FindDeviceContext(source);
  if (!to || !from || rop != SRCCOPY) return FALSE;
  const Surface& src = *from->target();
  Surface& dst = *to->target();

  // Cut the destination rectangle by the destination's drawable area and by
  // the source surface, expressed in destination coordinates.
  RECT area = Intersect(RECT{x, y, x + width, y + height}, DrawableArea(*to));
  const int dx = sourceX - x;
  const int dy = sourceY - y;
  area = Intersect(area, RECT{-dx, -dy, src.width - dx, src.height - dy});
  if (IsEmpty(area)) return TRUE;

  const int rowLength = area.right - area.left;
  // A DC may copy onto itself; stage through a buffer when rows could overlap.
  const bool same = &src == &dst;
  std::vector<std::uint32_t> rows;
  if (same) {
    rows.resize(static_cast<std::size_t>(rowLength) * (area.bottom - area.top));
    for (LONG row = area.top; row < area.bottom; ++row) {
      const auto from = src.pixels.begin() + static_cast<std::ptrdiff_t>(row + dy) * src.width + area.left + dx;
      std::copy(from, from + rowLength, rows.begin() + static_cast<std::ptrdiff_t>(row - area.top) * rowLength);
    }
  }
  for (LONG row = area.top; row < area.bottom; ++row) {
    const auto begin = same ? rows.begin() + static_cast<std::ptrdiff_t>(row - area.top) * rowLength
                            : src.pixels.begin() + static_cast<std::ptrdiff_t>(row + dy) * src.width + area.left + dx;
    std::copy(begin, begin + rowLength, dst.pixels.begin() + static_cast<std::ptrdiff_t>(row) * dst.width + area.left);
  }
  return TRUE;
}

COLORREF SetPixel(HDC hdc, int x, int y, COLORREF color) {
  DeviceContext* dc = FindDeviceContext(hdc);
  if (!dc || !Contains(DrawableArea(*dc), x, y)) return CLR_INVALID;
  Surface& s = *dc->target();
  s.pixels[static_cast<std::size_t>(y) * s.width + x] = ToPixel(color);
  return color & 0x00FFFFFF;
}

COLORREF GetPixel(HDC hdc, int x, int y) {
  const DeviceContext* dc = FindDeviceContext(hdc);
  if (!dc || !Contains(DrawableArea(*dc), x, y)) return CLR_INVALID;
  return ToColorRef(dc->target()->at(x, y));
}

BOOL MoveToEx(HDC hdc, int x, int y, POINT* previous) {
  DeviceContext* dc = FindDeviceContext(hdc);
  if (!dc) return FALSE;
  if (previous) *previous = dc->position;
  dc->position = POINT{x, y};
  return TRUE;
}

// Bresenham from the current position towards (x, y), leaving the end point
// itself undrawn as GDI does, so joined lines never paint a corner twice.
BOOL LineTo(HDC hdc, int x, int y) {
  DeviceContext* dc = FindDeviceContext(hdc);
  if (!dc) return FALSE;
  Surface& s = *dc->target();
  const RECT area = DrawableArea(*dc);
  const std::uint32_t pixel = ToPixel(dc->pen->color);
  int cx = dc->position.x;
  int cy = dc->position.y;
  const int adx = std::abs(x - cx);
  const int ady = std::abs(y - cy);
  const int sx = cx < x ? 1 : -1;
  const int sy = cy < y ? 1 : -1;
  int err = adx - ady;
  while (cx != x || cy != y) {
    PlotClipped(s, area, cx, cy, pixel);
    const int e2 = 2 * err;
    if (e2 > -ady) {
      err -= ady;
      cx += sx;
    }
    if (e2 < adx) {
      err += adx;
      cy += sy;
    }
  }
  dc->position = POINT{x, y};
  return TRUE;
}
