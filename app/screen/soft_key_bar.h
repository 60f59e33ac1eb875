// The band across the bottom of the window that labels the two soft keys.
// One bar is shared by every screen; each sets both labels when it becomes
// current and draws the bar last, over whatever lies beneath.
#pragma once

#include "app/screen/picture.h"
#include "platform/types.h"

class SoftKeyBar {
 public:
  static constexpr int kHeight = 55;
  static constexpr COLORREF kColour = RGB(0, 119, 192);

  SoftKeyBar();
  ~SoftKeyBar() { release(); }
  SoftKeyBar(const SoftKeyBar&) = delete;
  SoftKeyBar& operator=(const SoftKeyBar&) = delete;

  // -1 removes the label.
  void setLeftKey(int gifId) { m_left.load(gifId); }
  void setRightKey(int gifId) { m_right.load(gifId); }
  int getHeight() const { return kHeight; }
  void draw(HDC hdc);
  // Releases the brush and the labels.
  void release();

 private:
  HBRUSH m_brush = nullptr;
  Picture m_left;
  Picture m_right;
};
