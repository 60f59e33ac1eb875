// The objects behind GDI handles and the table that keeps them alive.
// A handle is the address of its object; every call checks it against the
// table first, so a stale or foreign handle is refused instead of followed.
#pragma once

#include <memory>

#include "platform/gdi/font_face.h"
#include "platform/gdi/gdi.h"

enum class GdiKind { Bitmap, Brush, Pen, Font, Region };

struct GdiObject {
  explicit GdiObject(GdiKind k) : kind(k) {}
  virtual ~GdiObject() = default;
  const GdiKind kind;
  bool stock = false;
  int selections = 0;  // how many DCs have it selected; deletion waits for 0
};

struct BitmapObject : GdiObject {
  BitmapObject() : GdiObject(GdiKind::Bitmap) {}
  Surface surface;
};

struct BrushObject : GdiObject {
  BrushObject() : GdiObject(GdiKind::Brush) {}
  bool hollow = false;
  COLORREF color = 0;
};

struct PenObject : GdiObject {
  PenObject() : GdiObject(GdiKind::Pen) {}
  COLORREF color = 0;
};

struct FontObject : GdiObject {
  FontObject() : GdiObject(GdiKind::Font) {}
  LOGFONTW logfont{};
  std::shared_ptr<FontFace> face;
};

struct RegionObject : GdiObject {
  RegionObject() : GdiObject(GdiKind::Region) {}
  RECT rect{};
};

struct DeviceContext {
  Surface* external = nullptr;  // a window's surface, or null for a memory DC
  BitmapObject* bitmap = nullptr;
  BrushObject* brush = nullptr;
  PenObject* pen = nullptr;
  FontObject* font = nullptr;
  COLORREF textColor = 0x000000;
  COLORREF bkColor = 0xFFFFFF;
  int bkMode = OPAQUE;
  int stretchMode = COLORONCOLOR;
  POINT position{0, 0};
  bool clipped = false;
  RECT clip{};

  // Where drawing lands: the window's surface or the selected bitmap's.
  Surface* target() const { return external ? external : &bitmap->surface; }
};

// Registers a new object and returns its handle value.
GdiObject* AddObject(std::unique_ptr<GdiObject> object);
// The live object behind a handle, or null.
GdiObject* FindObject(HGDIOBJ handle);
// Destroys an object that no DC has selected. False otherwise.
bool RemoveObject(HGDIOBJ handle);

template <typename T>
T* FindObjectOf(HGDIOBJ handle, GdiKind kind) {
  GdiObject* object = FindObject(handle);
  return object && object->kind == kind ? static_cast<T*>(object) : nullptr;
}

HDC AddDeviceContext(std::unique_ptr<DeviceContext> dc);
DeviceContext* FindDeviceContext(HDC hdc);
bool RemoveDeviceContext(HDC hdc);

// The stock objects every DC starts with.
BitmapObject* StockBitmap();
PenObject* StockPen();
FontObject* StockFont();
