// Device contexts: creation, the objects selected into them, colours,
// background mode and the clip rectangle.
#include <utility>

#include "platform/gdi/objects.h"

namespace {

std::unique_ptr<DeviceContext> NewDeviceContext() {
  auto dc = std::make_unique<DeviceContext>();
  dc->pen = StockPen();
  dc->font = StockFont();
  dc->brush = static_cast<BrushObject*>(GetStockObject(WHITE_BRUSH));
  ++dc->pen->selections;
  ++dc->font->selections;
  ++dc->brush->selections;
  return dc;
}

// Swaps the object in one selection slot and keeps the selection counts.
template <typename T>
T* Swap(T*& slot, T* next) {
  T* previous = slot;
  --previous->selections;
  ++next->selections;
  slot = next;
  return previous;
}

}  // namespace

HDC CreateCompatibleDC(HDC hdc) {
  if (hdc && !FindDeviceContext(hdc)) return nullptr;
  auto dc = NewDeviceContext();
  dc->bitmap = StockBitmap();
  ++dc->bitmap->selections;
  return AddDeviceContext(std::move(dc));
}

HDC CreateSurfaceDC(Surface* target) {
  if (!target) return nullptr;
  auto dc = NewDeviceContext();
  dc->external = target;
  return AddDeviceContext(std::move(dc));
}

BOOL DeleteDC(HDC hdc) {
  DeviceContext* dc = FindDeviceContext(hdc);
  if (!dc) return FALSE;
  if (dc->bitmap) --dc->bitmap->selections;
  --dc->pen->selections;
  --dc->font->selections;
  --dc->brush->selections;
  return RemoveDeviceContext(hdc) ? TRUE : FALSE;
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ handle) {
  DeviceContext* dc = FindDeviceContext(hdc);
  GdiObject* object = FindObject(handle);
  if (!dc || !object) return nullptr;
  switch (object->kind) {
    case GdiKind::Bitmap: {
      auto* bitmap = static_cast<BitmapObject*>(object);
      // Only memory DCs hold bitmaps, and a bitmap lives in one DC at a time.
      if (!dc->bitmap) return nullptr;
      if (bitmap == dc->bitmap) return bitmap;
      if (bitmap->selections > 0 && !bitmap->stock) return nullptr;
      return Swap(dc->bitmap, bitmap);
    }
    case GdiKind::Brush:
      return Swap(dc->brush, static_cast<BrushObject*>(object));
    case GdiKind::Pen:
      return Swap(dc->pen, static_cast<PenObject*>(object));
    case GdiKind::Font:
      return Swap(dc->font, static_cast<FontObject*>(object));
    case GdiKind::Region: {
      // As in Win32, selecting a region sets the clip and returns its complexity.
      const int complexity = SelectClipRgn(hdc, reinterpret_cast<HRGN>(object));
      return reinterpret_cast<HGDIOBJ>(static_cast<INT_PTR>(complexity));
    }
  }
  return nullptr;
}

COLORREF SetTextColor(HDC hdc, COLORREF color) {
  DeviceContext* dc = FindDeviceContext(hdc);
  if (!dc) return CLR_INVALID;
  return std::exchange(dc->textColor, color & 0x00FFFFFF);
}

COLORREF GetTextColor(HDC hdc) {
  const DeviceContext* dc = FindDeviceContext(hdc);
  return dc ? dc->textColor : CLR_INVALID;
}

COLORREF SetBkColor(HDC hdc, COLORREF color) {
  DeviceContext* dc = FindDeviceContext(hdc);
  if (!dc) return CLR_INVALID;
  return std::exchange(dc->bkColor, color & 0x00FFFFFF);
}

COLORREF GetBkColor(HDC hdc) {
  const DeviceContext* dc = FindDeviceContext(hdc);
  return dc ? dc->bkColor : CLR_INVALID;
}

int SetBkMode(HDC hdc, int mode) {
  DeviceContext* dc = FindDeviceContext(hdc);
  if (!dc || (mode != OPAQUE && mode != TRANSPARENT)) return 0;
  return std::exchange(dc->bkMode, mode);
}

int GetBkMode(HDC hdc) {
  const DeviceContext* dc = FindDeviceContext(hdc);
  return dc ? dc->bkMode : 0;
}

int SelectClipRgn(HDC hdc, HRGN region) {
  DeviceContext* dc = FindDeviceContext(hdc);
  if (!dc) return ERROR;
  if (!region) {
    dc->clipped = false;
    return SIMPLEREGION;
  }
  const auto* rgn = FindObjectOf<RegionObject>(region, GdiKind::Region);
  if (!rgn) return ERROR;
  // The DC keeps its own copy, so the caller may delete the region at once.
  dc->clipped = true;
  dc->clip = rgn->rect;
  const bool empty = rgn->rect.right <= rgn->rect.left || rgn->rect.bottom <= rgn->rect.top;
  return empty ? NULLREGION : SIMPLEREGION;
}
