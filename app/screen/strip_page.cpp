#include "app/screen/strip_page.h"

#include "app/state.h"

namespace {
constexpr int kCancelLabelLeft = 20;
}

void DrawStripPage(const StripPage& page, const RECT& client, int top, int offset) {
  const int third = (client.bottom - top) / 3;
  page.caption.draw(client.right / 2 - page.caption.width() / 2, top + third / 2 - page.caption.height() / 2);
  const int stripWidth = page.strip.width();
  const int stripY = top + third + third / 2 - page.strip.height() / 2;
  const int tiles = StripTileCount(g_nScreenWidth, stripWidth);
  for (int i = 0; i < tiles; ++i) page.strip.draw(i * stripWidth - offset, stripY);
  page.logo.draw(client.right - page.logo.width(), client.bottom - page.logo.height());
  page.cancelLabel.draw(client.left + kCancelLabelLeft, client.bottom - page.cancelLabel.height());
}

int StripTileCount(int screenWidth, int stripWidth) {
  if (stripWidth <= 0) return 0;
  return screenWidth <= stripWidth ? 2 : screenWidth / stripWidth + 2;
}

int NextStripOffset(int offset, int stripWidth) {
  const int next = offset + kStripStep;
  return next > stripWidth ? 0 : next;
}
