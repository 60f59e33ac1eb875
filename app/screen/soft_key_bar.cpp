#include "app/screen/soft_key_bar.h"

#include "app/state.h"
#include "platform/gdi/gdi.h"
#include "platform/window/window.h"

SoftKeyBar::SoftKeyBar() : m_brush(CreateSolidBrush(kColour)) {}

void SoftKeyBar::draw(HDC hdc) {
  RECT client{};
  GetClientRect(g_hWnd, &client);
  RECT band{client.left, client.bottom - kHeight, client.right, client.bottom};
  if (m_brush) FillRect(hdc, &band, m_brush);

  // Both labels share one top edge, centred on the left label's height.
  const int referenceHeight = m_left ? m_left.height() : m_right.height();
  const int top = (client.bottom - kHeight) + kHeight / 2 - referenceHeight / 2;
  m_left.draw(client.left + 10, top);
  m_right.draw(client.right - m_right.width() - 10, top);
}

void SoftKeyBar::release() {
  if (m_brush) DeleteObject(m_brush);
  m_brush = nullptr;
  m_left.reset();
  m_right.reset();
}
