// A GIF resource loaded as a bitmap, with its size, drawn opaque into the
// back buffer through the image DC. Owns the bitmap.
#pragma once

#include "platform/types.h"

class Picture {
 public:
  Picture() = default;
  explicit Picture(int gifId) { load(gifId); }
  ~Picture() { reset(); }
  Picture(Picture&& other) noexcept;
  Picture& operator=(Picture&& other) noexcept;
  Picture(const Picture&) = delete;
  Picture& operator=(const Picture&) = delete;

  // Replaces the bitmap with GIF resource `gifId` of g_hInst; -1 or a failed
  // load leaves no bitmap. Returns whether a bitmap was loaded.
  bool load(int gifId);
  // Takes ownership of a bitmap loaded elsewhere (for example from a file).
  void adopt(HBITMAP bitmap);
  void reset();

  explicit operator bool() const { return m_bitmap != nullptr; }
  HBITMAP handle() const { return m_bitmap; }
  int width() const { return m_width; }
  int height() const { return m_height; }

  // Copies the whole picture to (x, y) of g_hdcBack, or of another target.
  void draw(int x, int y) const;
  void drawTo(HDC target, int x, int y) const;
  // Draws a frame picture (a box with an outline) stretched over `target` of
  // g_hdcBack: its `border`-pixel corners as they are, its edges and middle
  // stretched, so the outline keeps its width and its rounded corners.
  void drawFramed(const RECT& target, int border) const;

 private:
  HBITMAP m_bitmap = nullptr;
  int m_width = 0;
  int m_height = 0;
};
