#include "platform/gdi/objects.h"

#include <mutex>
#include <unordered_map>

namespace {

struct Registry {
  std::mutex mutex;
  std::unordered_map<const void*, std::unique_ptr<GdiObject>> objects;
  std::unordered_map<const void*, std::unique_ptr<DeviceContext>> dcs;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // never destroyed: handles may outlive static teardown
  return *registry;
}

template <typename T>
T* MakeStock(std::unique_ptr<T> object) {
  object->stock = true;
  return static_cast<T*>(AddObject(std::move(object)));
}

}  // namespace

GdiObject* AddObject(std::unique_ptr<GdiObject> object) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  GdiObject* raw = object.get();
  r.objects.emplace(raw, std::move(object));
  return raw;
}

GdiObject* FindObject(HGDIOBJ handle) {
  if (!handle) return nullptr;
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  auto it = r.objects.find(handle);
  return it == r.objects.end() ? nullptr : it->second.get();
}

bool RemoveObject(HGDIOBJ handle) {
  Registry& r = TheRegistry();
  std::unique_ptr<GdiObject> doomed;
  {
    std::lock_guard lock(r.mutex);
    auto it = r.objects.find(handle);
    if (it == r.objects.end()) return false;
    if (it->second->stock) return true;  // stock objects are never destroyed
    if (it->second->selections > 0) return false;
    doomed = std::move(it->second);
    r.objects.erase(it);
  }
  return true;
}

HDC AddDeviceContext(std::unique_ptr<DeviceContext> dc) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  DeviceContext* raw = dc.get();
  r.dcs.emplace(raw, std::move(dc));
  return reinterpret_cast<HDC>(raw);
}

DeviceContext* FindDeviceContext(HDC hdc) {
  if (!hdc) return nullptr;
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  auto it = r.dcs.find(hdc);
  return it == r.dcs.end() ? nullptr : it->second.get();
}

bool RemoveDeviceContext(HDC hdc) {
  Registry& r = TheRegistry();
  std::unique_ptr<DeviceContext> doomed;
  std::lock_guard lock(r.mutex);
  auto it = r.dcs.find(hdc);
  if (it == r.dcs.end()) return false;
  doomed = std::move(it->second);
  r.dcs.erase(it);
  return true;
}

BitmapObject* StockBitmap() {
  static BitmapObject* const bitmap = [] {
    auto object = std::make_unique<BitmapObject>();
    object->surface.resize(1, 1);
    return MakeStock(std::move(object));
  }();
  return bitmap;
}

PenObject* StockPen() {
  static PenObject* const pen = MakeStock(std::make_unique<PenObject>());
  return pen;
}

FontObject* StockFont() {
  static FontObject* const font = [] {
    auto object = std::make_unique<FontObject>();
    object->logfont.lfWeight = FW_NORMAL;
    object->logfont.lfPitchAndFamily = VARIABLE_PITCH | FF_SWISS;
    object->face = OpenFontFace(object->logfont);
    return MakeStock(std::move(object));
  }();
  return font;
}
