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
