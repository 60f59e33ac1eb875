// Ownership of a GDI object (font, brush, pen, region): deleted with
// DeleteObject when the owner goes away.
#pragma once

#include <utility>

#include "platform/gdi/gdi.h"

template <typename Handle>
class GdiHandle {
 public:
  GdiHandle() = default;
  explicit GdiHandle(Handle handle) : m_handle(handle) {}
  ~GdiHandle() { reset(); }
  GdiHandle(GdiHandle&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
  GdiHandle& operator=(GdiHandle&& other) noexcept {
    if (this != &other) {
      reset();
      m_handle = std::exchange(other.m_handle, nullptr);
    }
    return *this;
  }
  GdiHandle(const GdiHandle&) = delete;
  GdiHandle& operator=(const GdiHandle&) = delete;

  Handle get() const { return m_handle; }
  explicit operator bool() const { return m_handle != nullptr; }
  void reset(Handle handle = nullptr) {
    if (m_handle) DeleteObject(m_handle);
    m_handle = handle;
  }

 private:
  Handle m_handle = nullptr;
};

using FontHandle = GdiHandle<HFONT>;
using BrushHandle = GdiHandle<HBRUSH>;
using PenHandle = GdiHandle<HPEN>;
using RegionHandle = GdiHandle<HRGN>;
