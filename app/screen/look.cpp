#include "app/screen/look.h"

#include "app/state.h"

FontHandle CreatePageFont(int height) {
  LOGFONTW font{};
  font.lfHeight = height;
  font.lfWeight = FW_NORMAL;
  font.lfCharSet = DEFAULT_CHARSET;
  font.lfQuality = CLEARTYPE_QUALITY;
  font.lfPitchAndFamily = VARIABLE_PITCH | FF_SWISS;
  return FontHandle(CreateFontIndirectW(&font));
}

void PresentBackBuffer(HDC target, const RECT& client) {
  BitBlt(target, 0, 0, client.right - client.left, client.bottom - client.top, g_hdcBack, 0, 0, SRCCOPY);
}
