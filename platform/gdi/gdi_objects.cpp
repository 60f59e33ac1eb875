// Creating, describing and deleting bitmaps, brushes, pens, fonts and regions.
#include <algorithm>
#include <cstring>
#include <new>

#include "platform/gdi/objects.h"

namespace {

// Larger bitmaps are refused rather than attempted (about 1 GiB of pixels).
constexpr long long kMaxBitmapPixels = 16384LL * 16384LL;

BrushObject* MakeStockBrush(COLORREF color, bool hollow) {
  auto brush = std::make_unique<BrushObject>();
  brush->color = color;
  brush->hollow = hollow;
  brush->stock = true;
  return static_cast<BrushObject*>(AddObject(std::move(brush)));
}

BrushObject* StockBrush(int index) {
  static BrushObject* const white = MakeStockBrush(RGB(255, 255, 255), false);
  static BrushObject* const black = MakeStockBrush(RGB(0, 0, 0), false);
  static BrushObject* const hollow = MakeStockBrush(0, true);
  switch (index) {
    case WHITE_BRUSH: return white;
    case BLACK_BRUSH: return black;
    case NULL_BRUSH: return hollow;
    default: return nullptr;
  }
}

HBITMAP AddBitmap(std::unique_ptr<BitmapObject> bitmap) {
  return reinterpret_cast<HBITMAP>(AddObject(std::move(bitmap)));
}

}  // namespace

HGDIOBJ GetStockObject(int index) { return StockBrush(index); }

HBITMAP CreateCompatibleBitmap(HDC hdc, int width, int height) {
  if (!FindDeviceContext(hdc) || width < 0 || height < 0) return nullptr;
  // GDI answers a zero size with a 1 x 1 bitmap.
  if (width == 0 || height == 0) width = height = 1;
  if (static_cast<long long>(width) * height > kMaxBitmapPixels) return nullptr;
  try {
    auto bitmap = std::make_unique<BitmapObject>();
    bitmap->surface.resize(width, height);
    std::fill(bitmap->surface.pixels.begin(), bitmap->surface.pixels.end(), 0u);
    return AddBitmap(std::move(bitmap));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

HBITMAP CreateBitmapFromSurface(Surface pixels) {
  if (pixels.width <= 0 || pixels.height <= 0 ||
      pixels.pixels.size() != static_cast<std::size_t>(pixels.width) * pixels.height) {
    return nullptr;
  }
  auto bitmap = std::make_unique<BitmapObject>();
  bitmap->surface = std::move(pixels);
  return AddBitmap(std::move(bitmap));
}

const Surface* GetBitmapSurface(HBITMAP handle) {
  const auto* bitmap = FindObjectOf<BitmapObject>(handle, GdiKind::Bitmap);
  return bitmap ? &bitmap->surface : nullptr;
}

HBRUSH CreateSolidBrush(COLORREF color) {
  auto brush = std::make_unique<BrushObject>();
  brush->color = color & 0x00FFFFFF;
  return reinterpret_cast<HBRUSH>(AddObject(std::move(brush)));
}

HPEN CreatePen(int style, int /*width: every pen is one pixel wide*/, COLORREF color) {
  if (style != PS_SOLID) return nullptr;
  auto pen = std::make_unique<PenObject>();
  pen->color = color & 0x00FFFFFF;
  return reinterpret_cast<HPEN>(AddObject(std::move(pen)));
}

HFONT CreateFontIndirectW(const LOGFONTW* logfont) {
  if (!logfont) return nullptr;
  auto font = std::make_unique<FontObject>();
  font->logfont = *logfont;
  font->face = OpenFontFace(*logfont);
  if (!font->face) return nullptr;
  return reinterpret_cast<HFONT>(AddObject(std::move(font)));
}

BOOL GetTextMetricsW(HDC hdc, TEXTMETRICW* metrics) {
  const DeviceContext* dc = FindDeviceContext(hdc);
  if (!dc || !metrics || !dc->font->face) return FALSE;
  FillTextMetrics(*dc->font->face, dc->font->logfont, *metrics);
  return TRUE;
}

HRGN CreateRectRgn(int left, int top, int right, int bottom) {
  auto region = std::make_unique<RegionObject>();
  region->rect = RECT{std::min(left, right), std::min(top, bottom), std::max(left, right),
                      std::max(top, bottom)};
  return reinterpret_cast<HRGN>(AddObject(std::move(region)));
}

BOOL DeleteObject(HGDIOBJ handle) { return RemoveObject(handle) ? TRUE : FALSE; }

int GetObjectW(HGDIOBJ handle, int size, void* buffer) {
  const GdiObject* object = FindObject(handle);
  if (!object) return 0;
  if (object->kind == GdiKind::Bitmap) {
    if (!buffer) return sizeof(BITMAP);
    if (size < static_cast<int>(sizeof(BITMAP))) return 0;
    const Surface& s = static_cast<const BitmapObject*>(object)->surface;
    BITMAP info{};
    info.bmWidth = s.width;
    info.bmHeight = s.height;
    info.bmWidthBytes = s.width * 4;
    info.bmPlanes = 1;
    info.bmBitsPixel = 32;
    std::memcpy(buffer, &info, sizeof info);
    return sizeof(BITMAP);
  }
  if (object->kind == GdiKind::Font) {
    if (!buffer) return sizeof(LOGFONTW);
    const int n = std::min(size, static_cast<int>(sizeof(LOGFONTW)));
    if (n <= 0) return 0;
    std::memcpy(buffer, &static_cast<const FontObject*>(object)->logfont, n);
    return n;
  }
  return 0;
}

int GetObject(HGDIOBJ handle, int size, void* buffer) { return GetObjectW(handle, size, buffer); }
