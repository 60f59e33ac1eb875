#include "app/screen/picture.h"

#include <utility>

#include "app/state.h"
#include "platform/gdi/gdi.h"
#include "platform/system/images.h"

Picture::Picture(Picture&& other) noexcept
    : m_bitmap(std::exchange(other.m_bitmap, nullptr)),
      m_width(std::exchange(other.m_width, 0)),
      m_height(std::exchange(other.m_height, 0)) {}

Picture& Picture::operator=(Picture&& other) noexcept {
  if (this != &other) {
    reset();
    m_bitmap = std::exchange(other.m_bitmap, nullptr);
    m_width = std::exchange(other.m_width, 0);
    m_height = std::exchange(other.m_height, 0);
  }
  return *this;
}

bool Picture::load(int gifId) {
  adopt(gifId == -1 ? nullptr : SHLoadImageResource(g_hInst, static_cast<UINT>(gifId)));
  return m_bitmap != nullptr;
}

void Picture::adopt(HBITMAP bitmap) {
  reset();
  m_bitmap = bitmap;
  if (!m_bitmap) return;
  BITMAP info{};
  GetObjectW(m_bitmap, sizeof(info), &info);
  m_width = info.bmWidth;
  m_height = info.bmHeight;
}

void Picture::reset() {
  if (m_bitmap) DeleteObject(m_bitmap);
  m_bitmap = nullptr;
  m_width = 0;
  m_height = 0;
}

void Picture::draw(int x, int y) const { drawTo(g_hdcBack, x, y); }

void Picture::drawTo(HDC target, int x, int y) const {
  if (!m_bitmap) return;
  HGDIOBJ previous = SelectObject(g_hdcImage, m_bitmap);
  BitBlt(target, x, y, m_width, m_height, g_hdcImage, 0, 0, SRCCOPY);
  SelectObject(g_hdcImage, previous);
}

void Picture::drawFramed(const RECT& target, int border) const {
  if (!m_bitmap || m_width <= 2 * border || m_height <= 2 * border) return;
  const int width = target.right - target.left;
  const int height = target.bottom - target.top;
  if (width <= 2 * border || height <= 2 * border) return;
  // Source and target spans of the three columns and rows: corner, middle, corner.
  const int sourceX[] = {0, border, m_width - border};
  const int sourceW[] = {border, m_width - 2 * border, border};
  const int targetX[] = {0, border, width - border};
  const int targetW[] = {border, width - 2 * border, border};
  const int sourceY[] = {0, border, m_height - border};
  const int sourceH[] = {border, m_height - 2 * border, border};
  const int targetY[] = {0, border, height - border};
  const int targetH[] = {border, height - 2 * border, border};
  HGDIOBJ previous = SelectObject(g_hdcImage, m_bitmap);
  for (int row = 0; row < 3; ++row)
    for (int column = 0; column < 3; ++column)
      StretchBlt(g_hdcBack, target.left + targetX[column], target.top + targetY[row], targetW[column], targetH[row],
                 g_hdcImage, sourceX[column], sourceY[row], sourceW[column], sourceH[row], SRCCOPY);
  SelectObject(g_hdcImage, previous);
}
